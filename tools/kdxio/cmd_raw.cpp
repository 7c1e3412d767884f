// SPDX-License-Identifier: MIT
#include "kdxio.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <array>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace kdxio {

namespace {

// The node of exactly the module the library opened, for raw commands.
class RawNode {
public:
    explicit RawNode(const kdx::Module &module) : path_(module.node()) {
        fd_ = ::open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            throw Failure("open " + path_ + ": " + std::strerror(errno));
        }
    }
    RawNode(const RawNode &) = delete;
    RawNode &operator=(const RawNode &) = delete;
    ~RawNode() { ::close(fd_); }
    int fd() const { return fd_; }

private:
    std::string path_;
    int fd_ = -1;
};

void failed(const char *operation) {
    throw kdx::Error(kdx::errc::read_failed, operation);
}

void raw_read(const Options &options) {
    need_values(options, 2, 2, "raw read LBA LEN");
    const auto lba = static_cast<uint32_t>(parse_number(options.values[0], UINT32_MAX, "LBA"));
    const auto length = static_cast<uint32_t>(parse_number(options.values[1], 512, "length"));
    if (length == 0) {
        throw UsageError("length must be 1 to 512");
    }
    const kdx::Module module = open_module(options);
    const RawNode node(module);
    std::vector<uint8_t> buffer(length, 0);
    if (readLBA(node.fd(), lba, buffer.data(), length) != static_cast<int32_t>(length)) {
        failed("raw read");
    }
    if (options.json) {
        emit(options, {{"lba", lba}, {"bytes", buffer}}, "");
        return;
    }
    std::fflush(stdout);
    dumpPackage(buffer.data(), static_cast<int32_t>(length));
    std::fflush(stdout);
}

void inquiry(const Options &options) {
    const kdx::Module module = open_module(options);
    const RawNode node(module);
    std::array<uint8_t, 96> data{};
    if (getInquiry(node.fd(), data.data(), data.size()) != static_cast<int32_t>(data.size())) {
        failed("inquiry");
    }
    if (options.json) {
        const auto field = [&](std::size_t at, std::size_t size) {
            std::string text(reinterpret_cast<const char *>(&data[at]), size);
            return text.substr(0, text.find('\0'));
        };
        emit(options, {{"vendor", field(8, 8)}, {"product", field(16, 16)}, {"revision", field(32, 4)}}, "");
        return;
    }
    std::fflush(stdout);
    showInquiry(data.data());
    std::fflush(stdout);
}

void capacity(const Options &options) {
    const kdx::Module module = open_module(options);
    const RawNode node(module);
    std::array<uint8_t, 8> data{};
    if (readCapacity(node.fd(), data.data(), data.size()) != 8) {
        failed("read capacity");
    }
    if (options.json) {
        const uint64_t blocks = uint64_t{getU32ValBE(data.data())} + 1;
        const uint32_t size = getU32ValBE(&data[4]);
        emit(options, {{"blocks", blocks}, {"block_length", size}, {"bytes", blocks * size}}, "");
        return;
    }
    std::fflush(stdout);
    showCapacity(data.data());
    std::fflush(stdout);
}

} // namespace

void add_raw(CLI::App &app, Options &options, Run &run) {
    auto *raw = app.add_subcommand("raw", "raw register access");
    raw->require_subcommand(1);
    auto *read = raw->add_subcommand("read", "read LBA LEN: dump a register block");
    read->add_option("values", options.values, "LBA and length");
    read->callback([&] { run = [&] { raw_read(options); }; });
    app.add_subcommand("inquiry", "print the module's INQUIRY identification")
        ->callback([&] { run = [&] { inquiry(options); }; });
    app.add_subcommand("capacity", "print the module's disk capacity")
        ->callback([&] { run = [&] { capacity(options); }; });
}

} // namespace kdxio
