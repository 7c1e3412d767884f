# SPDX-License-Identifier: MIT
"""Shared by the Python examples: open the module named on the command line
(PROGRAM PID BID, for example: toggle_output.py 0x7401 3) and turn a
library error into a message and exit status 1."""

import sys
from typing import Callable

import kdx7400


def module_ids() -> tuple[int, int]:
    """The IDs as kdxio and the listing write them: the product ID in hex,
    with or without 0x (7401), the board ID as its hex digit (A) or 0 to 15."""
    bid = sys.argv[2]
    return int(sys.argv[1], 16), int(bid, 16 if len(bid) == 1 else 0)


def run(body: Callable[[kdx7400.Module], None]) -> int:
    if len(sys.argv) < 3:
        print(f"usage: {sys.argv[0]} PID BID", file=sys.stderr)
        return 2
    try:
        with kdx7400.open(*module_ids()) as module:
            body(module)
    except kdx7400.Error as error:
        print(f"{sys.argv[0]}: {error}", file=sys.stderr)
        return 1
    return 0
