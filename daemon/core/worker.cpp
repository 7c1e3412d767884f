// SPDX-License-Identifier: MIT
#include "core/worker.h"

#include "core/unit_book.h"

#include "common/numbers.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <utility>

namespace kdxd {

namespace {

// How often a worker whose module is absent looks for it, so that its
// return is logged (and watched) without waiting for a request.
constexpr auto kRetryInterval = std::chrono::seconds(1);
// How long a worker stays awake for the next job once it has served one.
constexpr auto kAwakeAfterJob = std::chrono::microseconds(250);

// Workers awake after a job, at most half the cores: on a small machine
// eight of them spinning after a scrape would keep the others' jobs
// waiting for a core.
std::atomic<unsigned> g_awake{0};
const unsigned kMostAwake = std::max(1u, std::thread::hardware_concurrency() / 2);

bool may_stay_awake() {
    unsigned awake = g_awake.load(std::memory_order_relaxed);
    while (awake < kMostAwake) {
        if (g_awake.compare_exchange_weak(awake, awake + 1, std::memory_order_relaxed)) return true;
    }
    return false;
}

std::invalid_argument bad_target(const std::string &text, const std::string &why = "") {
    return std::invalid_argument("bad module '" + text + "': " +
                                 (why.empty() ? "expected UNIT=PID:BID or UNIT=/dev/sgN" : why));
}

std::optional<Identity> read_identity(const kdx::Module &module, const Target &target) {
    std::error_code code;
    Identity identity;
    identity.node = module.node(code);
    identity.counts = module.counts();
    kdx7400_module_info about{};
    if (!code) about = module.info(code); // firmware and date: one read
    identity.firmware_version = about.firmware_version;
    identity.firmware_date = about.firmware_date;
    if (!code) identity.nickname = module.nickname(code);
    if (code) {
        return std::nullopt;
    }
    identity.product_id = target.product_id;
    identity.board_id = target.board_id;
    kdxjson::complete_from_listing(identity); // what sysfs and INQUIRY say of the node
    return identity;
}

} // namespace

std::string Target::describe() const {
    if (!node.empty()) {
        return node;
    }
    char text[32];
    std::snprintf(text, sizeof text, "0x%04x:%u", unsigned{*product_id}, unsigned{*board_id});
    return text;
}

UnitTarget parse_unit_target(const std::string &text) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) {
        throw bad_target(text);
    }
    UnitTarget parsed;
    const std::string what = text.substr(equals + 1);
    const bool by_node = what.rfind("/dev/sg", 0) == 0 || what.rfind("sg", 0) == 0;
    const std::size_t colon = what.find(':');
    if (!by_node && colon == std::string::npos) {
        throw bad_target(text);
    }
    try {
        // The tools' one vocabulary: the IDs as kdxio and the listing take them.
        parsed.unit = static_cast<uint8_t>(kdxtext::parse_number(text.substr(0, equals), 247, "unit ID"));
        if (by_node) {
            parsed.target.node = what;
        } else {
            parsed.target.product_id = kdxtext::parse_product_id(what.substr(0, colon));
            parsed.target.board_id = kdxtext::parse_board_id(what.substr(colon + 1));
        }
    } catch (const std::invalid_argument &error) {
        throw bad_target(text, error.what());
    }
    if (parsed.unit == 0) {
        throw bad_target(text, "unit IDs are 1 to 247");
    }
    return parsed;
}

Worker::Worker(uint8_t unit, Target target, std::chrono::milliseconds watch_interval, EventHub &hub, Log &log,
               AuditTrail *audit)
    : unit_(unit), target_(std::move(target)), watch_interval_(watch_interval), hub_(hub), log_(log), audit_(audit),
      thread_([this] { run(); }) {}

Worker::~Worker() { stop(); }

bool Worker::submit(Job &job) {
    {
        std::lock_guard guard(mutex_);
        if (stopping_ || queued_ >= kQueueLimit) {
            return false;
        }
        job.next_ = nullptr;
        (tail_ != nullptr ? tail_->next_ : head_) = &job;
        tail_ = &job;
        ++queued_;
        job_waiting_.store(true, std::memory_order_release);
    }
    wake_.notify_one();
    return true;
}

void Worker::stop() { stopped_by(std::chrono::steady_clock::time_point::max()); }

void Worker::request_stop() {
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
}

