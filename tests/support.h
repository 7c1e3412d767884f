// SPDX-License-Identifier: MIT
// Shared fixture: a fresh testbed per test, helpers to open virtual
// modules through the public header and to look at what crossed the
// kernel boundary.
#pragma once

#include "kdx7400.h"
#include "child.h"
#include "testbed.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace kdxtest {

using kdxsim::Command;
using kdxsim::Fault;
using kdxsim::FaultKind;
using kdxsim::VirtualModule;
using kdxsim::Testbed;
using Bytes = std::vector<uint8_t>;

// Runs fn and returns what it printed on standard output.
inline std::string capture_stdout(const std::function<void()> &fn) {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

inline Fault fault(FaultKind kind) {
    Fault f;
    f.kind = kind;
    return f;
}

inline Fault ioctl_error(int error) {
    Fault f = fault(FaultKind::IoctlError);
    f.error = error;
    return f;
}

// A reply whose bytes from offset on are replaced.
inline Fault reply_bytes(uint16_t offset, const Bytes &bytes) {
    Fault f = fault(FaultKind::ChosenBytes);
    f.offset = offset;
    f.length = static_cast<uint16_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), f.bytes);
    return f;
}

inline Fault for_lba(Fault f, uint32_t lba) {
    f.lba = lba;
    return f;
}

inline Fault for_opcode(Fault f, int opcode) {
    f.opcode = opcode;
    return f;
}

inline constexpr int kRead10 = 0x28;
inline constexpr int kWrite10 = 0x2A;

inline Bytes magic() { return {0xA5, 0x77, 0x35, 0x5A}; }

// A register block as the library builds it: magic, zeros, the fields.
inline Bytes block(std::size_t size,
                   std::initializer_list<std::pair<std::size_t, Bytes>> fields = {}) {
    Bytes bytes(size, 0);
    const Bytes header = magic();
    std::copy(header.begin(), header.end(), bytes.begin());
    for (const auto &[offset, field] : fields) {
        std::copy(field.begin(), field.end(), bytes.begin() + static_cast<long>(offset));
    }
    return bytes;
}

inline VirtualModule module_with(uint8_t di, uint8_t do_) {
    VirtualModule wanted;
    wanted.di = di;
    wanted.do_ = do_;
    return wanted;
}

// Runs check against a freshly opened module in a testbed of its own.
inline void with_module(
    const VirtualModule &wanted,
    const std::function<void(const Testbed &, const std::string &, int32_t)> &check) {
    Testbed fresh;
    const std::string node = fresh.add_module(wanted);
    const int32_t index = KDX7400_OpenDevice(wanted.product_id, wanted.board_id);
    ASSERT_GE(index, 0);
    fresh.clear_commands();
    check(fresh, node, index);
    KDX7400_CloseDevice(index);
}

class ModuleTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (int32_t i = 0; i < MAX_DEVICES; ++i) {
            KDX7400_CloseDevice(i);
        }
    }

    // Adds a module, opens it and forgets the commands of the open.
    int32_t open_module(const VirtualModule &wanted = {}) {
        node = bed.add_module(wanted);
        index = KDX7400_OpenDevice(wanted.product_id, wanted.board_id);
        EXPECT_GE(index, 0) << "open failed";
        bed.clear_commands();
        return index;
    }

    int32_t open_module(uint8_t di, uint8_t do_) { return open_module(module_with(di, do_)); }

    std::vector<Command> transfers() const { return bed.transfers(); }

    // The one transfer since the last clear, or an empty command.
    Command only_transfer() const {
        const auto all = transfers();
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? Command{} : all.front();
    }

    // The bytes written by the one transfer since the last clear.
    Bytes written() const { return only_transfer().data; }

    kdxsim::ModuleState state() const { return bed.state(node); }

    Testbed bed;
    std::string node;
    int32_t index = -1;
};

} // namespace kdxtest
