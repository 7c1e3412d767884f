// SPDX-License-Identifier: MIT
// The software watchdog: written through its own register, read back from
// the module-info block.
#include "../internal.h"

namespace kdx {

namespace {

constexpr uint32_t kMinTimeout = KDX7400_WDT_TIMEOUT_MIN;
constexpr uint32_t kMaxTimeout = KDX7400_WDT_TIMEOUT_MAX;
constexpr std::size_t kTimeoutBlock = 20;
// 64 bytes, not 63, so the timeout's top byte counts.
constexpr std::size_t kInfoBlock = 64;
constexpr std::size_t kTimeoutOffset = 60;

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
    if (const kdx::Result result = kdx::check_device(index)) {
        return result;
    }
    return kdx::write_timeout(kdx::slot(index).fd, timeout);
}

int16_t KDX7400_GetSoftWDTTimeout(int32_t index, uint32_t *timeout) {
    if (const kdx::Result result = kdx::check_device(index)) {
        return result;
    }
    if (timeout == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    return kdx::read_timeout(kdx::slot(index).fd, *timeout);
}

int16_t KDX7400_ClearWDTErrLED(int32_t index) {
    if (const kdx::Result result = kdx::check_device(index)) {
        return result;
    }
    const int32_t fd = kdx::slot(index).fd;
    uint32_t timeout = 0;
    if (const kdx::Result result = kdx::read_timeout(fd, timeout)) {
        return result;
    }
    if (const kdx::Result result = kdx::write_timeout(fd, 0)) {
        return result;
    }
    return kdx::write_timeout(fd, timeout);
}

} // extern "C"
