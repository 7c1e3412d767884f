"""Sets a 500 ms watchdog, feeds it by reading the outputs, and clears a
watchdog error left from an earlier run."""

import sys

import kdx7400


def main() -> int:
    pid, bid = int(sys.argv[1], 0), int(sys.argv[2], 0)
    try:
        with kdx7400.open(pid, bid) as module:
            module.clear_watchdog_error()
            module.set_watchdog_timeout(500)
            print(f"watchdog timeout {module.watchdog_timeout()}")
            for _ in range(3):
                module.read_outputs()  # any exchange with the module feeds the watchdog
            print("fed 3 times")
    except kdx7400.Error as error:
        print(f"{sys.argv[0]}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
