"""Reads every input counter, prints the non-zero ones, then clears them."""

import sys

import kdx7400


def main() -> int:
    pid, bid = int(sys.argv[1], 0), int(sys.argv[2], 0)
    try:
        with kdx7400.open(pid, bid) as module:
            module.set_counter_edge(0)  # count rising edges
            for channel, count in enumerate(module.read_counters()):
                if count:
                    print(f"counter {channel}: {count}")
            module.clear_counters((1 << min(module.di_count, 64)) - 1)
    except kdx7400.Error as error:
        print(f"{sys.argv[0]}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
