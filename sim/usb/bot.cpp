// SPDX-License-Identifier: MIT
#include "bot.h"

#include "../model/module_model.h"
#include "../scsi/target.h"
#include "../scsi/wire_check.h"

#include <algorithm>
#include <cstring>

namespace kdxsim {

namespace {

constexpr uint32_t kCbwSignature = 0x43425355; // "USBC"
constexpr uint32_t kCswSignature = 0x53425355; // "USBS"

constexpr uint8_t kRequestSense = 0x03;
constexpr uint8_t kModeSense6 = 0x1A;
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
    } else if (opcode == kModeSense6) {
        // Header only: no block descriptors, no pages, not write protected.
        data = {3, 0, 0, 0};
        data.resize(std::min<std::size_t>(data.size(), cbw.length));
        scsi.transferred = static_cast<uint32_t>(data.size());
    } else if (opcode == kStartStopUnit || opcode == kPreventAllowRemoval ||
               opcode == kSynchronizeCache10) {
        // Nothing to spin, lock or flush.
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

} // namespace kdxsim
