// SPDX-License-Identifier: MIT
// Shared by the C++ examples: open the module named on the command line.
#pragma once

#include "ids.h"
#include "kdx7400.hpp"

#include <cstdlib>
#include <iostream>
#include <string>

// The IDs named on the command line; a text that is none is a usage error.
struct ModuleIds {
    uint16_t pid;
    uint8_t bid;
};
inline ModuleIds ids_from_arguments(char **argv) {
    ModuleIds ids{};
    if (!example_parse_ids(argv[1], argv[2], &ids.pid, &ids.bid)) {
        std::cerr << argv[0] << ": not a module's IDs: '" << argv[1] << "' '" << argv[2] << "' (" EXAMPLE_IDS_RULE
                  << ")\n";
        std::exit(2);
    }
    return ids;
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
