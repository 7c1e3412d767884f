// SPDX-License-Identifier: MIT
// The Modbus map of one module: which address means what, and how a
// request becomes calls on the module. Independent of sockets, so that it
// can be tested and fuzzed on its own.
#pragma once

#include "kdx7400.hpp"
#include "modbus_frame.h"


namespace kdxd::modbus {

// Carries out one decoded request on a module, on its worker's thread.
// Writes work out and check every value before the first transfer, so that
// a refused request (02, 03) has changed nothing; then they go out in
// address order, each register block of the module in one write, so that
// a device failure (04) leaves a prefix of the request applied.
void serve(kdx::Module &module, const Request &request, Reply &reply);

} // namespace kdxd::modbus
