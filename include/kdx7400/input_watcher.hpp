// SPDX-License-Identifier: MIT
// kdx::InputWatcher: a module's inputs sampled on a thread of its own,
// each change or pulse an InputEvent, woken through a file descriptor.
// Part of kdx7400.hpp.
#pragma once

#include "module.hpp"

#include <array>
#include <condition_variable>
#include <deque>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace kdx {

namespace detail {

// The watcher's wake-up descriptor (eventfd, non-blocking, close-on-exec).
inline int new_eventfd() noexcept { return ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }
inline void signal_eventfd(int fd) noexcept {
    const uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
}
inline void drain_eventfd(int fd) noexcept {
    uint64_t count = 0;
    [[maybe_unused]] const auto got = ::read(fd, &count, sizeof count);
}
inline void close_fd(int fd) noexcept {
    if (fd >= 0) {
        ::close(fd);
    }
}

} // namespace detail

struct InputEvent {
    enum class Kind {
        rising,  // the level went from 0 to 1
        falling, // from 1 to 0
        pulses,  // count counted edges the sampling could not see
        stopped, // the watcher stopped: error says why (unplugged, closed)
        reset,   // the counter was cleared (by anyone); pulses after count from it
    };
    uint8_t channel = 0;
    Kind kind = Kind::rising;
    uint32_t count = 1;
    std::chrono::steady_clock::time_point monotonic;
    std::chrono::system_clock::time_point wall;
    std::error_code error; // for stopped
};

// The events one Module::sample reports, in channel order, each handed to
// sink: per channel, the counter's clear (cleared, from the sample's
// KDX7400_DI_SampleClears), pulses the levels could not show, then the
// level change. base carries the times (and is copied for each event). For
// a sampling loop of one's own; InputWatcher is one.
template <class Sink>
void for_each_input_event(const kdx7400_input_events &events, unsigned channels, const InputEvent &base,
                          Sink &&sink, uint64_t cleared = 0) {
    std::array<kdx7400_input_record, 2 * KDX7400_MAX_CHANNELS> records{}; // two at most per input
    std::size_t count = 0;
    KDX7400_DI_EventRecords(&events, static_cast<uint8_t>(std::min<unsigned>(channels, 255)), records.data(),
                            records.size(), &count);
    unsigned next_clear = 0;
    const auto clears_before = [&](unsigned channel) {
        for (; next_clear < std::min(channel, unsigned{KDX7400_MAX_CHANNELS}); ++next_clear) {
            if ((cleared >> next_clear) & 1u) {
                InputEvent event = base;
                event.channel = static_cast<uint8_t>(next_clear);
                event.kind = InputEvent::Kind::reset;
                event.count = 0;
                sink(event);
            }
        }
    };
    for (std::size_t i = 0; i < std::min(count, records.size()); ++i) {
        clears_before(records[i].channel + 1u);
        InputEvent event = base;
        event.channel = records[i].channel;
        event.kind = records[i].kind == KDX7400_INPUT_PULSES   ? InputEvent::Kind::pulses
                     : records[i].kind == KDX7400_INPUT_RISING ? InputEvent::Kind::rising
                                                               : InputEvent::Kind::falling;
        event.count = records[i].count;
        sink(event);
    }
    clears_before(std::min(channels, unsigned{KDX7400_MAX_CHANNELS}));
}

// The state a first Module::sample starts from: the counter edge as the
// reported levels show it, so that a counted edge the levels show is not
// then taken for a hidden pulse.
inline kdx7400_input_state first_input_state(const Module &module, std::error_code &code) {
    return module.begin_sampling(code);
}

// Samples a module's inputs every interval on a thread of its own and
// queues what happened: every level change, and every pulse the module
// counted between two samples, however short. fd() is readable while
// events wait (for poll, epoll or asio); wait() blocks for them;
// read_events() takes them. A module that fails (unplugged) or is closed
// ends the watcher with a stopped event, never an exception. The Module
// must outlive the watcher. Move-only; stops itself when destroyed.
class InputWatcher {
public:
    // At most this many events wait; later ones are counted in dropped().
    static constexpr std::size_t kQueueLimit = 1u << 16;

