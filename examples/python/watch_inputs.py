# SPDX-License-Identifier: MIT
"""Prints every input edge, and the pulses the module counted between two
samples, until COUNT events (default: for ever). When the module goes, it
says so, opens it again once it is back and watches on."""

import sys
import time

import kdx7400
from example import count, module_ids


def main() -> int:
    if len(sys.argv) < 3:
        print(f"usage: {sys.argv[0]} PID BID [COUNT]", file=sys.stderr)
        return 2
    pid, bid = module_ids()
    wanted = count()
    seen = 0
    module = kdx7400.open(pid, bid)
    while not wanted or seen < wanted:
        gone = False
        with module.watch(0.01) as events:
            print(f"watching inputs {events.initial_levels:#06x}", flush=True)
            for event in events:
                if event.kind == "stopped":
                    gone = True
                    break
                if event.kind == "pulses":
                    print(f"in {event.channel}: {event.count} pulses", flush=True)
                else:
                    print(f"in {event.channel} {event.kind}", flush=True)
                seen += 1
                if wanted and seen >= wanted:
                    break
        if gone:
            print("module gone", flush=True)
            module.close()
            while True:  # until it is plugged in again
                try:
                    module = kdx7400.open(pid, bid)
                    break
                except kdx7400.NotFoundError:
                    time.sleep(0.1)
            print("module back", flush=True)
    module.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
