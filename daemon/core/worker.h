// SPDX-License-Identifier: MIT
// Module workers: each module the daemon serves has a thread and a queue
// of its own, so that a hung, slow or absent module delays only the
// requests for it. Front ends hand workers jobs and never call the library
// themselves.
#pragma once

#include <sched.h>

#include "common/module_json.h"
#include "core/audit.h"
#include "core/events.h"
#include "core/labels.h"
#include "core/metrics.h"
#include "kdx7400.hpp"
#include "core/log.h"
#include "core/service.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kdxd {

// Which module a unit means: by product ID and board ID (found again on
// any node after a re-plug), or by node; or, with --all, by IDs on the node
// the scanner assigns (follow), so that identical modules keep apart.
struct Target {
    std::optional<uint16_t> product_id;
    std::optional<uint8_t> board_id;
    std::string node;
    bool follow = false;
    std::string describe() const;
};

// --module UNIT=PID:BID or UNIT=/dev/sgN; throws std::invalid_argument.
struct UnitTarget {
    uint8_t unit = 0;
    Target target;
};
UnitTarget parse_unit_target(const std::string &text);


// What a module says about itself, read once each time it is opened.
using Identity = kdxjson::Identity;

class Worker;

// A front end's hold on a job whose answer it may stop waiting for: one
// withdrawn before the worker starts it is dropped and never reaches the
// module, so that a client told it failed is not overruled later.
class Claim {
public:
    // The worker, as it starts the job: false when it was withdrawn.
    bool start() { return settle(kStarted) || stage_.load() == kStarted; }
    // The front end, giving up: true when the job had not started, and
    // now never will; false when it runs or ran (its outcome unknown).
    bool withdraw() { return settle(kWithdrawn); }

private:
    static constexpr uint8_t kQueued = 0, kStarted = 1, kWithdrawn = 2;
    bool settle(uint8_t to) {
        uint8_t queued = kQueued;
        return stage_.compare_exchange_strong(queued, to);
    }
    std::atomic<uint8_t> stage_{kQueued};
};

// One turn of a spin-wait: the core goes to any other thread ready on it,
// which on a small machine may be the very one waited for, or the client.
inline void spin_turn() { sched_yield(); }

// One request for a module. The submitter owns it and must keep it alive
// until finished() has been called; a worker holds at most one reference.
class Job {
public:
    // Before run: false for a job its front end withdrew, which the worker
    // then finishes without running.
    virtual bool start() { return true; }
    // On the worker's thread. module is null while the module is absent.
    // Returns false when a transfer failed, so that the worker reopens.
    virtual bool run(kdx::Module *module, Worker &worker) = 0;
    // After run, on the same thread: hand the result back. Must not block.
    // Usually the worker's thread; for a worker whose module hangs, the
    // thread that answers its queue in its stead (run with no module).
    virtual void finished() = 0;
    // Whether it is a client's write: the client controls the module, and
    // may keep an armed watchdog fed (the daemon's own sampling may not).
    virtual bool is_write() const { return false; }
    // Who asked, for the events and the audit trail its writes cause; null
    // for the daemon's own reads.
    virtual std::shared_ptr<const Client> client() const { return nullptr; }
    // Whether its asker tends to ask this unit again at once (a keep-alive
    // client, a Modbus master): the worker then stays awake for a moment.
    virtual bool asked_again_soon() const { return true; }

protected:
    ~Job() = default;

private:
    friend class Worker;
    Job *next_ = nullptr;
};

class Worker final : public service::Observer {
public:
    // Requests that may wait for one module; more are refused (busy).
    static constexpr std::size_t kQueueLimit = 256;

    // watch_interval: how often the inputs are sampled while a sink is
    // subscribed (0: never).
    // audit: where its writes are recorded (none: not recorded).
    Worker(uint8_t unit, Target target, std::chrono::milliseconds watch_interval, EventHub &hub, Log &log,
           AuditTrail *audit = nullptr);
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;
    ~Worker();

