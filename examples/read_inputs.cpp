// SPDX-License-Identifier: MIT
// Prints every input channel's state.
#include "common.hpp"

int main(int argc, char **argv) {
    return run_example(argv[0], [&] {
        const kdx::Module module = open_from_arguments(argc, argv);
        for (uint8_t channel = 0; channel < module.counts().di && channel < 64; ++channel) {
            std::cout << "DI" << unsigned{channel} << "=" << module.read_input(channel) << "\n";
        }
    });
}
