// SPDX-License-Identifier: MIT
#include "log.h"

#include <string>
#include <unistd.h>

namespace kdxd {

void Log::line(std::string_view text) {
    std::lock_guard guard(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (now - second_ >= std::chrono::seconds(1)) {
        second_ = now;
        in_second_ = 0;
    }
    if (!verbose_ && ++in_second_ > kLinesPerSecond) {
        ++suppressed_;
        return;
    }
    if (suppressed_ != 0) {
        write("(" + std::to_string(suppressed_) + " lines suppressed)");
        suppressed_ = 0;
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