    // Queues a job; false (and nothing queued) when the queue is full or
    // the worker is stopping.
    bool submit(Job &job);
    void stop();
    // Asks the worker to stop; it finishes what it is doing first.
    void request_stop();
    // Waits for it until the deadline: false when its thread is still in a
    // command (a module that hangs) and was abandoned. Its queue is
    // answered either way; an abandoned worker must outlive the daemon.
    bool stopped_by(std::chrono::steady_clock::time_point deadline);

    // Someone subscribed to its events (EventHub): the worker starts
    // watching its module's inputs, if it was not.
    void wake();

    uint8_t unit() const { return unit_; }
    // Its figures for /metrics; any thread.
    UnitMetrics &metrics() const { return metrics_; }
    // Its channels' names; any thread.
    Labels labels() const {
        std::lock_guard guard(mutex_);
        return labels_;
    }
    void set_labels(Labels labels) {
        std::lock_guard guard(mutex_);
        labels_ = std::move(labels);
    }
    const Target &target() const { return target_; }
    bool present() const { return present_.load(std::memory_order_relaxed); }
    // The node the module is open on, or "" while it is absent.
    std::string node() const;
    // A following worker's node: where the scanner last found its module.
    // Its module is then (re)opened there, and must show the target's IDs.
    void assign(const std::string &node);
    std::string assigned_node() const;
    // What the module said when it was last opened; none while absent.
    std::optional<Identity> identity() const;

    // How long the worker goes on recording events after its last reader
    // left, so that one that reconnects (an EventSource does within
    // seconds) resumes without a loss.
    static constexpr auto kLinger = std::chrono::seconds(60);
    // How often the counters' history takes a sample.
    static constexpr auto kRecordInterval = std::chrono::seconds(2);

    // The outputs as a write left them (written) or a sample found them: an
    // event when they changed.
    void outputs_are(uint64_t outputs, bool written) override;
    void renamed(const std::string &nickname) override;
    // The watchdog time-out a job just set (0: off).
    void watchdog_is(uint32_t ms) override;
    // Re-bases the inputs' watch on the cleared counters, with a reset
    // event each, so that the next sample counts from zero.
    void counters_cleared(uint64_t mask) override;
    void settings_written(const service::Settings &written) override;
    void watchdog_cleared() override;
    // A change that is no module's write (the names): recorded as the
    // others are.
    void audit(std::string_view what, std::string_view before, std::string_view after, const Client *client) const;
    // Settings read on the worker's thread (a state for a client): the
    // baseline for the next, or a change by another program.
    void settings_read(const service::ModuleSettings &settings);
    // Whether the worker samples its module's inputs now, and if not why:
    // "watching", "paused: ..." or "stopped: ..."; any thread.
    std::string watch_state() const;
    struct WatchNow {
        Watch state = Watch::stopped;
        const char *why = "";
    };
    WatchNow watch_now() const;
    // Its module is open and answered its last command; any thread. A
    // module that hangs is there (present to a client) but not responding.
    bool responding() const { return present_.load(std::memory_order_relaxed) && !hangs(); }
    bool hangs() const { return hung_.load(std::memory_order_relaxed); }
    // Awake after a job and free: a job submitted now starts at once.
    bool awake() const { return awake_.load(std::memory_order_relaxed); }