bool Worker::stopped_by(std::chrono::steady_clock::time_point deadline) {
    request_stop();
    if (!thread_.joinable()) {
        return true;
    }
    bool exited = false;
    {
        std::unique_lock lock(mutex_);
        exited = deadline == std::chrono::steady_clock::time_point::max()
                     ? (exited_cv_.wait(lock, [&] { return exited_; }), true)
                     : exited_cv_.wait_until(lock, deadline, [&] { return exited_; });
    }
    if (exited) {
        thread_.join();
        return true;
    }
    // Stuck in the kernel: nothing can take it out. Its queue is answered
    // here, and the thread left to the process's end.
    answer_queue_unreached();
    thread_.detach();
    return false;
}

void Worker::answer_queue_unreached() {
    Job *job = nullptr;
    {
        std::lock_guard guard(mutex_);
        job = std::exchange(head_, nullptr);
        tail_ = nullptr;
        queued_ = 0;
    }
    while (job != nullptr) {
        Job *next = job->next_; // finished() may free the job
        if (job->start()) job->run(nullptr, *this);
        job->finished();
        job = next;
    }
}

void Worker::answer_queue_if_stalled() {
    if (stalled()) answer_queue_unreached();
}

void Worker::wake() {
    {
        std::lock_guard guard(mutex_);
        woken_ = true;
    }
    wake_.notify_one();
}

void Worker::deliver(const ModuleEvent &event) {
    ModuleEvent numbered = event;
    hub_.publish(numbered);
}

bool Worker::has_sinks() const {
    return hub_.wanted(unit_) || std::chrono::steady_clock::now() < linger_until_;
}

// The daemon's own commands must not keep alive a watchdog that is there
// to catch a dead controlling program: while one is armed, the worker
// sends them only within a quarter of its time-out after a client's last
// write, so that the module's own time-out runs from at most then.
bool Worker::may_command_on_own_account() const {
    return watchdog_ms_ == 0 ||
           std::chrono::steady_clock::now() - last_write_ < std::chrono::microseconds(250) * watchdog_ms_;
}

bool Worker::watching() const {
    return watch_interval_.count() > 0 && module_ && has_sinks() && may_command_on_own_account();
}

void Worker::watchdog_is(uint32_t ms) {
    watchdog_ms_ = ms;
    watchdog_read_at_ = std::chrono::steady_clock::now();
}

bool Worker::stalled() const {
    if (hung_.load(std::memory_order_relaxed)) return true;
    const int64_t since = busy_since_.load(std::memory_order_relaxed);
    return since != 0 && std::chrono::steady_clock::now().time_since_epoch().count() - since >=
                             std::chrono::duration_cast<std::chrono::steady_clock::duration>(kStalledAfter).count();
}

const char *Worker::why_text(WatchWhy why) {
    switch (why) {
    case WatchWhy::watchdog: return "the watchdog is armed and no client wrote within a quarter of its time-out";
    case WatchWhy::nobody: return "nobody listens to its events";
    case WatchWhy::absent: return "the module is absent";
    case WatchWhy::not_responding: return "the module does not answer";
    case WatchWhy::off: return "sampling is off (--watch-interval 0)";
    case WatchWhy::none: break;
    }
    return "";
}

void Worker::update_watch() {
    const WatchWhy why = watch_interval_.count() == 0 ? WatchWhy::off
                         : hung_                      ? WatchWhy::not_responding
                         : !module_                   ? WatchWhy::absent
                         : !has_sinks()               ? WatchWhy::nobody
                         : !may_command_on_own_account() ? WatchWhy::watchdog
                                                         : WatchWhy::none;
    const WatchWhy was = watch_why_.exchange(why);
    if (was == WatchWhy::none && why != WatchWhy::none) {
        watch_ended_.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    }
    const uint32_t watchdog_ms = module_ ? watchdog_ms_ : 0;
    if (was == why && watch_told_ && watch_told_watchdog_ms_ == watchdog_ms) return;
    // A client writing about once a quarter time-out pauses and resumes
    // the watch each time: the log says so at most once a minute.
    const auto now = std::chrono::steady_clock::now();
    if (was != why && why == WatchWhy::watchdog && now - pause_logged_at_ >= std::chrono::minutes(1)) {
        pause_logged_at_ = now;
        pause_logged_ = true;
        log_.line(Topic::Module, "unit " + std::to_string(unit_) + ": input watch " + watch_state() +
                                     " (said at most once a minute; the watch events say each time)");
    } else if (was == WatchWhy::watchdog && why != WatchWhy::watchdog && std::exchange(pause_logged_, false)) {
        log_.line(Topic::Module, "unit " + std::to_string(unit_) + ": input watch resumed");
    }
    watch_told_ = true;
    watch_told_watchdog_ms_ = watchdog_ms;
    ModuleEvent changed = event(ModuleEvent::Kind::watch);
    changed.watch = watch_now().state;
    changed.why = why_text(why);
    changed.watchdog_ms = watchdog_ms;
    deliver(changed);
}

