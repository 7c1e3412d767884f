# SPDX-License-Identifier: MIT
"""Reads every input counter, prints the non-zero ones, then clears them."""

import sys

import kdx7400
from example import run


def watch(module: kdx7400.Module) -> None:
    module.set_counter_edge(0)  # count rising edges
    for channel, count in enumerate(module.read_counters()):
        if count:
            print(f"counter {channel}: {count}")
    module.clear_counters((1 << min(module.di_count, 64)) - 1)


if __name__ == "__main__":
    sys.exit(run(watch))
