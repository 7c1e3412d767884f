// SPDX-License-Identifier: MIT
#include "core/log.h"

#include <string>
#include <iterator>

#include <sys/uio.h>
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

void Log::always(std::string_view head, std::string_view text) {
    std::lock_guard guard(mutex_);
    write(head, text);
}

// One write per line, so that lines from several threads never interleave.
void Log::write(std::string_view head, std::string_view text) {
    iovec pieces[] = {{const_cast<char *>("kdx7400d: "), 10},
                      {const_cast<char *>(head.data()), head.size()},
                      {const_cast<char *>(text.data()), text.size()},
                      {const_cast<char *>("\n"), 1}};
    iovec *next = pieces;
    std::size_t left = std::size(pieces);
    while (left != 0) {
        const ssize_t n = ::writev(STDERR_FILENO, next, static_cast<int>(left));
        if (n <= 0) return; // nowhere to log to: carry on serving
        auto done = static_cast<std::size_t>(n);
        for (; left != 0 && done >= next->iov_len; ++next, --left) done -= next->iov_len;
        if (left != 0) { // a short write: the rest of this piece, then the others
            next->iov_base = static_cast<char *>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
}

} // namespace kdxd
