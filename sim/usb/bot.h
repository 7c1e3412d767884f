// SPDX-License-Identifier: MIT
// USB mass-storage Bulk-Only Transport in front of a virtual module: the
// command and status wrappers and how each command is answered, without
// any I/O, so that the gadget front end only moves bytes.
#pragma once

#include "../model/module_state.h"
#include "../sg/fault.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kdxsim {

inline constexpr std::size_t kCbwBytes = 31;
inline constexpr std::size_t kCswBytes = 13;

inline constexpr uint8_t kCswPassed = 0;
inline constexpr uint8_t kCswFailed = 1;
inline constexpr uint8_t kCswPhaseError = 2;

struct Cbw {
    uint32_t tag = 0;
    uint32_t length = 0;   // dCBWDataTransferLength
    bool to_host = false;  // bmCBWFlags bit 7
    uint8_t lun = 0;
    std::vector<uint8_t> cdb;
};

// nullopt unless the bytes are a valid 31-byte command wrapper.
std::optional<Cbw> parse_cbw(std::span<const uint8_t> bytes);
std::array<uint8_t, kCswBytes> make_csw(uint32_t tag, uint32_t residue, uint8_t status);

// How the firmware ends a register read shorter than a block. Real
// firmware has been seen to do each; the host library must cope with all.
enum class ReadBehaviour {
    Exact,   // the bytes asked for, good status
    Block,   // the whole 512-byte block: the host sees babble
    Phase,   // the bytes asked for, then phase error: the host resets
    Residue, // the bytes asked for, good status, a residue of the whole length
    Short,   // only the 16-byte header, good status, the true residue
    ShortPhase, // only the header, then phase error
};
std::optional<ReadBehaviour> parse_read_behaviour(const std::string &name);
const char *name_of(ReadBehaviour behaviour);

struct BotReply {
    std::vector<uint8_t> data; // to the host (may be longer than asked: babble)
    uint32_t residue = 0;
    uint8_t status = kCswPassed;
    std::string malformed;     // why the command is not what the library sends
};

// What a queued fault makes of a command on USB.
enum class FaultAction {
    Execute,    // run the command (a data fault may then change its answer)
    Answered,   // the reply is filled in: the command was not run
    Hang,       // answer nothing: the host times out and resets the device
    Disconnect, // leave the bus in the middle of the command
};

// One module's Bulk-Only target: keeps the sense data of the last failed
// command for REQUEST SENSE, as the host asks for it after each failure,
// and what the host writes to the disk outside the register blocks.
// Where the host's length or direction disagrees with a command's, it
// answers as the Bulk-Only class's thirteen cases say (a phase error,
// never a silent truncation); only a one-block register read or write
// shorter than its block is the firmware's own (ReadBehaviour).
class BotTarget {
public:
    explicit BotTarget(ReadBehaviour behaviour) : behaviour_(behaviour) {}
    void set_behaviour(ReadBehaviour behaviour) { behaviour_ = behaviour; }
    ReadBehaviour behaviour() const { return behaviour_; }

    // Answers a command; out holds the bytes the host sent (to-device).
    BotReply answer(ModuleState &state, const Cbw &cbw, std::span<const uint8_t> out,
                    uint64_t now_ms);

    // A fault, as USB can show it: an error is CHECK CONDITION (its sense
    // kept for REQUEST SENSE) or a phase error, with the command not run;
    // a module that vanishes leaves the bus; a hung one stops answering.
    FaultAction fault_before(const Fault &fault, const Cbw &cbw, BotReply &reply);
    // Faults in the data of a command that ran: no magic, chosen bytes,
    // only part of the data.
    void fault_after(const Fault &fault, const Cbw &cbw, BotReply &reply);

private:
    void keep_on_disk(const ModuleState &state, uint32_t lba, bool read, std::span<uint8_t> data, uint32_t bytes);

    ReadBehaviour behaviour_;
    std::vector<uint8_t> disk_; // made at the first disk command
    std::array<uint8_t, 18> sense_{};
    uint8_t sense_length_ = 0;
};

} // namespace kdxsim
