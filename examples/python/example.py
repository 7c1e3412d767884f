# SPDX-License-Identifier: MIT
"""Shared by the Python examples: open the module named on the command line
(PROGRAM PID BID, for example: toggle_output.py 0x7401 3) and turn a
library error into a message and exit status 1."""

import sys
from typing import Callable

import kdx7400


HEX = "0123456789abcdefABCDEF"


def module_ids() -> tuple[int, int]:
    """The IDs as kdxio and the listing write them: the product ID in hex,
    with or without 0x (7401), the board ID as its hex digit (A) or 0 to 15
    in decimal ("010" is ten). Anything else ends the program with a usage
    error, never a traceback or a number cut to fit."""
    pid, bid = sys.argv[1], sys.argv[2]
    digits = pid[2:] if pid[:2] in ("0x", "0X") else pid
    if digits and all(c in HEX for c in digits) and int(digits, 16) <= 0xFFFF:
        if len(bid) == 1 and bid in HEX:
            return int(digits, 16), int(bid, 16)
        if bid.isascii() and bid.isdigit() and int(bid) <= 15:
            return int(digits, 16), int(bid)
    print(f"{sys.argv[0]}: not a module's IDs: {pid!r} {bid!r} (the product ID in hex (7401), "
          "the board ID as one hex digit or 0 to 15)", file=sys.stderr)
    sys.exit(2)


def count() -> int:
    """The optional COUNT after the IDs: decimal digits, 0 (or none) for ever."""
    if len(sys.argv) <= 3:
        return 0
    if not (sys.argv[3].isascii() and sys.argv[3].isdigit()):
        print(f"{sys.argv[0]}: COUNT is a number of events, not {sys.argv[3]!r}", file=sys.stderr)
        sys.exit(2)
    return int(sys.argv[3])


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
