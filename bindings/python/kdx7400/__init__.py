# SPDX-License-Identifier: MIT
"""Control KDX-7400 USB digital-I/O modules from Python.

A thin, typed layer over the C library libkdx7400.so.1 (through ctypes, so
nothing is compiled on your machine; ctypes releases the GIL during each
call)::

    import kdx7400

    print(kdx7400.list_devices())
    with kdx7400.open(0x7401, 3) as module:
        module.write_outputs(0b1010)
        print(hex(module.read_inputs()))

Every failure raises a subclass of :class:`Error` carrying the library's
result code and text; no call returns a bare result code.

Threads and processes: the C library serialises the calls on a module and
keeps other processes' writes out of its read-modify-write sequences, so a
:class:`Module` may be shared by threads; ``with module.locked():`` makes a
read, a decision and a write one step. A module dropped without
:meth:`Module.close` is closed when it is collected.
"""

from __future__ import annotations

import contextlib
import ctypes
import weakref
from dataclasses import dataclass
from types import TracebackType
from typing import Any, AsyncIterator, Callable, Iterable, Iterator, NamedTuple, Optional, Type

from . import _native
from ._watch import InputEvent, Watcher

__all__ = [
    "BadHeaderError",
    "BusyError",
    "ChannelCounts",
    "DeviceInfo",
    "Error",
    "InputEvent",
    "InvalidArgumentError",
    "Module",
    "NotFoundError",
    "NotOpenError",
    "PermissionDeniedError",
    "ReadError",
    "Safety",
    "TableFullError",
    "Watcher",
    "WriteError",
    "library_version",
    "list_devices",
    "open",
]

_lib = _native.load()

# ---- errors -------------------------------------------------------------------


class Error(Exception):
    """A failure the library reported; ``code`` is its result code (negative
    for the results of opening), ``text`` the library's description."""

    def __init__(self, operation: str, code: int, text: str) -> None:
        super().__init__(f"{operation}: {text} ({code})")
        self.operation = operation
        self.code = code
        self.text = text


class NotOpenError(Error):
    """The module was closed (RESULT_NOT_OPEN)."""


class ReadError(Error):
    """A block read from the module did not complete: unplugged, hung, ..."""


class WriteError(Error):
    """A block write to the module did not complete."""


class BadHeaderError(Error):
    """The module's reply lacked the header magic."""


class BusyError(Error):
    """Another thread or program held the module for the whole wait (5 s);
    nothing was sent."""


class InvalidArgumentError(Error, ValueError):
    """An argument out of range: a channel, a mask bit, a value, an index."""


class NotFoundError(Error):
    """No module matched when opening."""


class TableFullError(Error):
    """All 32 module slots of the process are in use."""


class PermissionDeniedError(Error, PermissionError):
    """The module is there, but this user may not open its node."""


_RESULT_ERRORS: dict[int, Type[Error]] = {
    2: NotOpenError,
    3: InvalidArgumentError,
    4: BadHeaderError,
    5: WriteError,
    6: ReadError,
    7: InvalidArgumentError,
    8: InvalidArgumentError,
    9: InvalidArgumentError,
    10: BusyError,
}

_OPEN_ERRORS: dict[int, Type[Error]] = {
    -1: NotFoundError,
    -2: TableFullError,
    -3: InvalidArgumentError,
    -4: InvalidArgumentError,
    -5: PermissionDeniedError,
}


def _result_text(code: int) -> str:
    return bytes(_lib.KDXIO_GetResultString(code)).decode()


def _check(code: int, operation: str) -> None:
    if code != 0:
        raise _RESULT_ERRORS.get(code, Error)(operation, code, _result_text(code))


def _refuse(operation: str, why: str) -> None:
    raise InvalidArgumentError(operation, 7, why)


# ---- listing ------------------------------------------------------------------


@dataclass(frozen=True)
class DeviceInfo:
    """One module present, from sysfs; nothing is opened to find it."""

    node: str
    """The sg node, for example ``/dev/sg2``."""
    product_id: Optional[int]
    """USB idProduct, or None when sysfs shows none."""
    board_id: Optional[int]
    """0 to 15, or None when the module reports no board ID."""
    name: str
    """The name as the library's own listing prints it."""
    product: str
    """The INQUIRY product text, without the revision."""