Worker::WatchNow Worker::watch_now() const {
    const WatchWhy why = watch_why_.load();
    return {why == WatchWhy::none ? Watch::watching : why == WatchWhy::watchdog ? Watch::paused : Watch::stopped,
            why_text(why)};
}

std::string Worker::watch_state() const {
    const WatchNow now = watch_now();
    return now.state == Watch::watching ? "watching" : std::string(watch_name(now.state)) + ": " + now.why;
}

void Worker::stamp(Value value) {
    read_at_[static_cast<std::size_t>(value)].store(std::chrono::steady_clock::now().time_since_epoch().count(),
                                                    std::memory_order_relaxed);
}

std::optional<std::chrono::steady_clock::time_point> Worker::read_at(Value value) const {
    const int64_t at = read_at_[static_cast<std::size_t>(value)].load(std::memory_order_relaxed);
    if (at == 0) return std::nullopt;
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(at));
}

std::chrono::milliseconds Worker::stale_after(Value value) const {
    const auto interval = value == Value::settings
                              ? std::max<std::chrono::milliseconds>(watch_interval_, kSettingsInterval)
                          : value == Value::counters && watch_interval_.count() == 0 ? kRecordInterval
                                                                                     : watch_interval_;
    // Never under 0.2 s: with sampling off, a client's own read is current
    // that long.
    return 2 * std::max<std::chrono::milliseconds>(interval, std::chrono::milliseconds(100));
}

bool Worker::current(Value value, std::chrono::steady_clock::time_point now) const {
    const auto at = read_at(value);
    if (!at || !responding() || now - *at > stale_after(value)) return false;
    return watch_why_.load() == WatchWhy::none ||
           at->time_since_epoch().count() > watch_ended_.load(std::memory_order_relaxed);
}

Worker::Known Worker::known() const {
    return {known_inputs_, outputs_, known_counters_, settings_, watchdog_ms_};
}

void Worker::snapshot_read(const service::Snapshot &snapshot) {
    values_read(snapshot.info.inputs, snapshot.outputs, snapshot.counters);
    settings_read(snapshot.settings);
    watchdog_is(snapshot.info.watchdog_timeout);
}

void Worker::values_read(uint64_t inputs, uint64_t outputs, const std::vector<uint32_t> &counters) {
    known_inputs_ = inputs;
    known_counters_ = counters;
    stamp(Value::inputs);
    stamp(Value::counters);
    outputs_are(outputs, false);
}

bool Worker::watch_keeps_values_current() const {
    const auto now = std::chrono::steady_clock::now();
    return watching() && current(Value::inputs, now) && current(Value::outputs, now) &&
           current(Value::counters, now);
}

std::optional<Identity> Worker::identity() const {
    std::lock_guard guard(mutex_);
    return identity_;
}

ModuleEvent Worker::event(ModuleEvent::Kind kind) const {
    ModuleEvent made;
    made.unit = unit_;
    made.kind = kind;
    made.input.monotonic = std::chrono::steady_clock::now();
    made.input.wall = std::chrono::system_clock::now();
    return made;
}

// A write's result is an event whenever it changed anything we know of; a
// sample's only when it differs from what was known before.
void Worker::outputs_are(uint64_t outputs, bool written) {
    stamp(Value::outputs);
    const bool known = outputs_.has_value();
    if (written) { // every write is recorded, one that changed nothing too
        FixedText<24> before, after;
        if (known) {
            before.hex(*outputs_);
        } else {
            before << "unknown";
        }
        after.hex(outputs);
        audit("outputs", before.view(), after.view(), current_client_.get());
    }
    if (known && *outputs_ == outputs) {
        return;
    }
    outputs_ = outputs;
    if ((known || written) && has_sinks()) {
        ModuleEvent changed = event(ModuleEvent::Kind::outputs);
        changed.outputs = outputs;
        changed.by = written ? current_origin() : Origin::another_program;
        if (written) changed.client = current_client_;
        deliver(changed);
    }
}

