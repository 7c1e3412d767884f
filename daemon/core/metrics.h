// SPDX-License-Identifier: MIT
// What a unit's worker counts for Prometheus: how long requests took at
// the module, failed transfers, and each input's pulses as a counter that
// only grows, across counter wraps, clears and re-plugs.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kdxd {

class UnitMetrics {
public:
    // Upper bounds of the duration histogram's buckets, in seconds.
    static constexpr std::array<double, 10> kBuckets = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 1, 5};

    struct Figures {
        std::array<uint64_t, kBuckets.size()> buckets{}; // cumulative, as exposed
        uint64_t requests = 0;
        double seconds = 0;
        uint64_t transfer_failures = 0;
        std::vector<uint64_t> pulses;  // per input
        std::vector<double> created;   // when each pulse total began, seconds since the epoch
    };

    // The counters every few seconds for the last hour, for the page's
    // plots: a reset (a clear, a re-plug) is marked, not taken for pulses.
    struct Sample {
        double time = 0; // seconds since the epoch
        std::vector<uint32_t> counters;
        uint64_t resets = 0; // inputs whose counter started again since the sample before
    };
    static constexpr std::size_t kHistory = 1800;

    void request_took(double seconds);
    void transfer_failed();
    // The module's counters as just read. A counter that went down was
    // cleared or its module powered up afresh (it counts from 0 again),
    // unless it went down by more than half the range: then it wrapped.
    // record: keep them in the history too.
    void counters_read(const std::vector<uint32_t> &counters, bool record = false);
    // The module was unplugged and is back, powered up afresh: whatever its
    // counters hold at the next read was counted since then, from 0.
    void powered_up();
    Figures figures() const;
    std::vector<Sample> history(double since) const;

private:
    mutable std::mutex mutex_;
    Figures figures_;
    std::vector<uint32_t> last_;
    uint64_t resets_ = 0; // seen since the last sample kept
    std::vector<Sample> history_; // a ring of kHistory
    std::size_t next_ = 0;
};

// Text exposition format helpers.
void append_metric(std::string &out, std::string_view name, std::string_view labels, double value);
std::string metric_line(const std::string &name, const std::string &labels, double value);

} // namespace kdxd
