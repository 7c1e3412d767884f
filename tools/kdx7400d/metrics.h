// SPDX-License-Identifier: MIT
// What a unit's worker counts for Prometheus: how long requests took at
// the module, failed transfers, and each input's pulses as a counter that
// only grows, across counter wraps, clears and re-plugs.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
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

    void request_took(double seconds);
    void transfer_failed();
    // The module's counters as just read. A counter that went down was
    // cleared or its module powered up afresh (it counts from 0 again),
    // unless it went down by more than half the range: then it wrapped.
    void counters_read(const std::vector<uint32_t> &counters);
    Figures figures() const;

private:
    mutable std::mutex mutex_;
    Figures figures_;
    std::vector<uint32_t> last_;
};

// Text exposition format helpers.
std::string metric_line(const std::string &name, const std::string &labels, double value);

} // namespace kdxd
