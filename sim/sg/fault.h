// SPDX-License-Identifier: MIT
// Faults a testbed can put between the host and a virtual module.
#pragma once

#include <cstdint>

namespace kdxsim {

enum class FaultKind : uint8_t {
    IoctlError,     // ioctl(SG_IO) fails with `error`
    NoMagic,        // the reply's first four bytes are zero
    ChosenBytes,    // `bytes` replace the reply from `offset` on
    CheckCondition, // SCSI status CHECK CONDITION with sense key/asc/ascq
    HostStatus,     // the host adapter reports `host_status`
    DriverStatus,   // the driver reports `driver_status`
    Vanish,         // the module goes away mid-command (see sg_io)
    Hang,           // the module never answers (USB gadget front end)
    Disconnect,     // the module leaves the bus mid-command (USB gadget)
    ShortData,      // only `length` bytes of the data phase arrive, the rest
                    // reported as residue; `host_status` 0 (status GOOD) or
                    // DID_ERROR (a phase error the host reset after)
    WholeResidue,   // every byte arrives, but the residue says none did:
                    // firmware that misreports it (status GOOD)
};

struct Fault {
    char node[16] = {};     // empty: any node
    int32_t opcode = -1;    // CDB byte 0, -1: any command
    int64_t lba = -1;       // READ(10)/WRITE(10) address, -1: any
    uint32_t times = 1;     // commands it applies to; 0: every command, for good
    uint32_t skip = 0;      // matching commands to let pass first
    uint32_t delay_ms = 0;  // the command takes this long (a slow or hung module)
    FaultKind kind = FaultKind::IoctlError;
    int32_t error = 0;
    uint16_t host_status = 0;
    uint16_t driver_status = 0;
    uint8_t sense_key = 0, asc = 0, ascq = 0;
    bool data_moved = true; // false: no data phase at all (resid = dxfer_len)
    uint16_t offset = 0;
    uint16_t length = 0;
    uint8_t bytes[64] = {};
};

} // namespace kdxsim
