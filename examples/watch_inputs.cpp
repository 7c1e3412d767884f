// SPDX-License-Identifier: MIT
// Prints every input edge, and the pulses the module counted between two
// samples, until COUNT events (default: for ever). When the module goes,
// it says so, opens it again once it is back and watches on.
#include "common.hpp"

#include <chrono>
#include <iomanip>
#include <thread>

int main(int argc, char **argv) {
    using namespace std::chrono_literals;
    const long wanted = example_count(argc, argv);
    if (wanted < 0) {
        std::cerr << argv[0] << ": COUNT is a number of events, not '" << argv[3] << "'\n";
        return 2;
    }
    return run_example(argv[0], [&] {
        long seen = 0;
        kdx::Module module = open_from_arguments(argc, argv);
        while (wanted == 0 || seen < wanted) {
            kdx::InputWatcher watcher(module, 10ms);
            std::cout << "watching inputs 0x" << std::hex << std::setw(4) << std::setfill('0')
                      << watcher.initial_levels() << std::dec << std::endl;
            bool gone = false;
            while (!gone && (wanted == 0 || seen < wanted)) {
                watcher.wait(1s);
                for (const kdx::InputEvent &event : watcher.read_events()) {
                    switch (event.kind) {
                    case kdx::InputEvent::Kind::rising: std::cout << "in " << +event.channel << " rising\n"; break;
                    case kdx::InputEvent::Kind::falling: std::cout << "in " << +event.channel << " falling\n"; break;
                    case kdx::InputEvent::Kind::pulses:
                        std::cout << "in " << +event.channel << ": " << event.count << " pulses\n";
                        break;
                    case kdx::InputEvent::Kind::reset:
                        std::cout << "in " << +event.channel << ": counter cleared\n";
                        break;
                    case kdx::InputEvent::Kind::stopped: gone = true; break;
                    }
                    seen += event.kind == kdx::InputEvent::Kind::stopped ? 0 : 1;
                }
                std::cout.flush();
            }
            if (gone) {
                std::cout << "module gone" << std::endl;
                watcher.stop();
                module.close();
                std::error_code code;
                const ModuleIds ids = ids_from_arguments(argv);
                while (!(module = kdx::Module::open(ids.pid, ids.bid, code))) {
                    std::this_thread::sleep_for(100ms);
                }
                std::cout << "module back" << std::endl;
            }
        }
    });
}
