// SPDX-License-Identifier: MIT
#include "target.h"

#include "../model/module_model.h"
#include "module_map.h"

#include <algorithm>
#include <cstring>

namespace kdxsim {

namespace {

constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kReadCapacity10 = 0x25;
constexpr uint8_t kServiceActionIn16 = 0x9E;
constexpr uint8_t kReadCapacity16 = 0x10; // its service action

constexpr uint8_t kIllegalRequest = 0x05;
constexpr uint8_t kInvalidOpcode = 0x20;
constexpr uint8_t kLbaOutOfRange = 0x21;
constexpr uint8_t kInvalidFieldInCdb = 0x24;
constexpr uint8_t kInvalidFieldInParameters = 0x26;

uint32_t be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

void put_be32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

ScsiReply deliver(std::span<const uint8_t> source, std::span<uint8_t> data) {
    ScsiReply reply;
    const std::size_t n = std::min(source.size(), data.size());
    std::copy_n(source.begin(), n, data.begin());
    reply.transferred = static_cast<uint32_t>(n);
    return reply;
}

ScsiReply access_error(Access access) {
    switch (access) {
    case Access::NoSuchRegister: return check_condition(kIllegalRequest, kLbaOutOfRange, 0);
    case Access::WrongDirection: return check_condition(kIllegalRequest, kInvalidFieldInCdb, 0);
    case Access::BadMagic: return check_condition(kIllegalRequest, kInvalidFieldInParameters, 0);
    case Access::Ok: break;
    }
    return {};
}

ScsiReply read10(ModuleState &state, std::span<const uint8_t> cdb, std::span<uint8_t> data,
                 uint64_t now_ms) {
    const uint32_t lba = be32(&cdb[2]);
    const uint32_t blocks = be16(&cdb[7]);
    const std::size_t bytes = std::size_t{blocks} * kBlockBytes;
    if (blocks == 0) {
        return {};
    }
    if (is_register(lba)) {
        std::array<uint8_t, kBlockBytes> image{};
        if (const Access access = read_block(state, lba, image, now_ms); access != Access::Ok) {
            return access_error(access);
        }
        // Only the first block of a register has content.
        ScsiReply reply = deliver(image, data);
        if (data.size() > image.size()) {
            const std::size_t rest = std::min(bytes, data.size()) - image.size();
            std::fill_n(data.begin() + kBlockBytes, rest, uint8_t{0});
            reply.transferred += static_cast<uint32_t>(rest);
        }
        return reply;
    }
    if (uint64_t{lba} + blocks - 1 > state.identity.last_block) {
        return check_condition(kIllegalRequest, kLbaOutOfRange, 0);
    }
    // The disk itself is blank.
    const std::size_t n = std::min(bytes, data.size());
    std::fill_n(data.begin(), n, uint8_t{0});
    ScsiReply reply;
    reply.transferred = static_cast<uint32_t>(n);
    return reply;
}

ScsiReply write10(ModuleState &state, std::span<const uint8_t> cdb, std::span<uint8_t> data,
                  uint64_t now_ms) {
    const uint32_t lba = be32(&cdb[2]);
    const uint32_t blocks = be16(&cdb[7]);
    const std::size_t n = std::min(std::size_t{blocks} * kBlockBytes, data.size());
    if (blocks == 0) {
        return {};
    }
    if (is_register(lba)) {
        if (const Access access = write_block(state, lba, data.first(n), now_ms);
            access != Access::Ok) {
            ScsiReply reply = access_error(access);
            reply.transferred = static_cast<uint32_t>(n);
            return reply;
        }
    } else if (uint64_t{lba} + blocks - 1 > state.identity.last_block) {
        return check_condition(kIllegalRequest, kLbaOutOfRange, 0);
    }
    ScsiReply reply;
    reply.transferred = static_cast<uint32_t>(n);
    return reply;
}

} // namespace

std::optional<uint32_t> block_address(std::span<const uint8_t> cdb) {
    if (cdb.size() < 10 || (cdb[0] != kRead10 && cdb[0] != kWrite10)) {
        return std::nullopt;
    }
    return be32(&cdb[2]);
}

ScsiReply check_condition(uint8_t key, uint8_t asc, uint8_t ascq) {
    ScsiReply reply;
    reply.status = kStatusCheckCondition;
    reply.sense[0] = 0x70; // current error, fixed format
    reply.sense[2] = key;
    reply.sense[7] = 10; // additional sense length
    reply.sense[12] = asc;
    reply.sense[13] = ascq;
    reply.sense_length = 18;
    return reply;
}

std::array<uint8_t, kInquiryBytes> inquiry_data(const ModuleIdentity &identity) {
    std::array<uint8_t, kInquiryBytes> data{};
    data[0] = 0x00; // direct-access block device
    data[1] = 0x80; // removable medium
    data[2] = 0x04; // SPC-2
    data[3] = 0x02; // response data format
    data[4] = kInquiryBytes - 5;
    std::memcpy(&data[kdx::module_map::kInquiryVendor], identity.vendor, sizeof identity.vendor);
    std::memcpy(&data[kdx::module_map::kInquiryProduct], identity.product, sizeof identity.product);
    std::memcpy(&data[kdx::module_map::kInquiryRevision], identity.revision, sizeof identity.revision);
    return data;
}

ScsiReply execute(ModuleState &state, std::span<const uint8_t> cdb, DataDirection direction,
                  std::span<uint8_t> data, uint64_t now_ms) {
    switch (cdb[0]) {
    case kTestUnitReady: return {};
    case kInquiry: {
        if ((cdb[1] & 0x01) != 0 || cdb[2] != 0) {
            return check_condition(kIllegalRequest, kInvalidFieldInCdb, 0);
        }
        const auto inquiry = inquiry_data(state.identity);
        const std::size_t allocation = be16(&cdb[3]);
        return deliver(std::span(inquiry).first(std::min(allocation, inquiry.size())), data);
    }
    case kServiceActionIn16: {
        if (cdb.size() < 16 || (cdb[1] & 0x1F) != kReadCapacity16) {
            return check_condition(kIllegalRequest, kInvalidOpcode, 0);
        }
        std::array<uint8_t, 32> capacity{};
        put_be32(&capacity[4], state.identity.last_block); // bytes 0-3: the high half, 0
        put_be32(&capacity[8], state.identity.block_length);
        return deliver(std::span(capacity).first(std::min<std::size_t>(be32(&cdb[10]), capacity.size())), data);
    }
    case kReadCapacity10: {
        std::array<uint8_t, 8> capacity{};
        put_be32(&capacity[0], state.identity.last_block);
        put_be32(&capacity[4], state.identity.block_length);
        return deliver(capacity, data);
    }
    case kRead10:
        if (cdb.size() < 10 || direction != DataDirection::FromDevice) {
            return check_condition(kIllegalRequest, kInvalidFieldInCdb, 0);
        }
        return read10(state, cdb, data, now_ms);
    case kWrite10:
        if (cdb.size() < 10 || direction != DataDirection::ToDevice) {
            return check_condition(kIllegalRequest, kInvalidFieldInCdb, 0);
        }
        return write10(state, cdb, data, now_ms);
    default: return check_condition(kIllegalRequest, kInvalidOpcode, 0);
    }
}

} // namespace kdxsim
