# SPDX-License-Identifier: MIT
"""The Python package against virtual modules."""

from __future__ import annotations

import os
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import kdx7400
from conftest import Bed

READ10, WRITE10 = "28", "2a"


def test_listing_names_nodes_and_numbers(bed: Bed) -> None:
    bed.add("pid=0x7401,bid=3")
    bed.add("pid=0x7402,bid=12")
    devices = sorted(kdx7400.list_devices(), key=lambda d: d.node)
    assert [(d.node, d.product_id, d.board_id) for d in devices] == [
        ("/dev/sg0", 0x7401, 3),
        ("/dev/sg1", 0x7402, 12),
    ]
    assert devices[0].product == "KDX-7401      #3"
    assert devices[0].name == "KDX7401"


def test_every_method_reaches_the_module(bed: Bed) -> None:
    bed.add("pid=0x7401,bid=3,di=16,do=16,ai=2")
    with kdx7400.open(0x7401, 3) as m:
        assert m.counts == kdx7400.ChannelCounts(di=16, do=16, ai=2, ao=0, pi=0, po=0)
        assert m.node == "/dev/sg0"
        m.write_outputs(0x1234)
        assert bed.state()["outputs"] == 0x1234
        m.write_output(0, True)
        assert m.read_outputs() == 0x1235
        m.set_power_on(0x00F0)
        m.set_power_on_channel(0, True)
        assert m.power_on() == 0x00F1 == bed.state()["power_on"]
        m.set_output_inverse(True)
        assert m.output_inverse() == 1
        m.set_safety(0x000F, 0x0005)
        m.set_safety_channel(8, True, True)
        assert m.safety() == kdx7400.Safety(0x010F, 0x0105)
        bed.inputs(0x0)
        bed.inputs(0x5)
        assert m.read_inputs() == 0x5
        assert m.read_input(2) is True
        m.set_input_filter(300)
        assert m.input_filter() == 300 == bed.state()["filter"]
        m.set_input_inverse(True)
        assert m.input_inverse() == 1
        m.set_input_inverse(False)
        m.set_counter_edge(1)
        assert m.counter_edge() == 1
        m.set_counter_edge(0)
        counters = m.read_counters()
        assert len(counters) == 16 and counters[0] == 1 and counters[2] == 1
        assert m.read_counter(2) == 1
        m.clear_counter(0)
        m.clear_counters(0b100)
        assert m.read_counters() == [0] * 16
        assert m.firmware_version() == 0x0102
        assert m.firmware_date() == "2026-03-14"
        m.set_nickname("press 4")
        assert m.nickname() == "press 4" == bed.state()["nickname"]
        m.set_write_protect(True)
        assert m.write_protect() == 1
        m.set_frame_rate_factor(9)
        assert m.frame_rate_factor() == 9
        m.set_opcode(0x42)
        assert m.opcode() == 0x42 == bed.state()["opcode"]
        m.set_watchdog_timeout(2500)
        assert m.watchdog_timeout() == 2500
        m.clear_watchdog_error()
        m.disable_watchdog()
        assert m.watchdog_timeout() == 0
        m.sync()
        m.load_defaults()
        m.reset()
        state = bed.state()
        assert (state["syncs"], state["load_defaults"], state["resets"]) == (1, 1, 1)


def test_a_batch_of_channels_is_one_read_and_one_write(bed: Bed) -> None:
    bed.add("pid=0x7401,bid=3")
    with kdx7400.open(0x7401, 3) as m:
        m.write_outputs(0xF0F0)
        bed.clear()
        m.switch_outputs([0, 1, 2, 3], True)
        assert [t["cdb"][:2] for t in bed.transfers()] == [READ10, WRITE10]
        assert bed.state()["outputs"] == 0xF0FF
        m.update_outputs(0x0FF0, 0x0550)
        assert bed.state()["outputs"] == 0xF55F
        bed.clear()
        assert m.toggle_outputs(0x00FF) == 0xF5A0
        assert [t["cdb"][:2] for t in bed.transfers()] == [READ10, WRITE10]
        assert bed.state()["outputs"] == 0xF5A0