def _text(raw: bytes) -> str:
    return raw.split(b"\0", 1)[0].decode("ascii", "replace")


def list_devices() -> list[DeviceInfo]:
    """The modules present."""
    entries = (_native.ModuleEntry * _native.MAX_DEVICES)()
    count = ctypes.c_size_t(0)
    code = int(_lib.KDX7400_GetModuleList(entries, _native.MAX_DEVICES, ctypes.byref(count)))
    if code == 1:  # no sg class directory: the sg driver is not loaded, so no modules
        return []
    if code != 9:  # more found than 32 is not a failure of the listing
        _check(code, "list modules")
    devices = []
    for entry in entries[: count.value]:  # the library fills at most MAX_DEVICES
        devices.append(
            DeviceInfo(
                node=_text(entry.node),
                product_id=int(entry.product_id) if entry.has_product_id else None,
                board_id=int(entry.board_id) if entry.board_id >= 0 else None,
                name=_text(entry.name),
                product=_text(entry.product),
            )
        )
    return devices


def library_version() -> str:
    """The C library's version, for example ``1.0.0``."""
    return bytes(_lib.KDXIO_GetLibraryVersion()).decode()


# ---- a module -----------------------------------------------------------------


class ChannelCounts(NamedTuple):
    """Channel counts, read when the module was opened."""

    di: int
    do: int
    ai: int
    ao: int
    pi: int
    po: int


class Safety(NamedTuple):
    """The two safety masks: which outputs take a safety value when the
    watchdog expires, and those values."""

    outputs: int
    values: int


def open(product_id: Optional[int] = None, board_id: Optional[int] = None, *,
         node: Optional[str] = None) -> Module:  # noqa: A001 - the package's verb
    """Opens a module by USB product ID and board ID (0-15), or by its sg
    node (``node="/dev/sg2"`` or ``"sg2"``). Use it in a ``with`` block, or
    call :meth:`Module.close`."""
    if node is not None:
        if product_id is not None or board_id is not None:
            _refuse("open", "give a node or a product ID and board ID, not both")
        result = int(_lib.KDX7400_OpenDevicePath(node.encode()))
        where = f"open {node}"
    else:
        if product_id is None or board_id is None:
            _refuse("open", "give a product ID and a board ID, or node=")
        assert product_id is not None and board_id is not None
        if not 0 <= product_id <= 0xFFFF:
            _refuse("open", f"product ID {product_id:#x} out of range (0 to 0xffff)")
        if not 0 <= board_id <= 255:
            _refuse("open", f"board ID {board_id} out of range (0 to 15)")
        result = int(_lib.KDX7400_OpenDevice(product_id, board_id))
        where = f"open {product_id:#06x} board {board_id}"
    if result < 0:
        # The library says why from the errno the open left.
        why = int(_lib.KDX7400_WhyOpenFailed(result, ctypes.get_errno()))
        text = bytes(_lib.KDXIO_GetOpenResultString(why)).decode()
        raise _OPEN_ERRORS.get(why, Error)(where, result, text)
    return Module(result)


def _close_index(index: int, generation: int) -> None:
    # Only this open: in a forked child the index may name the child's own.
    _lib.KDX7400_CloseDeviceGeneration(index, generation)


