// SPDX-License-Identifier: MIT
#include "sg_driver.h"

#include "../scsi/target.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

namespace kdxsim {

namespace {

constexpr unsigned kMaxCdb = 252;               // SG_MAX_CDB_SIZE
constexpr unsigned kMaxTransfer = 256u << 20;   // SZ_256M
constexpr uint16_t kDriverSense = 0x08;
constexpr uint16_t kDidError = 0x07;
constexpr uint16_t kDidTimeOut = 0x03;
constexpr int kDxferUnknown = -5; // SG_DXFER_UNKNOWN, absent from glibc's header

bool valid_transfer(const sg_io_hdr_t &r) {
    switch (r.dxfer_direction) {
    case SG_DXFER_NONE: return r.dxferp == nullptr && r.dxfer_len == 0;
    case SG_DXFER_FROM_DEV: return true;
    case SG_DXFER_TO_DEV:
    case SG_DXFER_TO_FROM_DEV: return r.dxferp != nullptr && r.dxfer_len != 0;
    case kDxferUnknown:
        return !((r.dxferp == nullptr && r.dxfer_len != 0) ||
                 (r.dxferp != nullptr && r.dxfer_len == 0));
    default: return false;
    }
}

DataDirection direction_of(int dxfer_direction) {
    switch (dxfer_direction) {
    case SG_DXFER_TO_DEV: return DataDirection::ToDevice;
    case SG_DXFER_FROM_DEV:
    case SG_DXFER_TO_FROM_DEV: return DataDirection::FromDevice;
    default: return DataDirection::None;
    }
}

bool reply_fault(const Fault *fault) {
    return fault != nullptr &&
           (fault->kind == FaultKind::CheckCondition || fault->kind == FaultKind::HostStatus ||
            fault->kind == FaultKind::DriverStatus);
}

} // namespace

int validate_request(const sg_io_hdr_t &request) {
    if (request.interface_id != 'S') {
        return -ENOSYS;
    }
    if (request.cmdp == nullptr || request.cmd_len < 6 || request.cmd_len > kMaxCdb) {
        return -EMSGSIZE;
    }
    if (request.dxfer_len >= kMaxTransfer || !valid_transfer(request)) {
        return -EINVAL;
    }
    if (request.dxfer_len > 0 && request.dxferp == nullptr) {
        return -EFAULT;
    }
    return 0;
}

int sg_io(ModuleState &state, sg_io_hdr_t &request, const Fault *fault, uint64_t now_ms,
          std::vector<uint8_t> &reserve) {
    if (state.unplugged != 0) {
        return -ENODEV;
    }
    if (const int error = validate_request(request); error != 0) {
        return error;
    }
    if (fault != nullptr && fault->kind == FaultKind::IoctlError) {
        return -fault->error;
    }
    const std::span<const uint8_t> cdb(request.cmdp, request.cmd_len);
    const DataDirection direction = direction_of(request.dxfer_direction);
    // The kernel moves data through a buffer of its own, kept from one
    // command to the next; only bytes the device sent reach the caller.
    if (reserve.size() < request.dxfer_len) {
        reserve.resize(request.dxfer_len);
    }
    const std::span<uint8_t> bounce(reserve.data(), request.dxfer_len);
    auto *user = static_cast<uint8_t *>(request.dxferp);
    if (direction == DataDirection::ToDevice) {
        std::copy_n(user, request.dxfer_len, bounce.begin());
    }
    // A hung module: the command times out, nothing moved.
    Fault timed_out;
    if (fault != nullptr && fault->kind == FaultKind::Hang) {
        timed_out = *fault;
        timed_out.kind = FaultKind::HostStatus;
        timed_out.host_status = kDidTimeOut;
        timed_out.data_moved = false;
        fault = &timed_out;
    }
    if (fault != nullptr &&
        (fault->kind == FaultKind::Vanish || fault->kind == FaultKind::Disconnect)) {
        if (direction == DataDirection::FromDevice) {
            std::copy_n(bounce.begin(), request.dxfer_len, user);
        }
        state.unplugged = 1;
        request.status = 0;
        request.masked_status = 0;
        request.msg_status = 0;
        request.sb_len_wr = 0;
        request.host_status = kDidError;
        request.driver_status = 0;
        request.resid = 0;
        request.duration = 1;
        request.info = SG_INFO_CHECK;
        return 0;
    }
    const bool nothing_moves = reply_fault(fault) && !fault->data_moved;
    // What the buffer held before this command, for a short data phase.
    std::vector<uint8_t> before;
    if (fault != nullptr && fault->kind == FaultKind::ShortData) {
        before.assign(bounce.begin(), bounce.end());
    }
    ScsiReply reply;
    if (!(nothing_moves && direction == DataDirection::ToDevice)) {
        reply = execute(state, cdb, direction, bounce, now_ms);
    }
    uint16_t host_status = 0;
    uint16_t driver_status = 0;
    bool stale_tail = false;
    if (fault != nullptr) {
        switch (fault->kind) {
        case FaultKind::NoMagic:
            std::fill_n(bounce.begin(), std::min<std::size_t>(4, bounce.size()), uint8_t{0});
            break;
        case FaultKind::ChosenBytes:
            for (std::size_t i = 0; i < fault->length && fault->offset + i < bounce.size(); ++i) {
                bounce[fault->offset + i] = fault->bytes[i];
            }
            reply.transferred = std::max<uint32_t>(
                reply.transferred,
                std::min<uint32_t>(request.dxfer_len, uint32_t{fault->offset} + fault->length));
            break;
        case FaultKind::CheckCondition: {
            const uint32_t moved = reply.transferred;
            reply = check_condition(fault->sense_key, fault->asc, fault->ascq);
            reply.transferred = moved;
            break;
        }
        case FaultKind::HostStatus: host_status = fault->host_status; break;
        case FaultKind::ShortData:
            // The block layer copies the whole bounce buffer back: past
            // the bytes that arrived, the caller gets the last command's.
            reply.transferred = std::min<uint32_t>(reply.transferred, fault->length);
            std::copy(before.begin() + reply.transferred, before.end(),
                      bounce.begin() + reply.transferred);
            host_status = fault->host_status;
            stale_tail = true;
            break;
        case FaultKind::DriverStatus: driver_status = fault->driver_status; break;
        case FaultKind::WholeResidue:
        case FaultKind::IoctlError:
        case FaultKind::Vanish:
        case FaultKind::Hang:
        case FaultKind::Disconnect: break;
        }
        if (nothing_moves) {
            reply.transferred = 0;
        }
    }
    if (direction == DataDirection::FromDevice) {
        const std::size_t arrived = std::min<std::size_t>(reply.transferred, bounce.size());
        std::copy_n(bounce.begin(), stale_tail ? bounce.size() : arrived, user);
    }
    request.status = reply.status;
    request.masked_status = static_cast<unsigned char>((reply.status >> 1) & 0x7f);
    request.msg_status = 0;
    request.sb_len_wr = 0;
    if (reply.status == kStatusCheckCondition && request.sbp != nullptr) {
        const auto length = std::min<unsigned>(request.mx_sb_len, reply.sense_length);
        std::memcpy(request.sbp, reply.sense.data(), length);
        request.sb_len_wr = static_cast<unsigned char>(length);
        driver_status = static_cast<uint16_t>(driver_status | kDriverSense);
    }
    request.host_status = host_status;
    request.driver_status = driver_status;
    request.resid = static_cast<int>(request.dxfer_len - std::min(reply.transferred, request.dxfer_len));
    if (fault != nullptr && fault->kind == FaultKind::WholeResidue) {
        request.resid = static_cast<int>(request.dxfer_len);
    }
    request.duration = 1;
    request.info = (reply.status != 0 || host_status != 0 || driver_status != 0) ? SG_INFO_CHECK : 0;
    return 0;
}

} // namespace kdxsim
