// SPDX-License-Identifier: MIT
// The Modbus map of one module: which address means what, and how a
// request becomes calls on the module. Independent of sockets, so that it
// can be tested and fuzzed on its own.
#pragma once

#include "kdx7400.hpp"
#include "front/modbus/modbus_frame.h"
#include "core/service.h"

#include <optional>


namespace kdxd::modbus {

// Carries out one decoded request on a module, on its worker's thread:
// reads answer from the module, writes become the service's operations
// (which check every value before the first transfer, so that a refused
// request, 02 or 03, has changed nothing, and tell the observer what they
// did). A nickname the module's write protection would drop is 04.
void serve(kdx::Module &module, service::Observer &observer, const Request &request, Reply &reply);

// The daemon's own word on a unit, in input registers 1100-1101: status
// bits (present, responding, watching, paused) and the age of the input
// sample in 0.1 s. Answered without the module, also while it is away.
struct UnitStatus {
    bool present = false, responding = false, watching = false, paused = false;
    std::optional<double> sample_age_s; // none: never read
};
inline constexpr uint16_t kStatusRegister = 1100, kStatusRegisters = 2;
// A read of input registers that begins in the status block.
bool is_status_request(const Request &request);
// Its answer: 02 unless the request lies wholly in the block.
Exception status_registers(const UnitStatus &status, const Request &request, uint16_t *registers);

} // namespace kdxd::modbus
