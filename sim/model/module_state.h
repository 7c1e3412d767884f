// SPDX-License-Identifier: MIT
// Everything a virtual module is: what it tells about itself on the bus and
// what its registers hold. A plain record, so that it can live in a file
// that every process using the testbed shares, as they would share hardware.
#pragma once

#include "module_map.h"

#include <cstdint>

namespace kdxsim {

inline constexpr uint32_t kStateFormat = 0x4B445331; // "KDS1"

struct ModuleIdentity {
    uint16_t vendor_id;          // USB idVendor
    uint16_t product_id;         // USB idProduct
    uint8_t board_id;            // 0..15, shown as a hex digit in INQUIRY
    char vendor[kdx::module_map::kInquiryVendorBytes];   // INQUIRY vendor field, space padded
    char product[kdx::module_map::kInquiryProductBytes]; // INQUIRY product field, space padded
    char revision[4];            // INQUIRY revision field
    uint32_t last_block;         // READ CAPACITY(10): last block address
    uint32_t block_length;       // READ CAPACITY(10): bytes per block
    uint8_t di_total, do_total, ai_total, ao_total, pi_total, po_total;
    uint16_t firmware_version;
    char firmware_date[kdx::module_map::kFirmwareDateBytes];
};

struct ModuleRegisters {
    uint64_t do_value;       // outputs as the module drives them
    uint64_t do_power_on;    // outputs applied at power-on and reset
    uint64_t safety_first;   // outputs that take a safety value on expiry
    uint64_t safety_second;  // the safety value of those outputs
    uint8_t do_inverse;
    uint64_t di_physical;    // input levels at the terminals (testbed driven)
    uint16_t di_filter;
    uint8_t di_inverse;
    uint8_t di_cnt_edge;     // 0 counts rising edges, 1 falling edges
    uint32_t counters[KDX7400_MAX_CHANNELS];
    char nickname[kdx::module_map::kNicknameBytes];
    uint8_t write_protect;
    uint8_t frame_rate_factor;
    uint8_t opcode;
    uint32_t wdt_timeout;    // 0 means the watchdog is off
    uint8_t wdt_expired;     // error LED lit
    uint64_t wdt_fed_at_ms;  // clock reading at the last command
};

struct ModuleCounters {
    uint32_t load_default;
    uint32_t sync;
    uint32_t reset;
    uint32_t commands;
    uint32_t malformed; // register commands the library should never send
};

struct ModuleState {
    uint32_t format;
    ModuleIdentity identity;
    ModuleRegisters registers;
    ModuleCounters seen;
    uint8_t unplugged;
};

} // namespace kdxsim
