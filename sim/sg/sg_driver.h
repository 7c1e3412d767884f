// SPDX-License-Identifier: MIT
// What the kernel's sg driver does with an SG_IO request, in front of a
// virtual module: the request checks with their errno, the data phase and
// the output fields of sg_io_hdr.
#pragma once

#include "../model/module_state.h"
#include "fault.h"

#include <scsi/sg.h>

#include <cstdint>
#include <vector>

namespace kdxsim {

// 0 when the kernel would accept the request, else the negative errno.
int validate_request(const sg_io_hdr_t &request);

// Runs a request against a module, with an optional fault applied.
// Returns 0 or a negative errno, as ioctl would. reserve is the
// descriptor's own data buffer, which sg reuses from command to command:
// a module that vanishes mid-command (Fault Vanish) leaves the previous
// command's bytes in it, and they reach the caller with DID_ERROR and
// resid 0, as the kernel was seen to do; the module is then gone.
int sg_io(ModuleState &state, sg_io_hdr_t &request, const Fault *fault, uint64_t now_ms,
          std::vector<uint8_t> &reserve);

} // namespace kdxsim