class Module:
    """An open module. Closes itself at the end of a ``with`` block, and
    when it is collected; close() may be called any number of times.
    Channels and mask bits beyond the module's channel counts are refused
    with InvalidArgumentError before anything is sent (the library's
    KDX7400_CheckChannel and KDX7400_CheckMask tell)."""

    def __init__(self, index: int) -> None:
        """Wraps an index that :func:`open` returned; not for direct use."""
        self._index = index
        generation = ctypes.c_uint64(0)
        _lib.KDX7400_GetDeviceGeneration(index, ctypes.byref(generation))
        self._generation = generation.value
        self._finalizer = weakref.finalize(self, _close_index, index, self._generation)
        counts = []
        for getter in ("DI", "DO", "AI", "AO", "PI", "PO"):
            value = ctypes.c_uint8(0)
            getattr(_lib, f"KDX7400_Get{getter}Total")(index, ctypes.byref(value))
            counts.append(value.value)
        self._counts = ChannelCounts(*counts)

    # -- lifetime --

    def __enter__(self) -> Module:
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()

    def __repr__(self) -> str:
        state = f"index={self._index}" if self._index >= 0 else "closed"
        return f"<kdx7400.Module {state}>"

    def __reduce__(self) -> Any:
        raise TypeError("a kdx7400.Module cannot be pickled: open the module in the process that uses it")

    @property
    def closed(self) -> bool:
        """Whether close() was called, or the module is a parent's, inherited
        across a fork (an index kept from another open is not this one)."""
        return self._index < 0 or _lib.KDX7400_CheckDeviceGeneration(self._index, self._generation) != 0

    def close(self) -> None:
        """Closes the module; later calls raise NotOpenError. When a call on
        another thread holds it past the time-out, raises BusyError and the
        module stays open (close again later). A module inherited from a
        parent process is only let go of: the parent's stays open."""
        if self._index >= 0:
            result = int(_lib.KDX7400_CloseDeviceGeneration(self._index, self._generation))
            if result == 10:
                raise BusyError("close module", result, _result_text(result) + self._held_by())
            if result != 2:  # not open: not ours to close
                _check(result, "close module")
            self._index = -1
            self._finalizer.detach()

    @contextlib.contextmanager
    def locked(self) -> Iterator[Module]:
        """Holds the module for this thread for the ``with`` block: no other
        thread, and no other program's write, reaches it in between, so that
        a read, a decision and a write are one step. Others wait up to 5 s
        (then :class:`BusyError`); it nests with every call of this thread."""
        self._call("lock module", _lib.KDX7400_LockDevice)
        index = self._index
        try:
            yield self
        finally:
            _lib.KDX7400_UnlockDevice(index)

    # -- helpers --

    def _call(self, operation: str, function: Callable[..., int], *arguments: object) -> None:
        if self.closed:
            raise NotOpenError(operation, 2, _result_text(2))
        result = int(function(self._index, *arguments))
        if result == 10:
            raise BusyError(operation, result, _result_text(result) + self._held_by())
        _check(result, operation)

    def _held_by(self) -> str:
        holder = ctypes.create_string_buffer(48)
        pid = ctypes.c_int32(0)
        if _lib.KDX7400_GetDeviceHolder(self._index, ctypes.byref(pid), holder, ctypes.sizeof(holder)) != 0:
            return ""
        return f" (held by {holder.value.decode()})" if pid.value else ""

    def _get(self, operation: str, function: Callable[..., int], kind: Type[ctypes._SimpleCData],  # type: ignore[type-arg]
             *arguments: object) -> int:
        value = kind()
        self._call(operation, function, *arguments, ctypes.byref(value))
        return int(value.value)

    # A setting's range is the library's (KDX7400_CheckSetting); only what a
    # C integer cannot hold is refused here.
    def _setting(self, operation: str, setting: int, value: int, why: str) -> None:
        if self.closed:
            raise NotOpenError(operation, 2, _result_text(2))
        if not 0 <= value < 2**64 or _lib.KDX7400_CheckSetting(self._index, setting, value) != 0:
            _refuse(operation, why)

    # The range rules are the library's; only what a C integer cannot
    # hold is refused here.
    def _channel(self, operation: str, channel: int, family: int) -> int:
        count = self._counts.do if family == _native.OUTPUTS else self._counts.di
        if not 0 <= channel < 2**32 or not self.closed and _lib.KDX7400_CheckChannel(
                self._index, family, channel) == 7:
            _refuse(operation, f"channel {channel} out of range (0 to {count - 1})")
        return channel

    def _mask(self, operation: str, mask: int, family: int) -> int:
        count = self._counts.do if family == _native.OUTPUTS else self._counts.di
        if not 0 <= mask < 2**64 or not self.closed and _lib.KDX7400_CheckMask(
                self._index, family, mask) == 7:
            _refuse(operation, f"mask {mask:#x} names channels the module lacks (it has {count})")
        return mask

    # -- identity --

    @property
    def index(self) -> int:
        """The C library's device index."""
        return self._index

    @property
    def counts(self) -> ChannelCounts:
        """All six channel counts."""
        return self._counts

    @property
    def di_count(self) -> int:
        """Digital inputs."""
        return self._counts.di

    @property
    def do_count(self) -> int:
        """Digital outputs."""
        return self._counts.do

    @property
    def node(self) -> str:
        """The sg node the module is on."""
        buffer = ctypes.create_string_buffer(64)
        self._call("get node", _lib.KDX7400_GetDeviceNode, buffer, ctypes.sizeof(buffer))
        return buffer.value.decode()

    # -- outputs --

    def write_outputs(self, mask: int) -> None:
        """Sets every output: bit n is output n."""
        self._call("write outputs", _lib.KDX7400_DO_WriteValue,
                   self._mask("write outputs", mask, _native.OUTPUTS))

    def read_outputs(self) -> int:
        """The output mask."""
        return self._get("read outputs", _lib.KDX7400_DO_ReadValue, ctypes.c_uint64)

    def write_output(self, channel: int, on: bool) -> None:
        """Switches one output."""
        self._call("write output", _lib.KDX7400_DO_WriteChannel,
                   self._channel("write output", channel, _native.OUTPUTS), int(bool(on)))

    def update_outputs(self, mask: int, value: int) -> None:
        """The outputs selected by ``mask`` take their bits in ``value``;
        the others stay. One read and one write, atomic against every other
        user of the module."""
        if not (0 <= mask < 2**64 and 0 <= value < 2**64):
            _refuse("update outputs", "mask and value are 64-bit masks")
        self._call("update outputs", _lib.KDX7400_DO_WriteMaskedValue, mask, value)

    def toggle_outputs(self, mask: int) -> int:
        """Flips the outputs selected by ``mask`` and leaves the others, atomic
        against every other user. Returns the outputs it left."""
        if not 0 <= mask < 2**64:
            _refuse("toggle outputs", "mask is a 64-bit mask")
        return self._get("toggle outputs", _lib.KDX7400_DO_ToggleValue, ctypes.c_uint64, mask)

    def switch_outputs(self, channels: Iterable[int], on: bool) -> None:
        """Switches several outputs with one masked write."""
        change = 0
        for channel in channels:
            change |= 1 << self._channel("switch outputs", channel, _native.OUTPUTS)
        self.update_outputs(change, change if on else 0)

    def set_power_on(self, mask: int) -> None:
        """The outputs the module switches on at power-on and reset."""
        self._call("set power-on outputs", _lib.KDX7400_DO_SetPowerOnEnable,
                   self._mask("set power-on outputs", mask, _native.OUTPUTS))

    def set_power_on_channel(self, channel: int, on: bool) -> None:
        """One output's power-on value."""
        self._call("set power-on output", _lib.KDX7400_DO_SetPowerOnEnableToChannel,
                   self._channel("set power-on output", channel, _native.OUTPUTS), int(bool(on)))

    def power_on(self) -> int:
        """The power-on mask."""
        return self._get("get power-on outputs", _lib.KDX7400_DO_GetPowerOnEnable, ctypes.c_uint64)

    def set_output_inverse(self, inverse: bool) -> None:
        """Output inversion."""
        self._call("set output inversion", _lib.KDX7400_DO_SetInverse, int(bool(inverse)))

    def output_inverse(self) -> int:
        """Output inversion as the module reports it."""
        return self._get("get output inversion", _lib.KDX7400_DO_GetInverse, ctypes.c_uint8)

    def set_safety(self, outputs: int, values: int) -> None:
        """Both safety masks."""
        self._mask("set safety masks", outputs | values, _native.OUTPUTS)
        self._call("set safety masks", _lib.KDX7400_DO_SetSafetyEnable, outputs, values)

    def set_safety_channel(self, channel: int, output: bool, value: bool) -> None:
        """One output's bit in each safety mask."""
        self._call("set safety channel", _lib.KDX7400_DO_SetSafetyEnableChannel,
                   self._channel("set safety channel", channel, _native.OUTPUTS),
                   int(bool(output)), int(bool(value)))

    def safety(self) -> Safety:
        """Both safety masks."""
        outputs, values = ctypes.c_uint64(0), ctypes.c_uint64(0)
        self._call("get safety masks", _lib.KDX7400_DO_GetSafetyEnable,
                   ctypes.byref(outputs), ctypes.byref(values))
        return Safety(outputs.value, values.value)

    # -- inputs and counters --

    def read_inputs(self) -> int:
        """The input mask: bit n is input n."""
        return self._get("read inputs", _lib.KDX7400_DI_ReadValue, ctypes.c_uint64)

    def read_input(self, channel: int) -> bool:
        """One input."""
        return bool(self._get("read input", _lib.KDX7400_DI_ReadChannel, ctypes.c_uint8,
                              self._channel("read input", channel, _native.INPUTS)))

    def set_input_filter(self, value: int) -> None:
        """The input filter, 0 to 65535."""
        self._setting("set input filter", _native.SETTING_FILTER, value, f"filter {value} out of range (0 to 65535)")
        self._call("set input filter", _lib.KDX7400_DI_SetFilter, value)

    def input_filter(self) -> int:
        """The input filter."""
        return self._get("get input filter", _lib.KDX7400_DI_GetFilter, ctypes.c_uint16)

    def set_input_inverse(self, inverse: bool) -> None:
        """Input inversion."""
        self._call("set input inversion", _lib.KDX7400_DI_SetInverse, int(bool(inverse)))

    def input_inverse(self) -> int:
        """Input inversion as the module reports it."""
        return self._get("get input inversion", _lib.KDX7400_DI_GetInverse, ctypes.c_uint8)

    def set_counter_edge(self, edge: int) -> None:
        """0 counts rising edges, 1 falling edges."""
        self._setting("set counter edge", _native.SETTING_COUNTER_EDGE, edge, "edge must be 0 (rising) or 1 (falling)")
        self._call("set counter edge", _lib.KDX7400_DI_SetCntEdgeTrigger, edge)

    def counter_edge(self) -> int:
        """The counter edge."""
        return self._get("get counter edge", _lib.KDX7400_DI_GetCntEdgeTrigger, ctypes.c_uint8)

    def read_counters(self) -> list[int]:
        """Every input's counter."""
        values = (ctypes.c_uint32 * _native.MAX_CHANNELS)()
        self._call("read counters", _lib.KDX7400_DI_ReadCounterValue, values, self._counts.di)
        return [int(v) for v in values[: self._counts.di]]  # the library refuses more than it holds

    def read_counter(self, channel: int) -> int:
        """One input's counter."""
        return self._get("read counter", _lib.KDX7400_DI_ReadChannelCounter, ctypes.c_uint32,
                         self._channel("read counter", channel, _native.INPUTS))

    def clear_counters(self, mask: int) -> None:
        """Clears the counters of the mask's bits."""
        self._call("clear counters", _lib.KDX7400_DI_ClearCounter,
                   self._mask("clear counters", mask, _native.INPUTS))

    def _begin_sampling(self, state: _native.InputState) -> None:
        self._call("begin sampling", _lib.KDX7400_DI_BeginSampling, ctypes.byref(state))

    def _sample(self, state: _native.InputState, events: _native.InputEvents) -> int:
        """Samples into state and events; the inputs whose counter was cleared since."""
        cleared = ctypes.c_uint64(0)
        self._call("sample inputs", _lib.KDX7400_DI_SampleClears, ctypes.byref(state), ctypes.byref(events),
                   ctypes.byref(cleared))
        return cleared.value

    def watch(self, interval: float = 0.1) -> Watcher:
        """Samples the inputs every ``interval`` seconds on a thread and
        yields :class:`InputEvent` objects: every edge, and every pulse the
        module counted between two samples however short (only the edge the
        counter edge setting names is counted)::

            with module.watch(0.01) as events:
                for event in events:
                    print(event.channel, event.kind, event.count)
        """
        return Watcher(self, interval)

    async def watch_async(self, interval: float = 0.1) -> AsyncIterator[InputEvent]:
        """The same events for asyncio, through the watcher's descriptor
        (``loop.add_reader``)::

            async for event in module.watch_async(0.01):
                ...
        """
        import asyncio

        loop = asyncio.get_running_loop()
        ready = asyncio.Event()
        with self.watch(interval) as watcher:
            loop.add_reader(watcher.fileno(), ready.set)
            try:
                while True:
                    await ready.wait()
                    ready.clear()
                    for event in watcher.read_events():
                        yield event
                        if event.kind == "stopped":
                            return
            finally:
                loop.remove_reader(watcher.fileno())

    def clear_counter(self, channel: int) -> None:
        """Clears one counter."""
        self._call("clear counter", _lib.KDX7400_DI_ClearCounterChannel,
                   self._channel("clear counter", channel, _native.INPUTS))

    # -- identity, settings, commands, watchdog --

    def firmware_version(self) -> int:
        """The firmware version, for example 0x0102."""
        return self._get("get firmware version", _lib.KDX7400_GetFwVer, ctypes.c_uint16)

    def firmware_date(self) -> str:
        """The firmware date, 10 characters."""
        buffer = ctypes.create_string_buffer(11)
        self._call("get firmware date", _lib.KDX7400_GetFwDate, buffer)
        return buffer.value.decode("ascii", "replace")

    def set_nickname(self, name: str) -> None:
        """The nickname, at most 32 bytes of UTF-8; a longer one is refused."""
        raw = name.encode()
        if b"\0" in raw:
            _refuse("set nickname", "a nickname holds no NUL")
        self._setting("set nickname", _native.SETTING_NICKNAME_BYTES, len(raw), "a nickname holds at most 32 bytes")
        self._call("set nickname", _lib.KDX7400_SetDeviceNickName, raw)

    def nickname(self) -> str:
        """The nickname."""
        buffer = ctypes.create_string_buffer(33)
        self._call("get nickname", _lib.KDX7400_GetDeviceNickName, buffer)
        return buffer.value.decode("utf-8", "replace")

    def set_write_protect(self, protect: bool) -> None:
        """Write protection of the nickname."""
        self._call("set write protection", _lib.KDX7400_SetWriteProtect, int(bool(protect)))

    def write_protect(self) -> int:
        """Write protection."""
        return self._get("get write protection", _lib.KDX7400_GetWriteProtect, ctypes.c_uint8)

    def set_frame_rate_factor(self, factor: int) -> None:
        """The frame-rate factor, 0 to 255."""
        self._setting("set frame-rate factor", _native.SETTING_FRAME_RATE, factor,
                      f"factor {factor} out of range (0 to 255)")
        self._call("set frame-rate factor", _lib.KDX7400_SetFrameRateFactor, factor)

    def frame_rate_factor(self) -> int:
        """The frame-rate factor."""
        return self._get("get frame-rate factor", _lib.KDX7400_GetFrameRateFactor, ctypes.c_uint8)

    def set_opcode(self, opcode: int) -> None:
        """The opcode register, 0 to 255."""
        if not 0 <= opcode <= 255:
            _refuse("set opcode", f"opcode {opcode} out of range (0 to 255)")
        self._call("set opcode", _lib.setopcode, opcode)

    def opcode(self) -> int:
        """The opcode register."""
        return self._get("get opcode", _lib.getopcode, ctypes.c_uint8)

    def load_defaults(self) -> None:
        """The module restores its default settings."""
        self._call("load defaults", _lib.KDX7400_LoadDefault)

    def sync(self) -> None:
        """The module synchronises."""
        self._call("sync", _lib.KDX7400_SYNCDevice)

    def reset(self) -> None:
        """The module resets; it stays open."""
        self._call("reset", _lib.KDX7400_ForceReset)

    def set_watchdog_timeout(self, ms: int) -> None:
        """Arms the software watchdog: 100 to 1800000 ms (disable_watchdog turns it off)."""
        self._setting("set watchdog timeout", _native.SETTING_WATCHDOG, ms, "watchdog timeout must be 100 to 1800000 ms")
        self._call("set watchdog timeout", _lib.KDX7400_SetSoftWDTTimeout, ms)

    def watchdog_timeout(self) -> int:
        """The watchdog timeout in ms; 0 when off."""
        return self._get("get watchdog timeout", _lib.KDX7400_GetSoftWDTTimeout, ctypes.c_uint32)

    def clear_watchdog_error(self) -> None:
        """Clears the watchdog error and arms the watchdog afresh."""
        self._call("clear watchdog error", _lib.KDX7400_ClearWDTErrLED)

    def disable_watchdog(self) -> None:
        """Turns the watchdog off (timeout 0); other settings stay."""
        self._call("disable watchdog", _lib.KDX7400_DisableSoftWDT)
