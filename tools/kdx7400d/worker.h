// SPDX-License-Identifier: MIT
// Module workers: each module the daemon serves has a thread and a queue
// of its own, so that a hung, slow or absent module delays only the
// requests for it. Front ends hand workers jobs and never call the library
// themselves.
#pragma once

#include "kdx7400.hpp"
#include "log.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kdxd {

// Which module a unit means: by product ID and board ID (found again on
// any node after a re-plug), or by node.
struct Target {
    std::optional<uint16_t> product_id;
    std::optional<uint8_t> board_id;
    std::string node;
    std::string describe() const;
};

// --module UNIT=PID:BID or UNIT=/dev/sgN; throws std::invalid_argument.
struct UnitTarget {
    uint8_t unit = 0;
    Target target;
};
UnitTarget parse_unit_target(const std::string &text);

// One request for a module. The submitter owns it and must keep it alive
// until finished() has been called; a worker holds at most one reference.
class Job {
public:
    // On the worker's thread. module is null while the module is absent.
    // Returns false when a transfer failed, so that the worker reopens.
    virtual bool run(kdx::Module *module) = 0;
    // On the worker's thread, after run: hand the result back. Must not block.
    virtual void finished() = 0;

protected:
    ~Job() = default;

private:
    friend class Worker;
    Job *next_ = nullptr;
};

class Worker {
public:
    // Requests that may wait for one module; more are refused (busy).
    static constexpr std::size_t kQueueLimit = 256;

    Worker(uint8_t unit, Target target, Log &log);
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;
    ~Worker();

    // Queues a job; false (and nothing queued) when the queue is full or
    // the worker is stopping.
    bool submit(Job &job);
    void stop();

    uint8_t unit() const { return unit_; }
    const Target &target() const { return target_; }
    bool present() const { return present_.load(std::memory_order_relaxed); }
    // The node the module is open on, or "" while it is absent.
    std::string node() const;

private:
    void run();
    // Opens the module if it is not open; logs when it comes and goes.
    void reach();
    void lost(const char *why);
    void set_present(bool present, const std::string &node);

    const uint8_t unit_;
    const Target target_;
    Log &log_;
    std::atomic<bool> present_{false};
    bool ever_reported_ = false;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    Job *head_ = nullptr, *tail_ = nullptr;
    std::size_t queued_ = 0;
    bool stopping_ = false;
    std::string node_;

    kdx::Module module_; // the worker's thread only
    std::thread thread_;
};

// Unit IDs 1-247 to workers. Workers are added while front ends run
// (modules found later) and live until the daemon stops; looking one up
// takes no lock.
class Units {
public:
    explicit Units(Log &log) : log_(log) {}
    ~Units() { stop(); }
    // Throws std::invalid_argument for a unit given twice.
    Worker &add(uint8_t unit, Target target);
    Worker *find(uint8_t unit) const {
        return unit < slots_.size() ? slots_[unit].load(std::memory_order_acquire) : nullptr;
    }
    // The lowest unit ID nobody has, or 0 when all 247 are taken.
    uint8_t free_unit() const;
    std::vector<Worker *> all() const;
    void stop();

private:
    Log &log_;
    std::array<std::atomic<Worker *>, 248> slots_{};
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Worker>> owned_;
};

// Every module present that no unit serves yet gets the lowest free unit:
// by its IDs when no other unit has them, else by its node.
void adopt_new_modules(Units &units, Log &log);

} // namespace kdxd
