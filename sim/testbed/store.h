// SPDX-License-Identifier: MIT
// The testbed directory: module state files, the shared clock, the command
// log and the fault queue. The interposer, the test API and kdx7400-sim all
// work through it, so that any number of processes see the same modules.
#pragma once

#include "../model/module_state.h"
#include "../sg/fault.h"

#include <cstdint>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kdxsim {

// Environment variable naming the testbed directory.
inline constexpr const char *kTestbedEnv = "KDX7400_SIM_TESTBED";
// Set: the interposer logs each idProduct file the library opens.
inline constexpr const char *kLogWalkEnv = "KDX7400_SIM_LOG_WALK";

struct Shared;

// Every process keeps, per testbed, the lock, the log, the clock and the
// module states open and mapped between commands, so that a command costs
// a lock, its log line and no file rewrite. All writes happen in place
// under the lock, so every process's mappings see them.
class Store {
public:
    explicit Store(std::string root) : root_(std::move(root)) {}

    const std::string &root() const { return root_; }
    std::string dev_path(const std::string &node) const { return root_ + "/dev/" + node; }
    std::string state_path(const std::string &node) const {
        return root_ + "/modules/" + node + ".state";
    }

    // Holds the testbed's lock (the threads of this process, then flock
    // between processes) for as long as it lives; nested locks of one
    // thread are free.
    class Lock {
    public:
        explicit Lock(std::shared_ptr<Shared> shared);
        Lock(const Lock &) = delete;
        Lock &operator=(const Lock &) = delete;
        ~Lock();
        // Lets other threads and processes use the testbed while this one
        // waits, as a command to a slow module leaves the others alone.
        void wait(std::chrono::milliseconds time);

    private:
        std::shared_ptr<Shared> shared_;
    };
    Lock lock() const;

    bool load(const std::string &node, ModuleState &state) const;
    void save(const std::string &node, const ModuleState &state) const;
    std::vector<std::string> modules() const;

    // Milliseconds on the testbed's clock: virtual (moved by advance) or
    // the machine's monotonic clock.
    uint64_t now_ms() const;
    void use_virtual_clock(uint64_t start_ms) const;
    void use_real_clock() const;
    void advance(uint64_t ms) const;

    // The log keeps the last N entries (10000 unless set).
    void append_log(const std::string &line) const;
    std::vector<std::string> log_lines() const;
    void clear_log() const;
    void set_log_limit(uint64_t entries) const;
    uint64_t log_limit() const;

    void add_fault(const Fault &fault) const;
    // Takes one use of the first fault that matches the command.
    std::optional<Fault> take_fault(const std::string &node, int opcode, int64_t lba) const;

private:
    std::string root_;
};

// Writes a whole file (created or replaced); false on failure.
bool write_file(const std::string &path, const void *data, std::size_t size);
// Lower-case hex digits of the bytes, for the command log.
std::string to_hex(const uint8_t *bytes, std::size_t length);

// Reads a whole file; nullopt when it cannot be opened.
std::optional<std::string> read_file(const std::string &path);

} // namespace kdxsim