    // What the daemon last read of its module, and when: a value shown
    // between two reads says how old it is.
    enum class Value : uint8_t { inputs, outputs, counters, settings };
    static constexpr std::size_t kValues = 4;
    // When it was last read (or written) successfully, if ever; any thread.
    std::optional<std::chrono::steady_clock::time_point> read_at(Value value) const;
    // How old a value may be and still count as current: two of the
    // intervals at which the watch reads it.
    std::chrono::milliseconds stale_after(Value value) const;
    // Whether a value read then is current now: the module answers, the
    // read is young, and, unless the watch goes on, it came after the
    // watch stopped keeping it current (a client's own read).
    bool current(Value value, std::chrono::steady_clock::time_point now) const;
    // On the worker's thread: the values as last read.
    struct Known {
        std::optional<uint64_t> inputs, outputs;
        std::optional<std::vector<uint32_t>> counters;
        std::optional<service::ModuleSettings> settings;
        uint32_t watchdog_ms = 0;
    };
    Known known() const;
    // A client's full read of the module (on the worker's thread).
    void snapshot_read(const service::Snapshot &snapshot);
    // A read of the values that change by themselves or by other programs
    // (on the worker's thread): what a scrape needs, settings aside.
    void values_read(uint64_t inputs, uint64_t outputs, const std::vector<uint32_t> &counters);
    // On the worker's thread: the watch samples those values now and its
    // last sample is current, so a reader need not command the module.
    bool watch_keeps_values_current() const;
    // On the worker's thread: whether the daemon may send its module a
    // command on its own account (a monitor's read) now. With a watchdog
    // armed only within a quarter of its time-out after a client's write,
    // so that it expires at most 1.25 times its time-out after the last.
    bool may_command_on_own_account() const;
    // Its module has kept it busy past a command's time-out, or a command
    // failed after that long and the module has not answered since: it
    // hangs, and requests are answered at once rather than queued behind it.
    static constexpr auto kStalledAfter = std::chrono::seconds(5);
    bool stalled() const;
    // While stalled: answers every queued job as if the module were absent,
    // on the calling thread (the worker's own is in the module's command).
    void answer_queue_if_stalled();

private:
    void run();
    // Opens the module if it is not open; logs when it comes and goes.
    void reach();
    void lost(const char *why);
    // A command failed after hanging: the module is closed, and opened
    // again only as a back-off allows, not once per request.
    void hung(const char *why);
    // Answers every queued job as if the module were absent, on this thread.
    void answer_queue_unreached();
    void set_present(bool present, const std::string &node);
    // Whether events are recorded now: a reader listens, or left less than
    // kLinger ago.
    bool has_sinks() const;
    bool watching() const;
    // The watch as of now: an event (and, for a pause, a log line) when it
    // or the watchdog's time-out changed.
    void update_watch();
    void stamp(Value value);
    void record_counters();

public:
    // On the worker's thread: how long ago a client last wrote, if ever.
    std::optional<std::chrono::milliseconds> since_last_write() const {
        if (last_write_ == std::chrono::steady_clock::time_point{}) return std::nullopt;
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - last_write_);
    }

private:
    void sample();
    void deliver(const ModuleEvent &event);
    // An event of this unit, stamped now.
    ModuleEvent event(ModuleEvent::Kind kind) const;

    const uint8_t unit_;
    const Target target_;
    const std::chrono::milliseconds watch_interval_;
    EventHub &hub_;
    Log &log_;
    std::atomic<bool> present_{false};
    bool ever_reported_ = false;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    Job *head_ = nullptr, *tail_ = nullptr;
    std::size_t queued_ = 0;
    std::atomic<bool> job_waiting_{false}; // head_ != nullptr, for a look without the lock
    std::atomic<bool> awake_{false};
    bool stopping_ = false;
    bool woken_ = false;
    bool reassigned_ = false;
    std::string node_, assigned_;
    std::optional<Identity> identity_;
    Labels labels_;

    // The worker's thread only:
    kdx::Module module_;
    kdx7400_input_state input_state_{};
    bool sampled_ = false;
    std::optional<uint64_t> outputs_; // as last read or written
    std::chrono::steady_clock::time_point linger_until_{};
    // The watchdog as last read (every second while sampling) or set, and
    // when a client last wrote: an armed watchdog is fed only on a
    // client's behalf.
    uint32_t watchdog_ms_ = 0;
    std::chrono::steady_clock::time_point watchdog_read_at_{}, last_write_{};
    // The settings last known (on the worker's thread): another program's
    // change shows within a second and a watch interval.
    static constexpr auto kSettingsInterval = std::chrono::seconds(1);
    std::optional<service::ModuleSettings> settings_;
    std::chrono::steady_clock::time_point settings_read_at_{};
    // Who wrote settings, told with them when they are next read.
    std::optional<std::shared_ptr<const Client>> settings_written_by_;
    void settings_seen(const service::ModuleSettings &settings, const std::shared_ptr<const Client> &by);
    // Why it does not watch (kNone: it watches), for other threads.
    enum class WatchWhy : uint8_t { none, watchdog, nobody, absent, not_responding, off };
    static const char *why_text(WatchWhy why);
    std::atomic<WatchWhy> watch_why_{WatchWhy::absent};
    uint32_t watch_told_watchdog_ms_ = 0; // what the last watch event said
    bool watch_told_ = false;
    std::chrono::steady_clock::time_point pause_logged_at_{};
    bool pause_logged_ = false;
    std::array<std::atomic<int64_t>, kValues> read_at_{}; // steady ns; 0: never
    std::atomic<int64_t> watch_ended_{0}; // steady ns: when it last stopped watching
    std::optional<uint64_t> known_inputs_;
    std::optional<std::vector<uint32_t>> known_counters_;
    bool silent_ = false; // a responding event said it stopped answering
    mutable UnitMetrics metrics_;
    std::shared_ptr<const Client> current_client_; // of the job running now
    uint32_t watchdog_before_job_ = 0;             // the watchdog as the job found it
    Origin current_origin() const { return current_client_ ? current_client_->front : Origin::none; }
    AuditTrail *const audit_;
    std::chrono::steady_clock::time_point next_record_{};
    std::atomic<int64_t> busy_since_{0}; // steady clock ns, 0: not at its module
    std::chrono::steady_clock::time_point began_{}; // what it does now
    std::atomic<bool> hung_{false};
    // Absent because it left the bus (not hung, not held by another
    // program): its counters start from 0 when it comes back.
    bool unplugged_ = false;
    bool listed() const;
    std::chrono::steady_clock::duration reach_back_off_{};
    std::chrono::steady_clock::time_point next_reach_{};
    bool exited_ = false; // under mutex_
    std::condition_variable exited_cv_;
    std::chrono::steady_clock::time_point next_sample_{};
    std::thread thread_;
};

