// SPDX-License-Identifier: MIT
// The daemon's log on stderr (the journal, under systemd). A hostile peer
// can cause a refusal per connection attempt, so lines are rate-limited:
// what is over the limit is counted and the count printed with the next
// line that gets through. Safe from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string_view>

namespace kdxd {

class Log {
public:
    explicit Log(bool verbose) : verbose_(verbose) {}
    // A line that is always worth having, unless too many come at once.
    void line(std::string_view text);
    // A line for every request: only with --verbose, and then not limited.
    void detail(std::string_view text);
    bool verbose() const { return verbose_; }

    static constexpr unsigned kLinesPerSecond = 20;

private:
    void write(std::string_view text);

    const bool verbose_;
    std::mutex mutex_;
    std::chrono::steady_clock::time_point second_{};
    unsigned in_second_ = 0;
    uint64_t suppressed_ = 0;
};

} // namespace kdxd
