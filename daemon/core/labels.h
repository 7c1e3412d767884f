// SPDX-License-Identifier: MIT
// Names people give a unit's inputs and outputs ("door closed", "pump 2"),
// kept by the daemon in its state folder, one file per unit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kdxd {

struct Labels {
    std::vector<std::string> inputs, outputs; // by channel; "" for none
    static constexpr std::size_t kMaxChannels = 64;
    static constexpr std::size_t kMaxBytes = 40;
};

class LabelStore {
public:
    // dir: the state folder; none keeps labels only while the daemon runs.
    explicit LabelStore(std::optional<std::string> dir);
    Labels load(uint8_t unit) const;
    // Written whole, then renamed over the old file; throws std::runtime_error.
    void save(uint8_t unit, const Labels &labels) const;

private:
    std::optional<std::string> dir_;
};

} // namespace kdxd
