"""Switches output channel 0 on and off a few times, then reads it back."""

import sys

import kdx7400


def main() -> int:
    pid, bid = int(sys.argv[1], 0), int(sys.argv[2], 0)
    try:
        with kdx7400.open(pid, bid) as module:
            for i in range(4):
                module.write_output(0, i % 2 == 0)
                print(f"outputs {module.read_outputs():#06x}")
    except kdx7400.Error as error:
        print(f"{sys.argv[0]}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