void Worker::counters_cleared(uint64_t mask) {
    FixedText<64 * 18> before, after; // "63=4294967295 " each
    for (unsigned n = 0; n < 64; ++n) {
        if (((mask >> n) & 1u) == 0) continue;
        if (!after.view().empty()) {
            before << " ";
            after << " ";
        }
        before << n << "=";
        if (known_counters_ && n < known_counters_->size()) {
            before << (*known_counters_)[n];
        } else {
            before << "unknown";
        }
        after << n << "=0";
    }
    audit("counters cleared", before.view(), after.view(), current_client_.get());
    if (!sampled_) return; // the first sample takes the counters as they are
    ModuleEvent found = event(ModuleEvent::Kind::input);
    for (unsigned n = 0; n < input_state_.channels; ++n) {
        if ((mask >> n) & 1u) {
            input_state_.counters[n] = 0;
            if (known_counters_ && n < known_counters_->size()) (*known_counters_)[n] = 0;
            found.input.channel = static_cast<uint8_t>(n);
            found.input.kind = kdx::InputEvent::Kind::reset;
            found.input.count = 0;
            deliver(found);
        }
    }
}

void Worker::settings_read(const service::ModuleSettings &settings) {
    settings_read_at_ = std::chrono::steady_clock::now();
    stamp(Value::settings);
    const auto by = std::exchange(settings_written_by_, std::nullopt);
    settings_seen(settings, by ? *by : nullptr);
}

void Worker::settings_written(const service::Settings &written) {
    service::SettingsText before, after;
    if (settings_) {
        service::describe(written, &*settings_, watchdog_before_job_, before);
    } else {
        before << "unknown";
    }
    service::describe(written, nullptr, 0, after);
    audit("settings", before.view(), after.view(), current_client_.get());
    settings_written_by_ = current_client_;
    settings_read_at_ = {};
}

void Worker::watchdog_cleared() { audit("watchdog error cleared", "", "", current_client_.get()); }

void Worker::audit(std::string_view what, std::string_view before, std::string_view after,
                   const Client *client) const {
    if (audit_ != nullptr) audit_->record(AuditEntry{unit_, client, what, before, after});
}

// A change is an event; the first read is only the baseline. by: the
// client that wrote them; null for another program.
void Worker::settings_seen(const service::ModuleSettings &settings, const std::shared_ptr<const Client> &by) {
    if (settings_ && *settings_ == settings) return;
    const bool baseline = !settings_ && by == nullptr;
    settings_ = settings;
    if (baseline) return;
    ModuleEvent found = event(ModuleEvent::Kind::settings);
    found.by = by ? by->front : Origin::another_program;
    found.client = by;
    found.settings = std::make_shared<const service::ModuleSettings>(settings);
    deliver(found);
}

void Worker::renamed(const std::string &nickname) {
    std::lock_guard guard(mutex_);
    if (identity_) identity_->nickname = nickname;
}

std::string Worker::node() const {
    std::lock_guard guard(mutex_);
    return node_;
}

void Worker::assign(const std::string &node) {
    {
        std::lock_guard guard(mutex_);
        if (assigned_ == node && !reassigned_) {
            return;
        }
        assigned_ = node;
        reassigned_ = true;
    }
    wake_.notify_one();
}

std::string Worker::assigned_node() const {
    std::lock_guard guard(mutex_);
    return assigned_;
}

