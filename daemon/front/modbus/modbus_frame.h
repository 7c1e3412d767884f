// SPDX-License-Identifier: MIT
// Modbus TCP frames: where one ends in a byte stream, what a request asks,
// and the bytes of its answer. Pure functions, so that they can be fuzzed
// on their own; a request is decoded here once and nowhere else.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kdxd::modbus {

// Exception codes the daemon answers with.
enum class Exception : uint8_t {
    None = 0,
    IllegalFunction = 0x01,
    IllegalAddress = 0x02,
    IllegalValue = 0x03,
    DeviceFailure = 0x04,
    DeviceBusy = 0x06,
    PathUnavailable = 0x0A,
    TargetFailed = 0x0B,
};

inline constexpr uint8_t kReadCoils = 1, kReadDiscreteInputs = 2, kReadHolding = 3, kReadInput = 4,
                         kWriteCoil = 5, kWriteRegister = 6, kWriteCoils = 15, kWriteRegisters = 16;
inline constexpr std::size_t kHeader = 7;        // MBAP: transaction, protocol, length, unit
inline constexpr std::size_t kMaxFrame = 7 + 253; // the longest PDU
inline constexpr std::size_t kMaxBits = 2000, kMaxRegisters = 125, kMaxWrittenBits = 1968;

bool is_write(uint8_t function);

// Where the first frame of a stream ends: 0 while it is incomplete, -1
// when the header cannot be Modbus TCP (the stream cannot be trusted on).
long frame_length(std::span<const uint8_t> stream);

struct Request {
    uint16_t transaction = 0;
    uint8_t unit = 0;
    uint8_t function = 0;
    uint16_t address = 0;
    uint16_t count = 0;     // 1 for the single writes
    uint16_t raw_value = 0; // as sent, for the echo of function 5 and 6
    std::array<uint16_t, kMaxWrittenBits> values{}; // bits as 0/1, or registers
};

// Decodes one whole frame. The transaction, unit and function are always
// filled in, so that a refusal can be answered.
Exception decode(std::span<const uint8_t> frame, Request &request);

// The values a read answers with: bits or registers, count of them.
struct Reply {
    Exception exception = Exception::None;
    bool transfer_failed = false; // a 04 from a failed transfer (not a refusal): the worker reopens
    std::array<uint8_t, kMaxBits> bits{};
    std::array<uint16_t, kMaxRegisters> registers{};
};

// Writes the answer frame into out (at least kMaxFrame bytes); returns
// its length. The function byte of an exception has its high bit set:
// a function code that had it already is answered with it unchanged.
std::size_t encode(const Request &request, const Reply &reply, std::span<uint8_t> out);

} // namespace kdxd::modbus
