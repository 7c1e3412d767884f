// SPDX-License-Identifier: MIT
// The Modbus map of one module: which address means what, and how a
// request becomes calls on the module. Independent of sockets, so that it
// can be tested and fuzzed on its own.
#pragma once

#include "kdx7400.hpp"
#include "modbus_frame.h"
#include "service.h"


namespace kdxd::modbus {

// Carries out one decoded request on a module, on its worker's thread:
// reads answer from the module, writes become the service's operations
// (which check every value before the first transfer, so that a refused
// request, 02 or 03, has changed nothing, and tell the observer what they
// did). A nickname the module's write protection would drop is 04.
void serve(kdx::Module &module, service::Observer &observer, const Request &request, Reply &reply);

} // namespace kdxd::modbus
