// SPDX-License-Identifier: MIT
// The Modbus map of one module: which address means what, and how a
// request becomes calls on the module. Independent of sockets, so that it
// can be tested and fuzzed on its own.
#pragma once

#include "kdx7400.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace modbusd {

// Modbus exception codes the gateway answers with.
enum class Exception : uint8_t {
    None = 0,
    IllegalFunction = 0x01,
    IllegalAddress = 0x02,
    IllegalValue = 0x03,
    DeviceFailure = 0x04,
    PathUnavailable = 0x0A,
    TargetFailed = 0x0B,
};

// How a module is named in --module UNIT=PID:BID or UNIT=/dev/sgN.
struct UnitTarget {
    uint8_t unit = 0;
    std::optional<uint16_t> product_id;
    std::optional<uint8_t> board_id;
    std::string node;
    std::string describe() const;
};
// Parses "3=7401:5", "3=0x7401:A" or "3=/dev/sg2"; throws std::invalid_argument.
UnitTarget parse_unit_target(const std::string &text);

// One configured unit: the module is opened on first use and again after
// it went away (hot-plug), never kept open across a failed transfer.
class Unit {
public:
    explicit Unit(UnitTarget target) : target_(std::move(target)) {}
    const UnitTarget &target() const { return target_; }
    // The open module, or nullptr when it is absent.
    kdx::Module *module();
    // After a failed transfer: drop the module so the next request reopens.
    void lost() { module_ = kdx::Module(); }

private:
    UnitTarget target_;
    kdx::Module module_;
};

// The answer to one request: either the response PDU's data (the values
// read), or an exception.
struct Reply {
    Exception exception = Exception::None;
    std::vector<uint8_t> bits;       // FC 1, 2
    std::vector<uint16_t> registers; // FC 3, 4
};

inline constexpr uint8_t kReadCoils = 1, kReadDiscreteInputs = 2, kReadHolding = 3,
                         kReadInput = 4, kWriteCoil = 5, kWriteRegister = 6, kWriteCoils = 15,
                         kWriteRegisters = 16;

bool is_write(uint8_t function);

// Carries out one request on a module. values are the bits (0/1) or
// registers a write function carries.
Reply serve(kdx::Module &module, uint8_t function, uint16_t address, uint16_t count,
            std::span<const uint16_t> values);

} // namespace modbusd
