// SPDX-License-Identifier: MIT
#include "core/log.h"

#include <string>
#include <unistd.h>

namespace kdxd {

void Log::line(Topic topic, std::string_view text) {
    static constexpr const char *kNames[] = {"service", "module", "connection", "refusal"};
    std::lock_guard guard(mutex_);
    Budget &budget = budgets_[static_cast<std::size_t>(topic)];
    const auto now = std::chrono::steady_clock::now();
    if (now - budget.second >= std::chrono::seconds(1)) {
        budget.second = now;
        budget.in_second = 0;
    }
    if (!verbose_ && ++budget.in_second > kLinesPerSecond) {
        ++budget.suppressed;
        return;
    }
    if (budget.suppressed != 0) {
        write("(" + std::to_string(budget.suppressed) + " " + kNames[static_cast<std::size_t>(topic)] +
              " lines suppressed)");
        budget.suppressed = 0;
    }
    write(text);
}

void Log::detail(std::string_view text) {
    if (verbose_) {
        std::lock_guard guard(mutex_);
        write(text);
    }
}

// One write per line, so that lines from several threads never interleave.
void Log::write(std::string_view text) {
    std::string out = "kdx7400d: ";
    out.append(text);
    out.push_back('\n');
    for (std::size_t done = 0; done < out.size();) {
        const ssize_t n = ::write(STDERR_FILENO, out.data() + done, out.size() - done);
        if (n <= 0) {
            return; // nowhere to log to: carry on serving
        }
        done += static_cast<std::size_t>(n);
    }
}

} // namespace kdxd
