// SPDX-License-Identifier: MIT
#include "bot.h"

#include "../model/module_model.h"
#include "../scsi/target.h"
#include "../scsi/wire_check.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kdxsim {

namespace {

constexpr uint32_t kCbwSignature = 0x43425355; // "USBC"
constexpr uint32_t kCswSignature = 0x53425355; // "USBS"

constexpr uint8_t kRequestSense = 0x03;
constexpr uint8_t kModeSense6 = 0x1A;
constexpr uint8_t kModeSense10 = 0x5A;
constexpr uint8_t kStartStopUnit = 0x1B;
constexpr uint8_t kPreventAllowRemoval = 0x1E;
constexpr uint8_t kSynchronizeCache10 = 0x35;
constexpr uint32_t kHeaderBytes = 16;

uint32_t le32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void put_le32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

bool register_read(const Cbw &cbw) {
    const std::optional<uint32_t> address = block_address(cbw.cdb);
    return address && cbw.cdb[0] == kRead10 && is_register(*address);
}

uint32_t blocks_of(const Cbw &cbw) { return static_cast<uint32_t>(cbw.cdb[7] << 8 | cbw.cdb[8]); }

// Whether the host's length and direction disagree with what a READ(10) or
// WRITE(10) moves, so that the class calls for a phase error: data wanted
// and none expected (cases 2, 3), the other direction (8, 10), or less
// than the command moves (7, 13). A one-block register command shorter
// than its block is what the module's firmware does, not a disagreement.
bool phase_error_due(const Cbw &cbw) {
    const std::optional<uint32_t> address = block_address(cbw.cdb);
    if (!address || blocks_of(cbw) == 0) {
        return false; // other commands; and none to move: cases 1, 4, 9
    }
    const uint32_t bytes = blocks_of(cbw) * kBlockBytes;
    const bool device_to_host = cbw.cdb[0] == kRead10;
    if (cbw.length == 0 || cbw.to_host != device_to_host) {
        return true;
    }
    return cbw.length < bytes && !(is_register(*address) && blocks_of(cbw) == 1);
}

} // namespace

std::optional<Cbw> parse_cbw(std::span<const uint8_t> bytes) {
    if (bytes.size() != kCbwBytes || le32(bytes.data()) != kCbwSignature) {
        return std::nullopt;
    }
    const uint8_t cdb_length = bytes[14] & 0x1F;
    if (cdb_length < 1 || cdb_length > 16) {
        return std::nullopt;
    }
    Cbw cbw;
    cbw.tag = le32(&bytes[4]);
    cbw.length = le32(&bytes[8]);
    cbw.to_host = (bytes[12] & 0x80) != 0;
    cbw.lun = bytes[13] & 0x0F;
    cbw.cdb.assign(bytes.begin() + 15, bytes.begin() + 15 + cdb_length);
    return cbw;
}

std::array<uint8_t, kCswBytes> make_csw(uint32_t tag, uint32_t residue, uint8_t status) {
    std::array<uint8_t, kCswBytes> csw{};
    put_le32(&csw[0], kCswSignature);
    put_le32(&csw[4], tag);
    put_le32(&csw[8], residue);
    csw[12] = status;
    return csw;
}

std::optional<ReadBehaviour> parse_read_behaviour(const std::string &name) {
    for (const ReadBehaviour b :
         {ReadBehaviour::Exact, ReadBehaviour::Block, ReadBehaviour::Phase, ReadBehaviour::Residue,
          ReadBehaviour::Short, ReadBehaviour::ShortPhase}) {
        if (name == name_of(b)) {
            return b;
        }
    }
    return std::nullopt;
}

const char *name_of(ReadBehaviour behaviour) {
    switch (behaviour) {
    case ReadBehaviour::Exact: return "exact";
    case ReadBehaviour::Block: return "block";
    case ReadBehaviour::Phase: return "phase";
    case ReadBehaviour::Residue: return "residue";
    case ReadBehaviour::Short: return "short";
    case ReadBehaviour::ShortPhase: return "short-phase";
    }
    return "?";
}