def test_a_locked_block_keeps_other_programs_writes_out(bed: Bed) -> None:
    bed.add("pid=0x7401,bid=3,do=16")
    program = (
        "import kdx7400\n"
        "with kdx7400.open(0x7401, 3) as m:\n"
        "    m.write_output(9, True)\n"
    )
    with kdx7400.open(0x7401, 3) as m:
        with m.locked():
            with m.locked():  # nests
                other = subprocess.Popen([sys.executable, "-c", program])
                m.write_outputs(0x1)
                try:
                    other.wait(timeout=0.5)
                    waited = False
                except subprocess.TimeoutExpired:
                    waited = True
                assert waited, "another program wrote inside the locked block"
                assert m.read_outputs() == 0x1
        assert other.wait(timeout=10) == 0
        assert m.read_outputs() == 0x201


def test_a_module_dropped_without_close_is_closed(bed: Bed) -> None:
    import gc

    bed.add("pid=0x7401,bid=3")
    for _ in range(40):  # more than the 32 slots
        kdx7400.open(0x7401, 3).read_outputs()
        gc.collect()
    assert open_nodes(bed) == []


def test_a_node_the_user_may_not_open_is_permission_denied(bed: Bed) -> None:
    if os.geteuid() != 0:
        pytest.skip("needs root to become another user")
    bed.add("pid=0x7401,bid=3")
    os.chmod(bed.root, 0o755)
    os.chmod(Path(bed.root, "dev", "sg0"), 0o600)
    program = (
        "import os, kdx7400\n"
        "os.setgid(65534); os.setuid(65534)\n"
        "for kind in ('ids', 'node'):\n"
        "    try:\n"
        "        kdx7400.open(0x7401, 3) if kind == 'ids' else kdx7400.open(node='sg0')\n"
        "    except kdx7400.PermissionDeniedError as e:\n"
        "        assert isinstance(e, PermissionError), e\n"
        "        print(kind, e.code)\n"
    )
    result = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ids", "-1", "node", "-1"]


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.write_outputs(0x10000),
        lambda m: m.write_output(16, True),
        lambda m: m.set_power_on(1 << 16),
        lambda m: m.set_safety(0, 1 << 20),
        lambda m: m.clear_counters(1 << 16),
        lambda m: m.read_input(16),
        lambda m: m.switch_outputs([1, 99], True),
        lambda m: m.set_nickname("n" * 33),
        lambda m: m.set_watchdog_timeout(99),
        lambda m: m.set_counter_edge(2),
        lambda m: m.write_outputs(-1),
        lambda m: m.update_outputs(0x10000, 0),
        lambda m: m.update_outputs(1, 1 << 64),
        lambda m: m.toggle_outputs(1 << 16),
        lambda m: m.toggle_outputs(-1),
        lambda m: m.write_output(2**32 + 1, True),
    ],
)
def test_bad_arguments_raise_before_anything_is_sent(bed: Bed, call: object) -> None:
    bed.add("pid=0x7401,bid=3")
    with kdx7400.open(0x7401, 3) as m:
        bed.clear()
        with pytest.raises(kdx7400.InvalidArgumentError) as caught:
            call(m)  # type: ignore[operator]
        assert caught.value.code == 7
        assert isinstance(caught.value, ValueError)
        assert bed.transfers() == []


def test_each_failure_raises_its_own_class(bed: Bed) -> None:
    bed.add("pid=0x7401,bid=3")
    with pytest.raises(kdx7400.NotFoundError) as not_found:
        kdx7400.open(0x7401, 4)
    assert not_found.value.code == -1 and "no matching module found" in str(not_found.value)
    with pytest.raises(kdx7400.InvalidArgumentError):
        kdx7400.open(0x7401, 16)
    with pytest.raises(kdx7400.InvalidArgumentError):
        kdx7400.open(node="/dev/sda")
    m = kdx7400.open(node="sg0")
    bed.fault("no-magic", opcode=0x28)
    with pytest.raises(kdx7400.BadHeaderError):
        m.read_outputs()
    bed.fault("eio", opcode=0x2A)
    with pytest.raises(kdx7400.WriteError) as write:
        m.write_outputs(1)
    assert write.value.code == 5
    bed.unplug()
    with pytest.raises(kdx7400.ReadError) as read:
        m.read_inputs()
    assert read.value.code == 6 and read.value.operation == "read inputs"
    m.close()
    m.close()  # twice is harmless
    assert m.closed
    with pytest.raises(kdx7400.NotOpenError):
        m.read_outputs()


