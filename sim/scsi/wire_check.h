// SPDX-License-Identifier: MIT
// What a real module's firmware would insist on: every register command
// checked as it arrives, so that a front end can report a malformed one
// loudly instead of answering it quietly.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kdxsim {

// Empty when the command is a well-formed register command or no register
// command at all (disk blocks, other opcodes); otherwise what is wrong.
// length is the host's transfer length, data what it sent (writes).
std::string check_register_command(std::span<const uint8_t> cdb, bool to_device,
                                   uint32_t length, std::span<const uint8_t> data,
                                   uint32_t last_block);

} // namespace kdxsim