BotReply BotTarget::answer(ModuleState &state, const Cbw &cbw, std::span<const uint8_t> out,
                           uint64_t now_ms) {
    BotReply reply;
    reply.malformed =
        check_register_command(cbw.cdb, !cbw.to_host && cbw.length > 0, cbw.length, out,
                               state.identity.last_block);
    const uint8_t opcode = cbw.cdb[0];
    ScsiReply scsi;
    std::vector<uint8_t> data;
    if (opcode == kRequestSense) {
        if (sense_length_ == 0) {
            sense_ = check_condition(0, 0, 0).sense; // NO SENSE
        }
        data.assign(sense_.begin(), sense_.end());
        data.resize(std::min<std::size_t>(data.size(), cbw.length));
        sense_length_ = 0;
        scsi.transferred = static_cast<uint32_t>(data.size());
    } else if (phase_error_due(cbw)) {
        reply.status = kCswPhaseError; // the host resets the device
        reply.residue = cbw.length;
        return reply;
    } else if (opcode == kModeSense6 || opcode == kModeSense10) {
        // Header only: no block descriptors, no pages, not write protected.
        data = opcode == kModeSense6 ? std::vector<uint8_t>{3, 0, 0, 0} : std::vector<uint8_t>{0, 6, 0, 0, 0, 0, 0, 0};
        data.resize(std::min<std::size_t>(data.size(), cbw.length));
        scsi.transferred = static_cast<uint32_t>(data.size());
    } else if (opcode == kStartStopUnit || opcode == kPreventAllowRemoval ||
               opcode == kSynchronizeCache10 || (block_address(cbw.cdb) && blocks_of(cbw) == 0)) {
        // Nothing to spin, lock, flush or move (the data the host offered,
        // or asked for, is the residue: cases 4 and 9).
    } else {
        const bool whole_block = register_read(cbw) && behaviour_ == ReadBehaviour::Block;
        data.assign(std::max<std::size_t>(cbw.length, whole_block ? 512 : 0), 0);
        if (!cbw.to_host) {
            std::copy_n(out.begin(), std::min(out.size(), data.size()), data.begin());
        }
        const DataDirection direction = cbw.length == 0 ? DataDirection::None
                                        : cbw.to_host    ? DataDirection::FromDevice
                                                         : DataDirection::ToDevice;
        scsi = execute(state, cbw.cdb, direction, data, now_ms);
        if (whole_block && scsi.status == kStatusGood) {
            scsi.transferred = 512;
        }
        const std::optional<uint32_t> address = block_address(cbw.cdb);
        if (address && !is_register(*address) && scsi.status == kStatusGood && scsi.transferred > 0) {
            keep_on_disk(state, *address, cbw.cdb[0] == kRead10, data, scsi.transferred);
        }
    }
    // A firmware that sends only the header of a register block.
    const bool header_only = register_read(cbw) && scsi.status == kStatusGood &&
                             (behaviour_ == ReadBehaviour::Short || behaviour_ == ReadBehaviour::ShortPhase);
    if (header_only) {
        scsi.transferred = std::min<uint32_t>(scsi.transferred, kHeaderBytes);
    }
    if (cbw.to_host) {
        data.resize(scsi.transferred);
        reply.data = std::move(data);
    }
    const uint32_t moved = std::min(scsi.transferred, cbw.length);
    reply.residue = cbw.length - moved;
    if (scsi.status != kStatusGood) {
        sense_ = scsi.sense;
        sense_length_ = scsi.sense_length;
        reply.status = kCswFailed;
        return reply;
    }
    if (register_read(cbw)) {
        if (behaviour_ == ReadBehaviour::Phase || behaviour_ == ReadBehaviour::ShortPhase) {
            reply.status = kCswPhaseError;
        } else if (behaviour_ == ReadBehaviour::Residue) {
            // All the data, and a residue that claims none of it came: the
            // host cannot tell what arrived, so takes it as it is.
            reply.residue = cbw.length;
        }
    }
    return reply;
}

FaultAction BotTarget::fault_before(const Fault &fault, const Cbw &cbw, BotReply &reply) {
    const auto fail = [&](uint8_t status, const ScsiReply &scsi) {
        reply = BotReply{};
        reply.status = status;
        reply.residue = cbw.length;
        sense_ = scsi.sense;
        sense_length_ = scsi.sense_length;
        return FaultAction::Answered;
    };
    switch (fault.kind) {
    case FaultKind::Hang: return FaultAction::Hang;
    case FaultKind::Vanish:
    case FaultKind::Disconnect: return FaultAction::Disconnect;
    case FaultKind::IoctlError:
        if (fault.error == ENODEV) return FaultAction::Disconnect;
        return fail(kCswFailed, check_condition(0x04, 0x44, 0x00)); // hardware error: internal target failure
    case FaultKind::CheckCondition:
        return fail(kCswFailed, check_condition(fault.sense_key, fault.asc, fault.ascq));
    case FaultKind::HostStatus:
    case FaultKind::DriverStatus:
        return fail(kCswPhaseError, ScsiReply{}); // a transport error: the host resets the device
    case FaultKind::NoMagic:
    case FaultKind::ChosenBytes:
    case FaultKind::ShortData:
    case FaultKind::WholeResidue: break;
    }
    return FaultAction::Execute;
}

void BotTarget::fault_after(const Fault &fault, const Cbw &cbw, BotReply &reply) {
    if (!cbw.to_host || reply.status != kCswPassed) {
        return;
    }
    std::vector<uint8_t> &data = reply.data;
    switch (fault.kind) {
    case FaultKind::NoMagic: std::fill_n(data.begin(), std::min<std::size_t>(4, data.size()), uint8_t{0}); break;
    case FaultKind::ChosenBytes:
        for (std::size_t i = 0; i < fault.length && fault.offset + i < data.size() && i < sizeof fault.bytes; ++i) {
            data[fault.offset + i] = fault.bytes[i];
        }
        break;
    case FaultKind::ShortData:
        if (data.size() > fault.length) {
            data.resize(fault.length);
            reply.residue = cbw.length - std::min<uint32_t>(cbw.length, fault.length);
        }
        if (fault.host_status != 0) reply.status = kCswPhaseError;
        break;
    case FaultKind::WholeResidue: reply.residue = cbw.length; break;
    default: break;
    }
}

// The disk's own blocks, in memory: what the host wrote, it reads back.
void BotTarget::keep_on_disk(const ModuleState &state, uint32_t lba, bool read, std::span<uint8_t> data,
                             uint32_t bytes) {
    const std::size_t size = (std::size_t{state.identity.last_block} + 1) * kBlockBytes;
    if (disk_.size() != size) {
        disk_.assign(size, 0);
    }
    const std::size_t at = std::size_t{lba} * kBlockBytes;
    const std::size_t n = std::min<std::size_t>({bytes, data.size(), disk_.size() - std::min(at, disk_.size())});
    if (read) {
        std::copy_n(disk_.begin() + static_cast<long>(at), n, data.begin());
    } else {
        std::copy_n(data.begin(), n, disk_.begin() + static_cast<long>(at));
    }
}

} // namespace kdxsim
