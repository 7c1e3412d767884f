// SPDX-License-Identifier: MIT
// Sets a 500 ms watchdog, feeds it by reading the outputs, and clears a
// watchdog error left from an earlier run.
#include "common.hpp"

int main(int argc, char **argv) {
    return run_example(argv[0], [&] {
        kdx::Module module = open_from_arguments(argc, argv);
        module.clear_watchdog_error();
        module.set_watchdog_timeout(500);
        std::cout << "watchdog timeout " << module.watchdog_timeout() << "\n";
        for (int i = 0; i < 3; ++i) {
            module.read_outputs(); // any exchange with the module feeds the watchdog
        }
        std::cout << "fed 3 times\n";
    });
}
