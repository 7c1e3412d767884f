// SPDX-License-Identifier: MIT
// Switches output channel 0 on and off a few times, then reads it back.
#include "common.hpp"

#include <cstdio>

int main(int argc, char **argv) {
    return run_example(argv[0], [&] {
        kdx::Module module = open_from_arguments(argc, argv);
        for (int i = 0; i < 4; ++i) {
            module.write_output(0, i % 2 == 0);
            std::printf("outputs 0x%04llx\n", static_cast<unsigned long long>(module.read_outputs()));
        }
    }); // the module closes itself
}