// Unit IDs 1-247 to workers. Workers are added while front ends run
// (modules found later) and live until the daemon stops; looking one up
// takes no lock.
class Units {
public:
    Units(std::chrono::milliseconds watch_interval, Log &log)
        : watch_interval_(watch_interval), log_(log), stall_watch_([this] { watch_stalls(); }) {}
    EventHub &events() { return hub_; }
    // Where the units' labels are kept; before any unit is added.
    void keep_labels(const LabelStore &store) { labels_ = &store; }
    const LabelStore *label_store() const { return labels_; }
    // Where the units' writes are recorded; before any unit is added.
    void keep_audit(AuditTrail &audit) { audit_ = &audit; }
    ~Units() { stop(); }
    // Throws std::invalid_argument for a unit given twice.
    Worker &add(uint8_t unit, Target target);
    Worker *find(uint8_t unit) const {
        return unit < slots_.size() ? slots_[unit].load(std::memory_order_acquire) : nullptr;
    }
    // The lowest unit ID nobody has and reserved() refuses, or 0 when none.
    uint8_t free_unit(const std::function<bool(uint8_t)> &reserved) const;
    std::vector<Worker *> all() const;
    // Subscribes the sink to the events of one unit (or EventHub::kAllUnits)
    // and wakes the workers concerned; the replay is what it missed after
    // `after`.
    EventHub::Replay subscribe(EventSink &sink, uint8_t unit, uint64_t after);
    // Stops every worker; one still in a command at the deadline is
    // abandoned (its module hangs). Returns their units: while any is left,
    // the process must end without running destructors.
    std::vector<uint8_t> stop(std::chrono::steady_clock::time_point deadline);
    void stop() { stop(std::chrono::steady_clock::time_point::max()); }

private:
    // Answers the queues of workers whose modules hang.
    void watch_stalls();

    const std::chrono::milliseconds watch_interval_;
    Log &log_;
    EventHub hub_;
    const LabelStore *labels_ = nullptr;
    AuditTrail *audit_ = nullptr;
    std::array<std::atomic<Worker *>, 248> slots_{};
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Worker>> owned_;
    std::condition_variable stall_watch_wake_;
    bool stopping_ = false;
    std::thread stall_watch_;
};

class UnitBook;

// Every module present that no unit serves yet gets its unit: the one its
// IDs had before (the book), the lowest free one otherwise, in node order.
// A module back on another node returns to its own unit, also when that
// unit had not yet noticed it was gone.
void assign_modules(Units &units, UnitBook &book, Log &log);

} // namespace kdxd