def test_the_context_manager_closes_even_on_an_exception(bed: Bed) -> None:
    bed.add("pid=0x7401,bid=3")
    with pytest.raises(RuntimeError):
        with kdx7400.open(0x7401, 3) as m:
            raise RuntimeError("rig stopped")
    assert m.closed
    assert open_nodes(bed) == []


def open_nodes(bed: Bed) -> list[str]:
    """This process's descriptors on the testbed's sg nodes."""
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except FileNotFoundError:  # the listing's own descriptor
            continue
        if target.startswith(bed.root + "/dev/"):
            found.append(target)
    return found


def test_two_threads_share_a_module(bed: Bed) -> None:
    bed.add("pid=0x7401,bid=3")
    bed.add("pid=0x7401,bid=4")
    failures: list[BaseException] = []
    with kdx7400.open(0x7401, 3) as shared:

        def work(channel: int) -> None:
            try:
                for i in range(25):
                    shared.write_output(channel, i % 2 == 0)
                    with kdx7400.open(0x7401, 4) as own:
                        own.read_inputs()
            except BaseException as error:  # noqa: BLE001 - reported below
                failures.append(error)

        threads = [threading.Thread(target=work, args=(c,)) for c in (0, 1)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert failures == []
        assert shared.read_outputs() & 0b11 == 0b11


def test_the_library_is_found_or_named(tmp_path: Path) -> None:
    env = dict(os.environ, KDX7400_LIBRARY=str(tmp_path / "libkdx7400.so.1"))
    result = subprocess.run([sys.executable, "-c", "import kdx7400"], env=env, capture_output=True, text=True)
    assert result.returncode != 0
    assert "cannot load the C library" in result.stderr and "KDX7400_LIBRARY" in result.stderr


EXAMPLES = Path(os.environ["KDX7400_PY_EXAMPLES"])


def run_example(name: str, bid: str = "3") -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(EXAMPLES / name), "0x7401", bid], capture_output=True, text=True)


def test_the_examples_run(bed: Bed) -> None:
    bed.add("pid=0x7401,bid=3")
    assert run_example("toggle_output.py").stdout == "outputs 0x0001\noutputs 0x0000\noutputs 0x0001\noutputs 0x0000\n"
    bed.inputs(0x2)
    assert "DI0=0\nDI1=1\nDI2=0\n" in run_example("read_inputs.py").stdout
    bed.inputs(0x0)
    bed.inputs(0x2)
    assert run_example("watch_counters.py").stdout == "counter 1: 2\n"
    assert bed.state()["counters"][1] == 0
    assert run_example("feed_watchdog.py").stdout == "watchdog timeout 500\nfed 3 times\n"
    failed = run_example("toggle_output.py", "9")
    assert failed.returncode == 1 and "no matching module found" in failed.stderr


