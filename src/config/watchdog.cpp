// SPDX-License-Identifier: MIT
// The software watchdog: written through its own register, read back from
// the module-info block.
#include "../internal.h"

namespace kdx {

namespace {

constexpr uint32_t kMinTimeout = KDX7400_WDT_TIMEOUT_MIN;
constexpr uint32_t kMaxTimeout = KDX7400_WDT_TIMEOUT_MAX;
constexpr std::size_t kTimeoutBlock = module_map::kWatchdogBlock;
// Through the time-out's top byte.
constexpr std::size_t kTimeoutOffset = module_map::kWatchdogTimeout;
constexpr std::size_t kInfoBlock = kTimeoutOffset + 4;

Result read_timeout(int32_t fd, uint32_t &timeout) {
    std::array<uint8_t, kInfoBlock> info{};
    if (const Result result = read_block(fd, LBA_MODULE_INFO, info, Reply::Validate)) {
        return result;
    }
    timeout = kdx::load_le<uint32_t>(&info[kTimeoutOffset]);
    return RESULT_OK;
}

Result write_timeout(int32_t fd, uint32_t timeout) {
    auto block = new_block<kTimeoutBlock>();
    kdx::store_le<uint32_t>(&block[kPayload], timeout);
    return write_block(fd, LBA_SOFT_WDT, block);
}

} // namespace

} // namespace kdx

extern "C" {

int16_t KDX7400_SetSoftWDTTimeout(int32_t index, uint32_t timeout) {
    if (timeout < kdx::kMinTimeout || timeout > kdx::kMaxTimeout) {
        return RESULT_INVALID_PARAM;
    }
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Write)) {
        return result;
    }
    return kdx::write_timeout(hold.fd(), timeout);
}

int16_t KDX7400_GetSoftWDTTimeout(int32_t index, uint32_t *timeout) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Read)) {
        return result;
    }
    if (timeout == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    return kdx::read_timeout(hold.fd(), *timeout);
}

int16_t KDX7400_ClearWDTErrLED(int32_t index) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Write)) {
        return result;
    }
    const int32_t fd = hold.fd();
    uint32_t timeout = 0;
    if (const kdx::Result result = kdx::read_timeout(fd, timeout)) {
        return result;
    }
    // Once the time-out is known it is written back whatever the clear did:
    // a module that took the clear but not its answer keeps its watchdog.
    const kdx::Result cleared = kdx::write_timeout(fd, 0);
    const kdx::Result restored = kdx::write_timeout(fd, timeout);
    return cleared != RESULT_OK ? cleared : restored;
}

int16_t KDX7400_DisableSoftWDT(int32_t index) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Write)) {
        return result;
    }
    return kdx::write_timeout(hold.fd(), 0);
}

int16_t KDX7400_SetWatchdog(int32_t index, uint32_t timeout) {
    return timeout == 0 ? KDX7400_DisableSoftWDT(index) : KDX7400_SetSoftWDTTimeout(index, timeout);
}

} // extern "C"
