// SPDX-License-Identifier: MIT
// Where a module keeps what: the register blocks' lengths and fields, the
// module-info block, the limits and what the module says of itself on the
// bus. Constants only, so that the library, the virtual module, the fuzz
// targets and the benchmarks read one description; the library's and the
// virtual module's codecs stay apart. The register addresses are the
// public header's LBA_* constants.
#pragma once

#include "kdx7400.h"

#include <cstddef>
#include <cstdint>

namespace kdx::module_map {

// Every register block: the magic in its first 4 bytes, the payload from 16.
inline constexpr std::size_t kMagicBytes = 4;
inline constexpr std::size_t kPayload = 16;

// Block lengths, by what the payload holds.
inline constexpr std::size_t kByteBlock = kPayload + 1;     // a one-byte register or command
inline constexpr std::size_t kFilterBlock = kPayload + 2;   // the u16 input filter
inline constexpr std::size_t kWatchdogBlock = kPayload + 4; // the u32 watchdog time-out (write)
inline constexpr std::size_t kMaskBlock = kPayload + 8;     // output states, by channel width
inline constexpr std::size_t kSafetyBlock = kPayload + 16;  // the two safety masks
inline constexpr std::size_t kClearBlock = kPayload + 16;   // counters to clear: a 64-bit mask
inline constexpr std::size_t kNicknameBytes = 32;
inline constexpr std::size_t kNicknameBlock = kPayload + kNicknameBytes;
inline constexpr std::size_t kCounterBytes = 4;             // one u32 per input
inline constexpr std::size_t kCounterTable = kPayload + kCounterBytes * KDX7400_MAX_CHANNELS;

// The safety block: with at most 32 outputs the two masks sit side by
// side at their channel width; above that their 32-bit halves interleave.
inline constexpr std::size_t kSafetyFirstLow = kPayload;
inline constexpr std::size_t kSafetySecondLow = kPayload + 4;
inline constexpr std::size_t kSafetyFirstHigh = kPayload + 8;
inline constexpr std::size_t kSafetySecondHigh = kPayload + 12;
// The clear mask: its low 32 bits, then (above 32 inputs) its high ones.
inline constexpr std::size_t kClearLow = kPayload;
inline constexpr std::size_t kClearHigh = kPayload + 4;

// The module-info block (read only), by offset from the block's start.
inline constexpr std::size_t kFirmwareVersion = 48;   // u16
inline constexpr std::size_t kFirmwareDate = 50;      // "YYYY-MM-DD", not terminated
inline constexpr std::size_t kFirmwareDateBytes = 10;
inline constexpr std::size_t kWatchdogTimeout = 60;   // u32, 0: off
inline constexpr std::size_t kInputLevels = 64;       // by channel width
inline constexpr std::size_t kChannelCounts = 72;     // di, do, ai, ao, pi, po: a byte each
inline constexpr std::size_t kChannelCountFields = 6;
inline constexpr std::size_t kModuleInfoFields = kChannelCounts + kChannelCountFields;
inline constexpr std::size_t kModuleInfoBlock = 128;  // what a whole read of it moves

// Bytes of a one-bit-per-channel field for a channel count: 8, 16 and 32
// are exact, everything else (0, 24, 64, ...) takes the full 8 bytes.
constexpr std::size_t channel_width(unsigned count) {
    switch (count) {
    case 8: return 1;
    case 16: return 2;
    case 32: return 4;
    default: return 8;
    }
}

// On the bus: a disk of 4096 blocks of 512 bytes whose INQUIRY data names
// the vendor and a product "KDX-74xx", with the board ID as the hex digit
// after '#' at byte 31.
inline constexpr uint32_t kDiskBlocks = 4096;
inline constexpr uint32_t kBlockBytes = 512;
inline constexpr uint64_t kDiskBytes = uint64_t{kDiskBlocks} * kBlockBytes;
inline constexpr std::size_t kInquiryVendor = 8;
inline constexpr std::size_t kInquiryVendorBytes = 8;
inline constexpr std::size_t kInquiryProduct = 16;
inline constexpr std::size_t kInquiryProductBytes = 16;
inline constexpr std::size_t kInquiryRevision = 32;
inline constexpr std::size_t kInquiryBoardId = 31;
inline constexpr char kVendor[] = "KALMIR";
inline constexpr char kProductPrefix[] = "KDX-74";

} // namespace kdx::module_map
