// SPDX-License-Identifier: MIT
#include "front/modbus/modbus_frame.h"

namespace kdxd::modbus {

namespace {

uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

uint8_t *put16(uint8_t *p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
    return p + 2;
}

Exception decode_pdu(const uint8_t *pdu, std::size_t size, Request &r) {
    switch (r.function) {
    case kReadCoils:
    case kReadDiscreteInputs:
    case kReadHolding:
    case kReadInput: {
        const unsigned limit = r.function <= kReadDiscreteInputs ? kMaxBits : kMaxRegisters;
        if (size != 4) return Exception::IllegalValue;
        r.address = be16(pdu);
        r.count = be16(pdu + 2);
        return r.count == 0 || r.count > limit ? Exception::IllegalValue : Exception::None;
    }
    case kWriteCoil:
    case kWriteRegister:
        if (size != 4) return Exception::IllegalValue;
        r.address = be16(pdu);
        r.count = 1;
        r.raw_value = be16(pdu + 2);
        if (r.function == kWriteCoil) {
            if (r.raw_value != 0xFF00 && r.raw_value != 0x0000) return Exception::IllegalValue;
            r.values[0] = r.raw_value != 0;
        } else {
            r.values[0] = r.raw_value;
        }
        return Exception::None;
    case kWriteCoils:
    case kWriteRegisters: {
        if (size < 5) return Exception::IllegalValue;
        r.address = be16(pdu);
        r.count = be16(pdu + 2);
        const unsigned bytes = pdu[4];
        const bool coils = r.function == kWriteCoils;
        const unsigned limit = coils ? kMaxWrittenBits : 123;
        const unsigned needed = coils ? (r.count + 7u) / 8u : 2u * r.count;
        if (r.count == 0 || r.count > limit || bytes != needed || size - 5 != bytes) {
            return Exception::IllegalValue;
        }
        for (unsigned i = 0; i < r.count; ++i) {
            r.values[i] = coils ? static_cast<uint16_t>((pdu[5 + i / 8] >> (i % 8)) & 1) : be16(pdu + 5 + 2 * i);
        }
        return Exception::None;
    }
    default: return Exception::IllegalFunction;
    }
}

} // namespace

bool is_write(uint8_t function) {
    return function == kWriteCoil || function == kWriteRegister || function == kWriteCoils ||
           function == kWriteRegisters;
}

long frame_length(std::span<const uint8_t> stream) {
    if (stream.size() < kHeader) {
        return 0;
    }
    const uint16_t protocol = be16(&stream[2]);
    const uint16_t length = be16(&stream[4]); // unit + PDU
    if (protocol != 0 || length < 2 || length > kMaxFrame - 6) {
        return -1;
    }
    const std::size_t frame = 6u + length;
    return stream.size() < frame ? 0 : static_cast<long>(frame);
}

Exception decode(std::span<const uint8_t> frame, Request &request) {
    request.transaction = be16(&frame[0]);
    request.unit = frame[6];
    request.function = frame[7];
    request.address = request.count = request.raw_value = 0;
    return decode_pdu(frame.data() + 8, frame.size() - 8, request);
}

std::size_t encode(const Request &request, const Reply &reply, std::span<uint8_t> out) {
    uint8_t *p = put16(out.data(), request.transaction);
    p = put16(p, 0);
    uint8_t *length = p;
    p += 2;
    *p++ = request.unit;
    const uint8_t f = request.function;
    if (reply.exception != Exception::None) {
        *p++ = static_cast<uint8_t>(f | 0x80);
        *p++ = static_cast<uint8_t>(reply.exception);
    } else {
        *p++ = f;
        switch (f) {
        case kReadCoils:
        case kReadDiscreteInputs: {
            const unsigned bytes = (request.count + 7u) / 8u;
            *p++ = static_cast<uint8_t>(bytes);
            for (unsigned i = 0; i < bytes; ++i) p[i] = 0;
            for (unsigned i = 0; i < request.count; ++i) {
                p[i / 8] = static_cast<uint8_t>(p[i / 8] | (reply.bits[i] & 1u) << (i % 8));
            }
            p += bytes;
            break;
        }
        case kReadHolding:
        case kReadInput:
            *p++ = static_cast<uint8_t>(2 * request.count);
            for (unsigned i = 0; i < request.count; ++i) p = put16(p, reply.registers[i]);
            break;
        case kWriteCoil:
        case kWriteRegister:
            p = put16(p, request.address);
            p = put16(p, request.raw_value);
            break;
        default: // 15, 16
            p = put16(p, request.address);
            p = put16(p, request.count);
            break;
        }
    }
    put16(length, static_cast<uint16_t>(p - length - 2));
    return static_cast<std::size_t>(p - out.data());
}

} // namespace kdxd::modbus
