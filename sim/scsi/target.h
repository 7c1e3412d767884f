// SPDX-License-Identifier: MIT
// The SCSI side of a virtual module: INQUIRY, READ CAPACITY(10) and (16),
// READ(10) and WRITE(10), answered from a module's state. Independent of the sg
// driver emulation, so other front ends can reuse it.
#pragma once

#include "../model/module_state.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace kdxsim {

inline constexpr uint8_t kRead10 = 0x28;
inline constexpr uint8_t kWrite10 = 0x2A;

// The block address of a READ(10) or WRITE(10); nullopt for other commands.
std::optional<uint32_t> block_address(std::span<const uint8_t> cdb);

inline constexpr uint8_t kStatusGood = 0x00;
inline constexpr uint8_t kStatusCheckCondition = 0x02;
inline constexpr std::size_t kInquiryBytes = 96;

enum class DataDirection { None, ToDevice, FromDevice };

struct ScsiReply {
    uint8_t status = kStatusGood;
    std::array<uint8_t, 18> sense{};
    uint8_t sense_length = 0;
    uint32_t transferred = 0; // bytes moved in the data phase
};

// Fixed-format sense data with the given key and additional sense code.
ScsiReply check_condition(uint8_t key, uint8_t asc, uint8_t ascq);

// Standard INQUIRY data of a module: vendor, product (board-ID character
// in byte 31), revision.
std::array<uint8_t, kInquiryBytes> inquiry_data(const ModuleIdentity &identity);

// Runs one command. data is the host's buffer (dxfer_len bytes): read for
// ToDevice, filled for FromDevice.
ScsiReply execute(ModuleState &state, std::span<const uint8_t> cdb, DataDirection direction,
                  std::span<uint8_t> data, uint64_t now_ms);

} // namespace kdxsim
