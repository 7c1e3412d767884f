# SPDX-License-Identifier: MIT
"""Watching a module's inputs: every edge, and every pulse the module
counted between two samples, as events."""

from __future__ import annotations

import collections
import ctypes
import os
import threading
import time
from dataclasses import dataclass
from types import TracebackType
from typing import TYPE_CHECKING, Iterator, Optional, Type

from . import _native

if TYPE_CHECKING:
    from . import Error, Module

QUEUE_LIMIT = 1 << 16
"""At most this many events wait; later ones are counted in ``dropped``."""


@dataclass(frozen=True)
class InputEvent:
    """One thing that happened at a module's inputs."""

    channel: int
    kind: str
    """``rising``, ``falling``, ``pulses`` (``count`` edges the sampling
    could not see), ``reset`` (the counter was cleared, by anyone: pulses
    after it count from zero) or ``stopped`` (the watcher ended: ``error``
    says why)."""
    count: int
    monotonic: float
    """``time.monotonic()`` of the sample that found it."""
    wall: float
    """``time.time()`` of that sample."""
    error: Optional[Error] = None


class Watcher:
    """Samples a module every ``interval`` seconds on a thread of its own
    (:meth:`Module.watch`). Iterate it for events, or use :meth:`fileno`
    (readable while events wait) with select, selectors or asyncio, then
    :meth:`read_events`. An unplugged or closed module ends it with a
    ``stopped`` event. Close it, or use it in a ``with`` block."""

    def __init__(self, module: Module, interval: float) -> None:
        if not interval > 0:
            raise ValueError("the interval must be above 0 seconds")
        self._module = module
        self._interval = interval
        self._state = _native.InputState()
        module._begin_sampling(self._state)
        first = _native.InputEvents()
        module._sample(self._state, first)  # events are what happens from now on
        self.initial_levels: int = int(first.levels)
        """The input levels when the watcher was made."""
        self.dropped = 0
        """Events lost because QUEUE_LIMIT were waiting."""
        self._events: collections.deque[InputEvent] = collections.deque()
        self._lock = threading.Condition()
        self._stopping = threading.Event()
        self._ended = False
        # A pipe: its read end is readable while events wait.
        self._fd, self._signal = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        self._thread = threading.Thread(target=self._run, name="kdx7400-watch", daemon=True)
        self._thread.start()

    def fileno(self) -> int:
        """A descriptor that is readable while events wait."""
        return int(self._fd)

    @property
    def running(self) -> bool:
        """Whether it still samples."""
        with self._lock:
            return not self._ended

    def read_events(self) -> list[InputEvent]:
        """Every event waiting, oldest first."""
        with self._lock:
            events = list(self._events)
            self._events.clear()
            try:
                while os.read(self._fd, 64):
                    pass
            except BlockingIOError:
                pass
            return events

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Blocks until events wait (True) or the timeout passes (False)."""
        with self._lock:
            return self._lock.wait_for(lambda: bool(self._events), timeout)

    def __iter__(self) -> Iterator[InputEvent]:
        """Events as they come; ends after the ``stopped`` event."""
        while True:
            while not self.wait(0.5):
                if not self.running and not self._events:
                    return
            for event in self.read_events():
                yield event
                if event.kind == "stopped":
                    return

    def close(self) -> None:
        """Stops sampling; events already waiting stay readable until then."""
        self._stopping.set()
        if self._thread.is_alive() and self._thread is not threading.current_thread():
            self._thread.join()
        if self._fd >= 0:
            os.close(self._fd)
            os.close(self._signal)
            self._fd = self._signal = -1

    def __enter__(self) -> Watcher:
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()

    def _push(self, found: list[InputEvent], ended: bool = False) -> None:
        if not found:
            return
        with self._lock:
            # The stopped event and the end are one step: a reader that has
            # it finds the watcher no longer running.
            self._ended = self._ended or ended
            was_empty = not self._events
            for event in found:
                if len(self._events) >= QUEUE_LIMIT:
                    self.dropped += 1
                else:
                    self._events.append(event)
            if was_empty and self._events:
                os.write(self._signal, b"!")
                self._lock.notify_all()

    def _run(self) -> None:
        from . import Error, _lib

        events = _native.InputEvents()
        records = (_native.InputRecord * (2 * _native.MAX_CHANNELS))()  # two at most per input
        next_sample = time.monotonic()
        while True:
            next_sample += self._interval
            if self._stopping.wait(max(0.0, next_sample - time.monotonic())):
                break
            try:
                cleared = self._module._sample(self._state, events)
            except Error as error:
                now = time.monotonic(), time.time()
                self._push([InputEvent(0, "stopped", 0, now[0], now[1], error)], ended=True)
                break
            monotonic, wall = time.monotonic(), time.time()
            count = ctypes.c_size_t(0)
            _lib.KDX7400_DI_EventRecords(ctypes.byref(events), self._state.channels, records, len(records),
                                         ctypes.byref(count))
            found = [InputEvent(r.channel, _native.INPUT_KINDS[r.kind], int(r.count), monotonic, wall)
                     for r in records[: count.value]]
            # A clear comes first in its channel's events, in channel order.
            found += [InputEvent(n, "reset", 0, monotonic, wall)
                      for n in range(self._state.channels) if cleared >> n & 1]
            found.sort(key=lambda event: (event.channel, event.kind != "reset"))
            self._push(found)
        with self._lock:
            self._ended = True
            self._lock.notify_all()

