"""Prints every input channel's state."""

import sys

import kdx7400


def main() -> int:
    pid, bid = int(sys.argv[1], 0), int(sys.argv[2], 0)
    try:
        with kdx7400.open(pid, bid) as module:
            for channel in range(min(module.di_count, 64)):
                print(f"DI{channel}={int(module.read_input(channel))}")
    except kdx7400.Error as error:
        print(f"{sys.argv[0]}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
