# SPDX-License-Identifier: MIT
"""Switches output channel 0 on and off a few times, then reads it back."""

import sys

import kdx7400
from example import run


def toggle(module: kdx7400.Module) -> None:
    for i in range(4):
        module.write_output(0, i % 2 == 0)
        print(f"outputs {module.read_outputs():#06x}")


if __name__ == "__main__":
    sys.exit(run(toggle))
