// The testbed directory: module state files, the shared clock, the command
// log and the fault queue. The interposer, the test API and kdx7400-sim all
// work through it, so that any number of processes see the same modules.
#pragma once

#include "../model/module_state.h"
#include "../sg/fault.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kdxsim {

// Environment variable naming the testbed directory.
inline constexpr const char *kTestbedEnv = "KDX7400_SIM_TESTBED";
// Set: the interposer logs each idProduct file the library opens.
inline constexpr const char *kLogWalkEnv = "KDX7400_SIM_LOG_WALK";

class Store {
public:
    explicit Store(std::string root) : root_(std::move(root)) {}

    const std::string &root() const { return root_; }
    std::string dev_path(const std::string &node) const { return root_ + "/dev/" + node; }
    std::string state_path(const std::string &node) const {
        return root_ + "/modules/" + node + ".state";
    }

    // Holds the testbed's lock (flock) for as long as it lives.
    class Lock {
    public:
        explicit Lock(const std::string &path);
        Lock(const Lock &) = delete;
        Lock &operator=(const Lock &) = delete;
        ~Lock();

    private:
        int fd_;
    };
    Lock lock() const { return Lock(root_ + "/lock"); }

    bool load(const std::string &node, ModuleState &state) const;
    void save(const std::string &node, const ModuleState &state) const;
    std::vector<std::string> modules() const;

    // Milliseconds on the testbed's clock: virtual (moved by advance) or
    // the machine's monotonic clock.
    uint64_t now_ms() const;
    void use_virtual_clock(uint64_t start_ms) const;
    void use_real_clock() const;
    void advance(uint64_t ms) const;

    void append_log(const std::string &line) const;
    std::vector<std::string> log_lines() const;
    void clear_log() const;

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
