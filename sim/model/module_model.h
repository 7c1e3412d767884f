// SPDX-License-Identifier: MIT
// The register behaviour of a virtual module, independent of how commands
// reach it (preloaded sg emulation today, a USB gadget tomorrow).
#pragma once

#include "module_state.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace kdxsim {

inline constexpr std::size_t kBlockBytes = kdx::module_map::kBlockBytes;

// How a register access ended, as the firmware would report it.
enum class Access { Ok, NoSuchRegister, WrongDirection, BadMagic };

// Registers defaults, as LBA_LOAD_DEFAULT restores them.
void load_defaults(ModuleState &state);
// Power-on state: outputs take the power-on values, counters and the
// watchdog start afresh.
void power_on(ModuleState &state);

// Lets the watchdog expire if now_ms is past its deadline.
void catch_up(ModuleState &state, uint64_t now_ms);

// A full 512-byte image of the block at lba.
Access read_block(ModuleState &state, uint32_t lba, std::span<uint8_t, kBlockBytes> image,
                  uint64_t now_ms);
// The bytes a host sent to lba (as many as it sent, up to one block).
Access write_block(ModuleState &state, uint32_t lba, std::span<const uint8_t> data,
                   uint64_t now_ms);

// Input levels as the module reports them (inversion applied).
uint64_t reported_inputs(const ModuleState &state);
// Drives the input terminals; counters count the selected edges.
void drive_inputs(ModuleState &state, uint64_t levels);
// count pulses on one input, each away from its level and back, faster
// than anyone samples: the counter counts one edge of each, the level
// ends as it was.
void pulse_input(ModuleState &state, unsigned channel, uint32_t count);

// Whether lba is one of the module's register addresses.
bool is_register(uint32_t lba);

} // namespace kdxsim
