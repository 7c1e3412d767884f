# SPDX-License-Identifier: MIT
"""Prints every input channel's state."""

import sys

import kdx7400
from example import run


def show(module: kdx7400.Module) -> None:
    for channel in range(min(module.di_count, 64)):
        print(f"DI{channel}={int(module.read_input(channel))}")


if __name__ == "__main__":
    sys.exit(run(show))
