// SPDX-License-Identifier: MIT
// Shared by the C++ examples: open the module named on the command line.
#pragma once

#include "kdx7400.hpp"

#include <cstdlib>
#include <iostream>
#include <string>

// The IDs as kdxio and the listing write them: the product ID in hex, with
// or without 0x (7401), the board ID as its hex digit (A) or 0 to 15.
struct ModuleIds {
    uint16_t pid;
    uint8_t bid;
};
inline ModuleIds ids_from_arguments(char **argv) {
    const std::string bid = argv[2];
    return {static_cast<uint16_t>(std::stoul(argv[1], nullptr, 16)),
            static_cast<uint8_t>(std::stoul(bid, nullptr, bid.size() == 1 ? 16 : 0))};
}

// Usage: PROGRAM PID BID, for example: toggle_output_cpp 7401 3
inline kdx::Module open_from_arguments(int argc, char **argv) {
    if (argc < 3) {
        std::cerr << "usage: " << argv[0] << " PID BID\n";
        std::exit(2);
    }
    const ModuleIds ids = ids_from_arguments(argv);
    return kdx::Module::open(ids.pid, ids.bid);
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