    InputWatcher(const Module &module, std::chrono::milliseconds interval)
        : shared_(std::make_shared<Shared>()) {
        shared_->fd = detail::new_eventfd();
        if (shared_->fd < 0) {
            throw Error(std::error_code(errno, std::generic_category()), "watch inputs");
        }
        std::error_code code;
        kdx7400_input_state state = first_input_state(module, code);
        // The first sample here: events are what happens from now on.
        kdx7400_input_events first{};
        if (!code) {
            module.sample(state, first, code);
        }
        detail::throw_if(code, "watch inputs");
        levels_ = first.levels;
        shared_->thread = std::thread([shared = shared_, &module, interval, state] {
            run(*shared, module, interval, state);
        });
    }
    InputWatcher(const InputWatcher &) = delete;
    InputWatcher &operator=(const InputWatcher &) = delete;
    InputWatcher(InputWatcher &&) noexcept = default;
    InputWatcher &operator=(InputWatcher &&other) noexcept {
        if (this != &other) {
            stop();
            shared_ = std::move(other.shared_);
        }
        return *this;
    }
    ~InputWatcher() { stop(); }

    // Ends the sampling thread; the events already queued stay readable.
    void stop() noexcept {
        if (!shared_ || !shared_->thread.joinable()) {
            return;
        }
        {
            std::lock_guard lock(shared_->mutex);
            shared_->stopping = true;
        }
        shared_->wake.notify_all();
        shared_->thread.join();
    }
    // The input levels when the watcher was made.
    uint64_t initial_levels() const noexcept { return levels_; }
    bool running() const noexcept {
        if (!shared_) {
            return false;
        }
        std::lock_guard lock(shared_->mutex);
        return !shared_->ended;
    }
    // Readable while events wait.
    int fd() const noexcept { return shared_ ? shared_->fd : -1; }
    // Blocks until events wait (true) or the timeout passes (false).
    bool wait(std::chrono::milliseconds timeout) const {
        if (!shared_) {
            return false;
        }
        std::unique_lock lock(shared_->mutex);
        return shared_->ready.wait_for(lock, timeout, [&] { return !shared_->queue.empty(); });
    }
    // Every event waiting, oldest first.
    std::vector<InputEvent> read_events() {
        if (!shared_) {
            return {};
        }
        std::lock_guard lock(shared_->mutex);
        std::vector<InputEvent> events(shared_->queue.begin(), shared_->queue.end());
        shared_->queue.clear();
        detail::drain_eventfd(shared_->fd);
        return events;
    }
    // Events lost because kQueueLimit were waiting.
    std::size_t dropped() const {
        if (!shared_) {
            return 0;
        }
        std::lock_guard lock(shared_->mutex);
        return shared_->dropped;
    }

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable wake, ready;
        std::deque<InputEvent> queue;
        std::size_t dropped = 0;
        bool stopping = false, ended = false;
        int fd = -1;
        std::thread thread;
        ~Shared() { detail::close_fd(fd); }
    };

    static void push(Shared &shared, std::vector<InputEvent> &found) {
        if (found.empty()) {
            return;
        }
        std::lock_guard lock(shared.mutex);
        const bool was_empty = shared.queue.empty();
        for (InputEvent &event : found) {
            if (shared.queue.size() >= kQueueLimit) {
                ++shared.dropped;
            } else {
                shared.queue.push_back(std::move(event));
            }
        }
        if (was_empty && !shared.queue.empty()) {
            detail::signal_eventfd(shared.fd);
            shared.ready.notify_all();
        }
        found.clear();
    }

    static void run(Shared &shared, const Module &module, std::chrono::milliseconds interval,
                    kdx7400_input_state state) {
        kdx7400_input_events events{};
        std::vector<InputEvent> found;
        auto next = std::chrono::steady_clock::now();
        while (true) {
            next += interval;
            {
                std::unique_lock lock(shared.mutex);
                if (shared.wake.wait_until(lock, next, [&] { return shared.stopping; })) {
                    break;
                }
            }
            std::error_code code;
            uint64_t cleared = 0;
            module.sample(state, events, cleared, code);
            InputEvent base;
            base.monotonic = std::chrono::steady_clock::now();
            base.wall = std::chrono::system_clock::now();
            if (code) {
                base.kind = InputEvent::Kind::stopped;
                base.count = 0;
                base.error = code;
                found.push_back(base);
                push(shared, found);
                break;
            }
            for_each_input_event(events, state.channels, base, [&](const InputEvent &e) { found.push_back(e); },
                                 cleared);
            push(shared, found);
        }
        std::lock_guard lock(shared.mutex);
        shared.ended = true;
    }

    std::shared_ptr<Shared> shared_;
    uint64_t levels_ = 0;
};


} // namespace kdx
