// SPDX-License-Identifier: MIT
// The library's only conversation with the kernel about a module: one
// SG_IO ioctl per SCSI command on a descriptor someone else owns.
#include "../internal.h"

#include <scsi/sg.h>
#include <sys/ioctl.h>

namespace kdx {

namespace {

constexpr uint8_t kRead10 = 0x28;
constexpr uint8_t kWrite10 = 0x2A;
constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kReadCapacity10 = 0x25;

constexpr uint32_t kTimeoutMs = 5000;
constexpr uint32_t kInquiryTimeoutMs = 2000;
constexpr uint32_t kAttachedTimeoutMs = 2000;
constexpr uint32_t kBlockBytes = 512;

// host_status values for commands the transport never finished.
constexpr uint16_t kDidNoConnect = 0x01;
constexpr uint16_t kDidAbort = 0x05;
constexpr uint16_t kDriverTimeout = 0x06;

bool reports_error(const sg_io_hdr_t &request) {
    return (request.status & 0x7e) != 0 || request.host_status != 0 || request.driver_status != 0;
}

// One SG_IO call; the ioctl's result, with the outcome in request.
int submit(int32_t fd, std::span<uint8_t> cdb, int direction, void *data, uint32_t len,
           uint32_t timeout_ms, sg_io_hdr_t &request) {
    std::array<uint8_t, 32> sense{};
    request = sg_io_hdr_t{};
    request.interface_id = 'S';
    request.dxfer_direction = direction;
    request.cmd_len = static_cast<unsigned char>(cdb.size());
    request.mx_sb_len = static_cast<unsigned char>(sense.size());
    request.dxfer_len = len;
    request.dxferp = data;
    request.cmdp = cdb.data();
    request.sbp = sense.data();
    request.timeout = timeout_ms;
    return ioctl(fd, SG_IO, &request);
}

// Whether the module behind fd is still there: one TEST UNIT READY that
// the transport completes. A module leaving the bus fails it with ENODEV,
// DID_NO_CONNECT or, while usb-storage is still noticing, DID_ERROR; a unit
// attention or other SCSI status from a module that is there still counts.
bool still_attached(int32_t fd) {
    std::array<uint8_t, 6> cdb{};
    cdb[0] = kTestUnitReady;
    sg_io_hdr_t request;
    if (submit(fd, cdb, SG_DXFER_NONE, nullptr, 0, kAttachedTimeoutMs, request) < 0) {
        return false;
    }
    return request.host_status == 0 && (request.driver_status & 0x0f) != kDriverTimeout;
}

// Whether a data phase that moved part of its bytes fails the command.
// Register blocks and capacities are whole or useless: sg copies its whole
// buffer back, so a short reply's tail is the previous command's bytes. A
// device may answer INQUIRY with less than the allocation length.
enum class Partial { Fails, Allowed };

bool partial_data(const sg_io_hdr_t &request) {
    return request.resid > 0 && static_cast<unsigned>(request.resid) < request.dxfer_len;
}

bool whole_residue_good(const sg_io_hdr_t &request) {
    return request.dxfer_len > 0 && request.resid >= 0 && static_cast<unsigned>(request.resid) == request.dxfer_len &&
           !reports_error(request);
}

// Issues one command; returns len when it completed, else 0.
int32_t run(int32_t fd, std::span<uint8_t> cdb, int direction, void *data, uint32_t len,
            uint32_t timeout_ms, Partial partial = Partial::Fails, Residue residue = Residue::Whole,
            bool *whole_residue = nullptr) {
    sg_io_hdr_t request;
    if (submit(fd, cdb, direction, data, len, timeout_ms, request) < 0) {
        return 0;
    }
    if (!command_completed(request)) {
        return 0;
    }
    if (partial == Partial::Fails && partial_data(request)) {
        return 0;
    }
    if (whole_residue != nullptr) {
        *whole_residue = whole_residue_good(request);
    }
    // From a module whose firmware reports residues as they are, GOOD with
    // nothing moved leaves the previous command's bytes: not a reply.
    if (residue == Residue::Exact && whole_residue_good(request)) {
        return 0;
    }
    // A module that vanished mid-command can end it with DID_ERROR and the
    // previous command's bytes in the buffer; a firmware's phase error
    // looks the same but its data are good. Only asking again tells them
    // apart, and only an outcome with an error pays for it.
    if (reports_error(request) && !still_attached(fd)) {
        return 0;
    }
    return static_cast<int32_t>(len);
}

} // namespace

// READ(10)/WRITE(10) of one register block: the block count covers the
// byte count in whole 512-byte blocks, of which the CDB keeps 8 bits.
int32_t block_transfer(int32_t fd, bool read, uint32_t lba, uint8_t *buf, uint32_t len, Residue residue,
                       bool *whole_residue) {
    if (len == 0) {
        return 0;
    }
    std::array<uint8_t, 10> cdb{};
    cdb[0] = read ? kRead10 : kWrite10;
    kdx::store_be<uint32_t>(&cdb[2], lba);
    const uint32_t blocks = (len + kBlockBytes - 1) / kBlockBytes;
    kdx::store_be<uint16_t>(&cdb[7], static_cast<uint16_t>(blocks & 0xFFu));
    return run(fd, cdb, read ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV, buf, len, kTimeoutMs, Partial::Fails, residue,
               whole_residue);
}

bool command_completed(const sg_io_hdr &request) {
    if (request.host_status >= kDidNoConnect && request.host_status <= kDidAbort) {
        return false;
    }
    if ((request.driver_status & 0x0f) == kDriverTimeout) {
        return false;
    }
    // sg may leave stale bytes in the buffer of a command that moved nothing.
    const bool nothing_moved = request.dxfer_len > 0 && request.resid >= 0 &&
                               static_cast<unsigned>(request.resid) == request.dxfer_len;
    return !(nothing_moved && reports_error(request));
}

} // namespace kdx

extern "C" {

int32_t writeLBA(int32_t fd, uint32_t lba, const uint8_t *buf, uint32_t len) {
    // The driver only reads from a to-device buffer.
    return kdx::block_transfer(fd, false, lba, const_cast<uint8_t *>(buf), len, kdx::Residue::Whole);
}

int32_t readLBA(int32_t fd, uint32_t lba, uint8_t *buf, uint32_t len) {
    return kdx::block_transfer(fd, true, lba, buf, len, kdx::Residue::Whole);
}

int32_t getInquiry(int32_t fd, uint8_t *buf, uint32_t len) {
    std::array<uint8_t, 6> cdb{};
    cdb[0] = kdx::kInquiry;
    kdx::store_be<uint16_t>(&cdb[3], static_cast<uint16_t>(len));
    return kdx::run(fd, cdb, SG_DXFER_FROM_DEV, buf, len, kdx::kInquiryTimeoutMs,
                    kdx::Partial::Allowed);
}

int32_t readCapacity(int32_t fd, uint8_t *buf, uint32_t len) {
    if (len == 0) {
        return 0;
    }
    std::array<uint8_t, 10> cdb{};
    cdb[0] = kdx::kReadCapacity10;
    return kdx::run(fd, cdb, SG_DXFER_FROM_DEV, buf, len, kdx::kTimeoutMs);
}

uint64_t getDiskSize(int32_t fd) {
    std::array<uint8_t, 8> data{};
    if (readCapacity(fd, data.data(), 8) != 8) {
        return 0;
    }
    // 64-bit: a 32-bit product could make a large disk look like a module.
    const uint64_t blocks = uint64_t{kdx::load_be<uint32_t>(&data[0])} + 1;
    return blocks * kdx::load_be<uint32_t>(&data[4]);
}

} // extern "C"
