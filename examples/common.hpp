// SPDX-License-Identifier: MIT
// Shared by the C++ examples: open the module named on the command line.
#pragma once

#include "kdx7400.hpp"

#include <cstdlib>
#include <iostream>
#include <string>

// Usage: PROGRAM PID BID, for example: toggle_output_cpp 0x7401 3
inline kdx::Module open_from_arguments(int argc, char **argv) {
    if (argc < 3) {
        std::cerr << "usage: " << argv[0] << " PID BID\n";
        std::exit(2);
    }
    const auto pid = static_cast<uint16_t>(std::stoul(argv[1], nullptr, 0));
    const auto bid = static_cast<uint8_t>(std::stoul(argv[2], nullptr, 0));
    return kdx::Module::open(pid, bid);
}

// Runs body and turns a library error into a message and exit status 1.
template <class Body> int run_example(const char *name, Body body) {
    try {
        body();
        return 0;
    } catch (const kdx::Error &error) {
        std::cerr << name << ": " << error.what() << "\n";
        return 1;
    }
}
