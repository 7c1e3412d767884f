// SPDX-License-Identifier: MIT
// The daemon's log on stderr (the journal, under systemd). A hostile peer
// can cause a line per connection attempt, so lines are rate-limited, each
// topic on its own: a flood of connections never hides that a module went
// away. What is over the limit is counted, and the count printed with the
// topic's next line that gets through. Safe from any thread.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string_view>

namespace kdxd {

enum class Topic { Service, Module, Connection, Refusal };

class Log {
public:
    explicit Log(bool verbose) : verbose_(verbose) {}
    // A line that is always worth having, unless too many of its topic
    // come at once.
    void line(Topic topic, std::string_view text);
    // A line for every request: only with --verbose, and then not limited.
    void detail(std::string_view text);
    // A line that must never be dropped (the audit trail's, without the
    // journal): not limited, and written without allocating.
    void always(std::string_view head, std::string_view text);
    bool verbose() const { return verbose_; }

    static constexpr unsigned kLinesPerSecond = 20;

private:
    void write(std::string_view head, std::string_view text = {});

    struct Budget {
        std::chrono::steady_clock::time_point second{};
        unsigned in_second = 0;
        uint64_t suppressed = 0;
    };
    const bool verbose_;
    std::mutex mutex_;
    std::array<Budget, 4> budgets_{};
};

} // namespace kdxd