def test_readme_example_runs_as_shown(bed: Bed) -> None:
    bed.add("pid=0x7401,bid=3")
    readme = Path(__file__).resolve().parents[2] / "README.md"
    text = readme.read_text()
    start = text.index("```python\n") + len("```python\n")
    snippet = text[start : text.index("```", start)]
    result = subprocess.run([sys.executable, "-c", snippet], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "0xa"


def test_a_watcher_reports_edges_hidden_pulses_and_the_unplug(bed: Bed) -> None:
    import select

    bed.add("pid=0x7401,bid=3")
    with kdx7400.open(0x7401, 3) as m, m.watch(0.01) as watcher:
        assert watcher.initial_levels == 0
        bed.inputs(0x4)
        ready, _, _ = select.select([watcher], [], [], 5)
        assert ready == [watcher]
        events = watcher.read_events()
        assert [(e.channel, e.kind, e.count) for e in events] == [(2, "rising", 1)]
        bed.sim("pulse", bed.root, "sg0", "5", "1000")  # faster than any sample
        seen = []
        for event in watcher:
            seen.append(event)
            if (event.kind, event.count) == ("pulses", 1000):
                m.clear_counter(5)  # a decrease: a reset, counted from zero
                bed.sim("pulse", bed.root, "sg0", "5", "3")
            elif event.kind == "pulses":
                bed.unplug()
        assert [(e.channel, e.kind, e.count) for e in seen] == [
            (5, "pulses", 1000), (5, "reset", 0), (5, "pulses", 3), (0, "stopped", 0)]
        assert isinstance(seen[-1].error, kdx7400.ReadError)
        assert seen[0].monotonic <= seen[1].monotonic
        assert not watcher.running


def test_watch_async_yields_events_on_asyncio(bed: Bed) -> None:
    import asyncio

    bed.add("pid=0x7401,bid=3")

    async def main() -> list[tuple[int, str]]:
        seen: list[tuple[int, str]] = []
        with kdx7400.open(0x7401, 3) as m:
            loop = asyncio.get_running_loop()
            loop.call_later(0.1, bed.inputs, 0x1)
            loop.call_later(0.3, bed.inputs, 0x0)
            async for event in m.watch_async(0.01):
                seen.append((event.channel, event.kind))
                if len(seen) == 2:
                    break
        return seen

    assert asyncio.run(asyncio.wait_for(main(), 10)) == [(0, "rising"), (0, "falling")]


def test_a_close_refused_while_another_thread_holds_the_module_keeps_it_open(bed: Bed) -> None:
    bed.add("pid=0x7401,bid=3")
    module = kdx7400.open(0x7401, 3)
    holding = threading.Event()
    release = threading.Event()

    def hold() -> None:
        with module.locked():
            holding.set()
            release.wait(10)

    holder = threading.Thread(target=hold)
    holder.start()
    assert holding.wait(5)
    with pytest.raises(kdx7400.BusyError, match="another thread or program holds it .held by another thread of this"):
        module.close()  # waits the time-out, then gives up
    assert not module.closed
    release.set()
    holder.join()
    assert module.read_outputs() == 0, "still open, and usable"
    module.close()
    assert module.closed



def _toggle_own_half(half: int, rounds: int, inherited: kdx7400.Module) -> None:
    """A forked worker: the parent's module is not its own; its own open is,
    and switching its 32 outputs never undoes the other worker's. A failure
    ends it with status 1."""
    with pytest.raises(kdx7400.NotOpenError):
        inherited.read_outputs()
    undone = 0
    with kdx7400.open(0x7401, 3) as m:
        own = range(32 * half, 32 * half + 32)
        mask = sum(1 << ch for ch in own)
        for turn in range(rounds):
            for ch in own:
                m.write_output(ch, turn % 2 == 0)
            if m.read_outputs() & mask != (mask if turn % 2 == 0 else 0):
                undone += 1
    assert undone == 0, f"worker {half}: its outputs were undone in {undone} of {rounds} rounds"


def test_forked_workers_lose_nothing_once_they_open_for_themselves(bed: Bed) -> None:
    import multiprocessing

    bed.add("pid=0x7401,bid=3,do=64")
    fork = multiprocessing.get_context("fork")
    with kdx7400.open(0x7401, 3) as parent:
        workers = [fork.Process(target=_toggle_own_half, args=(half, 40, parent)) for half in (0, 1)]
        for w in workers:
            w.start()
        for w in workers:
            w.join(timeout=120)
        assert [w.exitcode for w in workers] == [0, 0]
        assert parent.read_outputs() == 0, "both halves ended off"


def test_an_inherited_module_never_acts_on_the_childs_own_and_none_is_pickled(bed: Bed) -> None:
    import gc
    import multiprocessing
    import pickle

    bed.add("pid=0x7401,bid=3")
    bed.add("pid=0x7401,bid=4")
    parent = kdx7400.open(0x7401, 3)
    child = os.fork()
    if child == 0:
        status = 1
        try:
            own = kdx7400.open(0x7401, 4)
            ok = own.index == parent.index and parent.closed
            try:
                parent.write_outputs(0xFF)
                ok = False
            except kdx7400.NotOpenError:
                pass
            del parent  # its finalizer must not close the child's own
            gc.collect()
            own.write_output(1, True)
            status = 0 if ok and not own.closed else 1
        finally:
            os._exit(status)
    _, status = os.waitpid(child, 0)
    assert status == 0
    assert bed.state("sg1")["outputs"] == 0x2, "only the child's own write"
    assert not parent.closed
    with pytest.raises(TypeError, match="cannot be pickled"):
        pickle.dumps(parent)
    worker = multiprocessing.get_context("forkserver").Process(target=print, args=(parent,))
    with pytest.raises(TypeError, match="cannot be pickled"):
        worker.start()
    parent.close()
