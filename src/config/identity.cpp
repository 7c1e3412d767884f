// SPDX-License-Identifier: MIT
// Firmware version and date from the module-info block, and the nickname.
#include "../internal.h"

#include <cstring>

namespace kdx {

namespace {

using namespace module_map;
// Each getter reads the module-info block up to the end of its field.
constexpr std::size_t kVersionBlock = kFirmwareVersion + 2;
constexpr std::size_t kDateBlock = kFirmwareDate + kFirmwareDateBytes;
constexpr std::size_t kInfoBlock = kModuleInfoFields;
constexpr std::size_t kVersionOffset = kFirmwareVersion;
constexpr std::size_t kDateOffset = kFirmwareDate;
constexpr std::size_t kDateBytes = kFirmwareDateBytes;
constexpr std::size_t kWatchdogOffset = kWatchdogTimeout;
constexpr std::size_t kInputOffset = kInputLevels;
constexpr std::size_t kCountsOffset = kChannelCounts;

} // namespace

} // namespace kdx

extern "C" {

int16_t KDX7400_GetFwVer(int32_t index, uint16_t *version) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Read)) {
        return result;
    }
    if (version == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    std::array<uint8_t, kdx::kVersionBlock> block{};
    if (const kdx::Result result =
            kdx::read_block(hold.fd(), LBA_MODULE_INFO, block, kdx::Reply::Validate)) {
        return result;
    }
    *version = kdx::load_le<uint16_t>(&block[kdx::kVersionOffset]);
    return RESULT_OK;
}

int16_t KDX7400_ReadModuleInfo(int32_t index, kdx7400_module_info *info) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Read)) {
        return result;
    }
    if (info == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    std::array<uint8_t, kdx::kInfoBlock> block{};
    if (const kdx::Result result = kdx::read_block(hold.fd(), LBA_MODULE_INFO, block, kdx::Reply::Validate)) {
        return result;
    }
    kdx7400_module_info decoded{};
    decoded.firmware_version = kdx::load_le<uint16_t>(&block[kdx::kVersionOffset]);
    std::memcpy(decoded.firmware_date, &block[kdx::kDateOffset], kdx::kDateBytes);
    decoded.watchdog_timeout = kdx::load_le<uint32_t>(&block[kdx::kWatchdogOffset]);
    decoded.inputs = kdx::read_by_width(block.data(), kdx::kInputOffset, hold.module().di_total);
    uint8_t *counts[] = {&decoded.di_total, &decoded.do_total, &decoded.ai_total,
                         &decoded.ao_total, &decoded.pi_total, &decoded.po_total};
    for (std::size_t i = 0; i < std::size(counts); ++i) {
        *counts[i] = block[kdx::kCountsOffset + i];
    }
    *info = decoded;
    return RESULT_OK;
}

int16_t KDX7400_GetFwDate(int32_t index, char *date) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Read)) {
        return result;
    }
    if (date == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    std::array<uint8_t, kdx::kDateBlock> block{};
    if (const kdx::Result result =
            kdx::read_block(hold.fd(), LBA_MODULE_INFO, block, kdx::Reply::Accept)) {
        return result;
    }
    std::memcpy(date, &block[kdx::kDateOffset], kdx::kDateBytes);
    date[kdx::kDateBytes] = '\0';
    return RESULT_OK;
}

int16_t KDX7400_SetDeviceNickName(int32_t index, const char *name) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Write)) {
        return result;
    }
    auto block = kdx::new_block<kdx::kNicknameBlock>();
    if (name != nullptr) {
        std::memcpy(&block[kdx::kPayload], name, ::strnlen(name, kdx::kNicknameBytes));
    }
    return kdx::write_block(hold.fd(), LBA_NICKNAME, block);
}

int16_t KDX7400_GetDeviceNickName(int32_t index, char *name) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Read)) {
        return result;
    }
    std::array<uint8_t, kdx::kNicknameBlock> block{};
    if (const kdx::Result result =
            kdx::read_block(hold.fd(), LBA_NICKNAME, block, kdx::Reply::Accept)) {
        return result;
    }
    if (name != nullptr) {
        std::memcpy(name, &block[kdx::kPayload], kdx::kNicknameBytes);
        name[kdx::kNicknameBytes] = '\0';
    }
    return RESULT_OK;
}

} // extern "C"
