// SPDX-License-Identifier: MIT
#include "core/metrics.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <utility>

namespace kdxd {

void UnitMetrics::request_took(double seconds) {
    std::lock_guard guard(mutex_);
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        if (seconds <= kBuckets[i]) ++figures_.buckets[i];
    }
    ++figures_.requests;
    figures_.seconds += seconds;
}

void UnitMetrics::transfer_failed() {
    std::lock_guard guard(mutex_);
    ++figures_.transfer_failures;
}

void UnitMetrics::counters_read(const std::vector<uint32_t> &counters, bool record) {
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    std::lock_guard guard(mutex_);
    if (figures_.pulses.size() < counters.size()) {
        figures_.pulses.resize(counters.size(), 0);
        figures_.created.resize(counters.size(), now);
    }
    if (last_.size() < counters.size()) {
        // First seen: what it holds already counts from its creation.
        for (std::size_t i = last_.size(); i < counters.size(); ++i) figures_.pulses[i] += counters[i];
        last_.assign(counters.begin(), counters.end());
    } else {
        for (std::size_t i = 0; i < counters.size(); ++i) {
            const uint32_t was = last_[i], now_value = counters[i];
            if (now_value >= was) {
                figures_.pulses[i] += now_value - was;
            } else if (was - now_value > 0x80000000u) {
                figures_.pulses[i] += static_cast<uint32_t>(now_value - was); // wrapped past 2^32
            } else {
                figures_.pulses[i] += now_value; // cleared, or powered up afresh: counting from 0
                if (i < 64) resets_ |= uint64_t{1} << i;
            }
            last_[i] = now_value;
        }
    }
    if (!record) return;
    Sample sample{now, counters, std::exchange(resets_, 0)};
    if (history_.size() < kHistory) {
        history_.push_back(std::move(sample));
    } else {
        history_[next_] = std::move(sample);
    }
    next_ = (next_ + 1) % kHistory;
}

void UnitMetrics::powered_up() {
    std::lock_guard guard(mutex_);
    std::fill(last_.begin(), last_.end(), 0u);
    for (std::size_t i = 0; i < last_.size() && i < 64; ++i) resets_ |= uint64_t{1} << i;
}

std::vector<UnitMetrics::Sample> UnitMetrics::history(double since) const {
    std::lock_guard guard(mutex_);
    std::vector<Sample> out;
    const std::size_t start = history_.size() < kHistory ? 0 : next_;
    for (std::size_t i = 0; i < history_.size(); ++i) {
        const Sample &sample = history_[(start + i) % history_.size()];
        if (sample.time >= since) out.push_back(sample);
    }
    return out;
}

UnitMetrics::Figures UnitMetrics::figures() const {
    std::lock_guard guard(mutex_);
    return figures_;
}

void append_metric(std::string &out, std::string_view name, std::string_view labels, double value) {
    char number[40];
    int length = 0;
    if (std::isinf(value)) {
        length = std::snprintf(number, sizeof number, value > 0 ? "+Inf" : "-Inf");
    } else if (value == std::floor(value) && std::fabs(value) < 1e15) {
        length = static_cast<int>(std::to_chars(number, number + sizeof number, static_cast<int64_t>(value)).ptr -
                                  number);
    } else {
        length = std::snprintf(number, sizeof number, "%.15g", value); // a time since the epoch to the millisecond
    }
    out.append(name);
    if (!labels.empty()) {
        out += '{';
        out.append(labels);
        out += '}';
    }
    out += ' ';
    out.append(number, static_cast<std::size_t>(length));
    out += '\n';
}

std::string metric_line(const std::string &name, const std::string &labels, double value) {
    std::string line;
    append_metric(line, name, labels, value);
    return line;
}

} // namespace kdxd
