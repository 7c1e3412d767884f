# SPDX-License-Identifier: MIT
"""Sets a 500 ms watchdog, feeds it by reading the outputs, and clears a
watchdog error left from an earlier run."""

import sys

import kdx7400
from example import run


def feed(module: kdx7400.Module) -> None:
    module.clear_watchdog_error()
    module.set_watchdog_timeout(500)
    print(f"watchdog timeout {module.watchdog_timeout()}")
    for _ in range(3):
        module.read_outputs()  # any exchange with the module feeds the watchdog
    print("fed 3 times")


if __name__ == "__main__":
    sys.exit(run(feed))