void Worker::run() {
    reach();
    std::unique_lock lock(mutex_);
    bool served = false;
    for (;;) {
        const auto woken = [&] { return head_ != nullptr || stopping_ || woken_ || reassigned_; };
        if (!woken() && served && may_stay_awake()) {
            // A client that asks again as soon as it has its answer finds
            // the worker still awake: parking and being woken cost more.
            lock.unlock();
            const auto until = std::chrono::steady_clock::now() + kAwakeAfterJob;
            awake_.store(true, std::memory_order_relaxed);
            while (!job_waiting_.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < until) {
                spin_turn();
            }
            awake_.store(false, std::memory_order_relaxed);
            g_awake.fetch_sub(1, std::memory_order_relaxed);
            lock.lock();
        }
        served = false;
        if (!woken()) {
            if (watching()) {
                wake_.wait_until(lock, std::min(next_sample_, next_record_), woken);
            } else if (module_) {
                // The time-out may have run out since the watch was last
                // noted: a state read while this waits must say so.
                lock.unlock();
                update_watch();
                lock.lock();
                if (!woken()) wake_.wait(lock, woken);
            } else {
                wake_.wait_for(lock, kRetryInterval, woken);
            }
        }
        // A new subscriber only wakes the worker: the sample baseline is
        // everyone's, and re-basing it would lose the others' pulses.
        woken_ = false;
        const bool reassigned = std::exchange(reassigned_, false);
        // Jobs already queued are answered even when stopping: their
        // submitters wait for finished().
        Job *job = head_;
        if (job == nullptr && stopping_) {
            break;
        }
        if (job != nullptr) {
            head_ = job->next_;
            tail_ = head_ == nullptr ? nullptr : tail_;
            --queued_;
            job_waiting_.store(head_ != nullptr, std::memory_order_relaxed);
            served = job->asked_again_soon();
        }
        lock.unlock();
        began_ = std::chrono::steady_clock::now();
        busy_since_ = began_.time_since_epoch().count();
        if (hub_.wanted(unit_)) {
            linger_until_ = std::chrono::steady_clock::now() + kLinger;
        }
        if (reassigned && module_) {
            module_ = kdx::Module(); // its module is elsewhere now
        }
        reach();
        if (job != nullptr && !job->start()) {
            job->finished();
            job = nullptr;
        }
        if (job != nullptr) {
            if (job->is_write()) {
                last_write_ = std::chrono::steady_clock::now();
            }
            const auto started = std::chrono::steady_clock::now();
            current_client_ = job->client();
            watchdog_before_job_ = watchdog_ms_;
            const bool done = job->run(module_ ? &module_ : nullptr, *this);
            current_client_.reset();
            metrics_.request_took(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
            if (!done) {
                lost("a transfer failed");
            }
            job->finished();
        }
        update_watch();
        if (watching() && std::chrono::steady_clock::now() >= next_sample_) {
            sample();
        }
        if (watching() && std::chrono::steady_clock::now() >= next_record_) {
            record_counters();
        }
        update_watch(); // a sample may have found the module gone or hung
        busy_since_ = 0;
        lock.lock();
    }
    lock.unlock();
    module_ = kdx::Module();
    std::lock_guard guard(mutex_);
    exited_ = true;
    exited_cv_.notify_all();
}

void Worker::reach() {
    if (module_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (hung_ && now < next_reach_) {
        return;
    }
    std::error_code code;
    if (target_.follow) {
        const std::string node = assigned_node();
        if (!node.empty()) module_ = kdx::Module::open_node(node, code);
    } else {
        module_ = target_.node.empty() ? kdx::Module::open(*target_.product_id, *target_.board_id, code)
                                       : kdx::Module::open_node(target_.node, code);
    }
    sampled_ = false;
    outputs_.reset();
    watchdog_read_at_ = {}; // read at the first sample
    settings_.reset();
    settings_read_at_ = {};
    std::optional<Identity> identity;
    if (module_) {
        identity = read_identity(module_, target_);
        if (!identity) {
            module_ = kdx::Module(); // it went as it was opened
        }
    }
    if (identity && target_.follow &&
        (identity->product_id != target_.product_id || identity->board_id != target_.board_id)) {
        // The node was given to another module: ours is found again by the scan.
        log_.line(Topic::Module, "unit " + std::to_string(unit_) + ": " + identity->node + " is another module now");
        module_ = kdx::Module();
        identity.reset();
        std::lock_guard guard(mutex_);
        if (!reassigned_) assigned_.clear();
    }
    {
        std::lock_guard guard(mutex_);
        identity_ = identity;
    }
    if (hung_) {
        if (module_) {
            hung_ = false;
            reach_back_off_ = {};
            log_.line(Topic::Module, "unit " + std::to_string(unit_) + ": its module answers again");
        } else if (!listed()) {
            // It left the bus while it hung: now it is simply away.
            hung_ = false;
            silent_ = false;
            unplugged_ = true;
            deliver(event(ModuleEvent::Kind::unplugged));
            log_.line(Topic::Module, "unit " + std::to_string(unit_) + " (" + target_.describe() + "): absent");
        } else {
            reach_back_off_ = std::min<std::chrono::steady_clock::duration>(2 * reach_back_off_, std::chrono::seconds(30));
            next_reach_ = std::chrono::steady_clock::now() + reach_back_off_;
        }
    }
    set_present(static_cast<bool>(module_), identity ? identity->node : std::string());
}

// After a failed transfer the module is opened again: a module that is
// still there (a transient error, or another program held it) carries on;
// one that was unplugged is absent until it comes back, on any node.
void Worker::lost(const char *why) {
    metrics_.transfer_failed();
    if (std::chrono::steady_clock::now() - began_ >= kStalledAfter) {
        hung(why);
        return;
    }
    const std::string was = node();
    module_ = kdx::Module();
    reach();
    if (module_) {
        log_.line(Topic::Module, "unit " + std::to_string(unit_) + " (" + target_.describe() + ", " + was + "): " + why);
    }
}

void Worker::hung(const char *why) {
    module_ = kdx::Module();
    hung_ = true;
    reach_back_off_ = std::chrono::seconds(1);
    next_reach_ = std::chrono::steady_clock::now() + reach_back_off_;
    log_.line(Topic::Module, "unit " + std::to_string(unit_) + " (" + target_.describe() + ", " + node() + "): " + why +
                                 " after " + std::to_string(kStalledAfter.count()) +
                                 " s or more: its module does not answer; requests are refused at once while "
                                 "it is opened again, less often each time (at most every 30 s)");
    {
        std::lock_guard guard(mutex_);
        identity_.reset();
    }
    set_present(false, "");
}

// The counters' history, every few seconds while the inputs are watched
// (then the watchdog is known, and an armed one is not fed on nobody's
// behalf).
void Worker::record_counters() {
    next_record_ = std::chrono::steady_clock::now() + kRecordInterval;
    std::error_code code;
    const std::vector<uint32_t> counters = module_.read_counters(code);
    if (code) {
        lost("reading its counters failed");
        return;
    }
    metrics_.counters_read(counters, true);
    known_counters_ = counters;
    stamp(Value::counters);
}

// Between requests, every watch interval: what happened at the inputs
// since the last sample, however short (the counters keep every pulse).
void Worker::sample() {
    const auto now = std::chrono::steady_clock::now();
    next_sample_ = std::max(next_sample_ + watch_interval_, now); // no bursts to catch up
    std::error_code code;
    if (!sampled_) {
        input_state_ = kdx::first_input_state(module_, code);
        next_sample_ = now + watch_interval_;
    }
    kdx7400_input_events events{};
    uint64_t cleared = 0; // by another program: this one's re-based already
    if (!code) {
        module_.sample(input_state_, events, cleared, code);
    }
    if (code) {
        lost("sampling its inputs failed");
        return;
    }
    known_inputs_ = events.levels;
    if (!known_counters_) known_counters_.emplace();
    known_counters_->assign(input_state_.counters, input_state_.counters + input_state_.channels); // no allocation
    // The totals follow every read of the counters in the order they were
    // made: a reader later given these must not take them for a clear.
    metrics_.counters_read(*known_counters_, false);
    stamp(Value::inputs);
    stamp(Value::counters);
    if (!sampled_) {
        sampled_ = true; // levels only: events are what happens from now on
        const uint32_t ms = module_.watchdog_timeout(code);
        if (!code) watchdog_is(ms);
        return;
    }
    ModuleEvent found = event(ModuleEvent::Kind::input);
    kdx::for_each_input_event(
        events, input_state_.channels, found.input,
        [&](const kdx::InputEvent &input) {
            found.input = input;
            deliver(found);
        },
        cleared);
    // Outputs another program changed show at the next sample.
    const uint64_t outputs = module_.read_outputs(code);
    if (code) {
        lost("reading its outputs failed");
        return;
    }
    outputs_are(outputs, false);
    // Another program may arm or disarm the watchdog: known within a second.
    if (now - watchdog_read_at_ >= std::chrono::seconds(1)) {
        const uint32_t ms = module_.watchdog_timeout(code);
        if (!code) watchdog_is(ms);
    }
    // And change any setting: shown within a second too.
    if (now - settings_read_at_ >= kSettingsInterval) {
        try {
            settings_read(service::read_settings(module_));
        } catch (const kdx::Error &) {
            lost("reading its settings failed");
        }
    }
}

bool Worker::listed() const {
    std::error_code code;
    const std::vector<kdx::DeviceInfo> devices = kdx::list_devices(code);
    if (code) return true; // not known to have left
    return std::any_of(devices.begin(), devices.end(), [&](const kdx::DeviceInfo &d) {
        return target_.product_id ? d.product_id == target_.product_id && d.board_id == target_.board_id
                                  : d.node == target_.node || d.node == "/dev/" + target_.node;
    });
}

void Worker::set_present(bool present, const std::string &node) {
    {
        std::lock_guard guard(mutex_);
        node_ = node;
    }
    const bool was = present_.exchange(present);
    if (was == present && ever_reported_) {
        return;
    }
    if (!present && was) {
        unplugged_ = !hung_ && !listed();
    } else if (present && std::exchange(unplugged_, false)) {
        metrics_.powered_up(); // back after an unplug: its counters start from 0
    }
    // A module that hangs is still there: it stopped answering, and its
    // return is that it answers again, not a plug.
    if (!present && was && hung_) {
        silent_ = true;
        ModuleEvent lost = event(ModuleEvent::Kind::responding);
        lost.why = "its module does not answer";
        deliver(lost);
        return; // hung() said so in the log
    }
    if (present && std::exchange(silent_, false)) {
        ModuleEvent back = event(ModuleEvent::Kind::responding);
        back.responding = true;
        deliver(back);
    } else if (ever_reported_ || present) {
        deliver(event(present ? ModuleEvent::Kind::plugged : ModuleEvent::Kind::unplugged));
    }
    const std::string name = "unit " + std::to_string(unit_) + " (" + target_.describe() + ")";
    if (present) {
        log_.line(Topic::Module, name + ": present on " + node);
    } else {
        log_.line(Topic::Module, name + (ever_reported_ ? ": absent" : ": absent, waiting for it"));
    }
    ever_reported_ = true;
}

Worker &Units::add(uint8_t unit, Target target) {
    std::lock_guard guard(mutex_);
    if (unit == 0 || unit >= slots_.size()) {
        throw std::invalid_argument("unit IDs are 1 to 247");
    }
    if (slots_[unit].load() != nullptr) {
        throw std::invalid_argument("unit " + std::to_string(unit) + " given twice");
    }
    owned_.push_back(std::make_unique<Worker>(unit, std::move(target), watch_interval_, hub_, log_, audit_));
    if (labels_ != nullptr) owned_.back()->set_labels(labels_->load(unit));
    slots_[unit].store(owned_.back().get(), std::memory_order_release);
    return *owned_.back();
}

uint8_t Units::free_unit(const std::function<bool(uint8_t)> &reserved) const {
    for (uint8_t unit = 1; unit < slots_.size(); ++unit) {
        if (find(unit) == nullptr && !reserved(unit)) return unit;
    }
    return 0;
}

std::vector<Worker *> Units::all() const {
    std::lock_guard guard(mutex_);
    std::vector<Worker *> workers;
    for (const auto &owned : owned_) workers.push_back(owned.get());
    return workers;
}

EventHub::Replay Units::subscribe(EventSink &sink, uint8_t unit, uint64_t after) {
    EventHub::Replay missed = hub_.subscribe(sink, unit, after);
    std::lock_guard guard(mutex_);
    for (const auto &owned : owned_) {
        if (unit == EventHub::kAllUnits || owned->unit() == unit) owned->wake();
    }
    return missed;
}

std::vector<uint8_t> Units::stop(std::chrono::steady_clock::time_point deadline) {
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    stall_watch_wake_.notify_all();
    if (stall_watch_.joinable()) stall_watch_.join();
    // A worker that is merely between two commands is waited for.
    deadline = std::max(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(500));
    std::lock_guard guard(mutex_);
    for (const auto &owned : owned_) owned->request_stop(); // all at once
    std::vector<uint8_t> abandoned;
    for (auto &owned : owned_) {
        if (!owned->stopped_by(deadline)) {
            abandoned.push_back(owned->unit());
            (void)owned.release(); // its thread may still come back to it
        }
    }
    std::erase(owned_, nullptr);
    return abandoned;
}

void Units::watch_stalls() {
    std::vector<Worker *> workers; // kept: a look allocates nothing once warm
    std::unique_lock lock(mutex_);
    while (!stall_watch_wake_.wait_for(lock, std::chrono::milliseconds(200), [&] { return stopping_; })) {
        workers.clear();
        for (const auto &owned : owned_) workers.push_back(owned.get());
        lock.unlock(); // the answers' callbacks may look units up
        for (Worker *worker : workers) worker->answer_queue_if_stalled();
        lock.lock();
    }
}

void assign_modules(Units &units, UnitBook &book, Log &log) {
    std::error_code code;
    const std::vector<kdx::DeviceInfo> devices = kdx::list_devices(code); // node order
    if (code) {
        log.line(Topic::Module, "cannot list modules: " + code.message());
        return;
    }
    const auto key_of = [](const kdx::DeviceInfo &d) {
        return d.product_id && d.board_id ? identity_key(*d.product_id, *d.board_id) : std::string();
    };
    const auto listed_as = [&](const std::string &node, const std::string &key) {
        return std::any_of(devices.begin(), devices.end(),
                           [&](const kdx::DeviceInfo &d) { return d.node == node && key_of(d) == key; });
    };
    const auto key_of_worker = [](const Worker *w) {
        return w->target().product_id && w->target().board_id
                   ? identity_key(*w->target().product_id, *w->target().board_id)
                   : std::string();
    };
    for (const kdx::DeviceInfo &device : devices) {
        const std::string key = key_of(device);
        const std::vector<Worker *> workers = units.all();
        const bool served = std::any_of(workers.begin(), workers.end(), [&](const Worker *w) {
            if (w->target().follow) {
                return w->assigned_node() == device.node && key_of_worker(w) == key;
            }
            // A unit given by IDs that is absent takes the module when it reaches it.
            return w->node() == device.node || w->target().node == device.node ||
                   (!key.empty() && key_of_worker(w) == key && !w->present());
        });
        if (served) {
            continue;
        }
        if (key.empty()) { // no IDs to know it by again: by node, not kept
            const uint8_t unit = units.free_unit([&](uint8_t u) { return book.reserved(u); });
            if (unit == 0) {
                log.line(Topic::Module, "no unit ID left for " + device.node);
                continue;
            }
            Target target;
            target.node = device.node;
            units.add(unit, target);
            log.line(Topic::Module, "unit " + std::to_string(unit) + ": " + device.node + " (no IDs: by node)");
            continue;
        }
        // Its own unit: one it had before whose module is not where that
        // unit last found it (gone, idle or not, or never seen this run).
        const std::vector<uint8_t> had = book.units_of(key);
        Worker *back = nullptr;
        uint8_t unit = 0;
        for (const uint8_t u : had) {
            Worker *w = units.find(u);
            if (w == nullptr) {
                unit = u;
                break;
            }
            if (w->target().follow && key_of_worker(w) == key && !listed_as(w->assigned_node(), key)) {
                back = w;
                break;
            }
        }
        if (back != nullptr) {
            log.line(Topic::Module, "unit " + std::to_string(back->unit()) + ": " + key + " back on " + device.node);
            back->assign(device.node);
            continue;
        }
        const bool known = unit != 0;
        if (!known) {
            unit = units.free_unit([&](uint8_t u) { return book.reserved(u); });
            if (unit == 0) {
                log.line(Topic::Module, "no unit ID left for " + device.node);
                continue;
            }
            book.record(unit, key);
        }
        Target target;
        target.product_id = device.product_id;
        target.board_id = device.board_id;
        target.follow = true;
        units.add(unit, target).assign(device.node);
        std::string why = known ? " (its unit before)" : "";
        if (!known && !had.empty()) {
            std::string others;
            for (const uint8_t u : had) others += (others.empty() ? "" : ", ") + std::to_string(u);
            why = " (another module with these IDs has unit " + others + "; alike modules keep apart by node order)";
        }
        log.line(Topic::Module, "unit " + std::to_string(unit) + ": " + device.node + " " + key + why);
    }
    // A unit the book remembers whose module is not here (after a restart)
    // exists all the same, absent: a client is told the module is away
    // (0x0B, 503), not that no such unit was ever served, and the module
    // takes the unit back when it comes.
    for (const UnitBook::Remembered &r : book.remembered()) {
        if (units.find(r.unit) != nullptr) continue;
        Target target;
        target.product_id = r.product_id;
        target.board_id = r.board_id;
        target.follow = true;
        units.add(r.unit, target);
        log.line(Topic::Module, "unit " + std::to_string(r.unit) + ": " + identity_key(r.product_id, r.board_id) +
                                    " (its unit before), absent");
    }
}

} // namespace kdxd
