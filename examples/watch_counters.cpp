// SPDX-License-Identifier: MIT
// Reads every input counter, prints the non-zero ones, then clears them.
#include "common.hpp"

int main(int argc, char **argv) {
    return run_example(argv[0], [&] {
        kdx::Module module = open_from_arguments(argc, argv);
        module.set_counter_edge(0); // count rising edges
        const std::vector<uint32_t> counters = module.read_counters();
        for (std::size_t channel = 0; channel < counters.size(); ++channel) {
            if (counters[channel] != 0) {
                std::cout << "counter " << channel << ": " << counters[channel] << "\n";
            }
        }
        const unsigned inputs = module.counts().di;
        module.clear_counters(inputs >= 64 ? ~uint64_t{0} : (uint64_t{1} << inputs) - 1);
    });
}
