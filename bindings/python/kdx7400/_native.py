# SPDX-License-Identifier: MIT
"""Loading libkdx7400.so.1 and declaring its C functions for ctypes."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sysconfig
from pathlib import Path

LIBRARY_NAME = "libkdx7400.so.1"
LIBRARY_ENV = "KDX7400_LIBRARY"

MAX_DEVICES = 32
MAX_CHANNELS = 64  # KDX7400_MAX_CHANNELS


class ModuleEntry(ctypes.Structure):
    """kdx7400_module_entry of kdx7400.h."""

    _fields_ = [
        ("node", ctypes.c_char * 40),
        ("product_id", ctypes.c_uint16),
        ("has_product_id", ctypes.c_int32),
        ("board_id", ctypes.c_int16),
        ("name", ctypes.c_char * 32),
        ("product", ctypes.c_char * 17),
    ]


class InputState(ctypes.Structure):
    """kdx7400_input_state of kdx7400.h: the caller's previous sample."""

    _fields_ = [
        ("levels", ctypes.c_uint64),
        ("counters", ctypes.c_uint32 * MAX_CHANNELS),
        ("channels", ctypes.c_uint8),
        ("sampled", ctypes.c_uint8),
        ("edge", ctypes.c_uint8),
        ("sampled_at", ctypes.c_uint32),
    ]


class InputEvents(ctypes.Structure):
    """kdx7400_input_events of kdx7400.h: what happened between two samples."""

    _fields_ = [
        ("levels", ctypes.c_uint64),
        ("changed", ctypes.c_uint64),
        ("unseen", ctypes.c_uint64),
        ("pulses", ctypes.c_uint32 * MAX_CHANNELS),
    ]


class InputRecord(ctypes.Structure):
    """kdx7400_input_record of kdx7400.h."""

    _fields_ = [("channel", ctypes.c_uint8), ("kind", ctypes.c_uint8), ("count", ctypes.c_uint32)]


INPUT_KINDS = {1: "rising", 2: "falling", 3: "pulses"}  # KDX7400_INPUT_*


def _candidates() -> list[str]:
    """Where the library is looked for, in order."""
    chosen = os.environ.get(LIBRARY_ENV)
    if chosen:
        return [chosen]
    here = Path(__file__).resolve().parent
    # Installed as PREFIX/lib/python3*/dist-packages/kdx7400: the library
    # of the same prefix, found before ldconfig has run or where it never
    # does (an unpacked package, a private prefix).
    candidates = [here / LIBRARY_NAME]
    if here.parent.name in ("dist-packages", "site-packages") and len(here.parents) > 3:
        lib = here.parents[3] / "lib"
        multiarch = sysconfig.get_config_var("MULTIARCH")
        candidates += [lib / multiarch / LIBRARY_NAME] if multiarch else []
        candidates.append(lib / LIBRARY_NAME)
    return [str(c) for c in candidates] + [LIBRARY_NAME]


def load() -> ctypes.CDLL:
    """The library, with every function used here declared."""
    tried: list[str] = []
    for candidate in _candidates():
        if "/" in candidate and not Path(candidate).exists():
            tried.append(f"{candidate} (no such file)")
            continue
        try:
            library = ctypes.CDLL(candidate, use_errno=True)  # failed opens set errno
        except OSError as error:
            tried.append(f"{candidate} ({error})")
            continue
        _declare(library)
        return library
    raise ImportError(
        "kdx7400: cannot load the C library; tried "
        + "; ".join(tried)
        + f". Install libkdx7400, or set {LIBRARY_ENV} to the path of {LIBRARY_NAME}."
    )


# Settings of KDX7400_CheckSetting.
SETTING_FILTER = 1
SETTING_COUNTER_EDGE = 3
SETTING_WATCHDOG = 7
SETTING_FRAME_RATE = 9
SETTING_NICKNAME_BYTES = 10

# Channel families of KDX7400_CheckMask and KDX7400_CheckChannel.
OUTPUTS = 0
INPUTS = 1

_I16 = ctypes.c_int16
_I32 = ctypes.c_int32
_U8 = ctypes.c_uint8
_U16 = ctypes.c_uint16
_U32 = ctypes.c_uint32
_U64 = ctypes.c_uint64
_P = ctypes.POINTER

# name: (result, arguments)
_SIGNATURES: dict[str, tuple[object, list[object]]] = {
    "KDX7400_OpenDevice": (_I32, [_U16, _U8]),
    "KDX7400_OpenDevicePath": (_I32, [ctypes.c_char_p]),
    "KDX7400_WhyOpenFailed": (_I32, [_I32, ctypes.c_int]),
    "KDX7400_CloseDevice": (_I16, [_I32]),
    "KDX7400_CloseDeviceGeneration": (_I16, [_I32, _U64]),
    "KDX7400_GetDeviceGeneration": (_I16, [_I32, _P(_U64)]),
    "KDX7400_CheckDeviceGeneration": (_I16, [_I32, _U64]),
    "KDX7400_LockDevice": (_I16, [_I32]),
    "KDX7400_GetDeviceHolder": (_I16, [_I32, _P(_I32), ctypes.c_char_p, ctypes.c_size_t]),
    "KDX7400_UnlockDevice": (_I16, [_I32]),
    "KDX7400_CheckMask": (_I16, [_I32, _I32, _U64]),
    "KDX7400_CheckSetting": (_I16, [_I32, _I32, _U64]),
    "KDX7400_CheckChannel": (_I16, [_I32, _I32, _U32]),
    "KDX7400_GetDeviceNode": (_I16, [_I32, ctypes.c_char_p, ctypes.c_size_t]),
    "KDX7400_GetModuleList": (_I16, [_P(ModuleEntry), ctypes.c_size_t, _P(ctypes.c_size_t)]),
    "KDX7400_GetDOTotal": (_I16, [_I32, _P(_U8)]),
    "KDX7400_GetDITotal": (_I16, [_I32, _P(_U8)]),
    "KDX7400_GetAOTotal": (_I16, [_I32, _P(_U8)]),
    "KDX7400_GetAITotal": (_I16, [_I32, _P(_U8)]),
    "KDX7400_GetPOTotal": (_I16, [_I32, _P(_U8)]),
    "KDX7400_GetPITotal": (_I16, [_I32, _P(_U8)]),
    "KDXIO_GetLibraryVersion": (ctypes.c_char_p, []),
    "KDXIO_GetResultString": (ctypes.c_char_p, [ctypes.c_int]),
    "KDXIO_GetOpenResultString": (ctypes.c_char_p, [_I32]),
    "KDX7400_DO_WriteValue": (_I16, [_I32, _U64]),
    "KDX7400_DO_WriteChannel": (_I16, [_I32, _U8, _U8]),
    "KDX7400_DO_WriteMaskedValue": (_I16, [_I32, _U64, _U64]),
    "KDX7400_DO_ToggleValue": (_I16, [_I32, _U64, _P(_U64)]),
    "KDX7400_DO_ReadValue": (_I16, [_I32, _P(_U64)]),
    "KDX7400_DO_SetPowerOnEnable": (_I16, [_I32, _U64]),
    "KDX7400_DO_SetPowerOnEnableToChannel": (_I16, [_I32, _U8, _U8]),
    "KDX7400_DO_GetPowerOnEnable": (_I16, [_I32, _P(_U64)]),
    "KDX7400_DO_SetInverse": (_I16, [_I32, _U8]),
    "KDX7400_DO_GetInverse": (_I16, [_I32, _P(_U8)]),
    "KDX7400_DO_SetSafetyEnable": (_I16, [_I32, _U64, _U64]),
    "KDX7400_DO_SetSafetyEnableChannel": (_I16, [_I32, _U8, _U8, _U8]),
    "KDX7400_DO_GetSafetyEnable": (_I16, [_I32, _P(_U64), _P(_U64)]),
    "KDX7400_DI_ReadValue": (_I16, [_I32, _P(_U64)]),
    "KDX7400_DI_Sample": (_I16, [_I32, _P(InputState), _P(InputEvents)]),
    "KDX7400_DI_SampleClears": (_I16, [_I32, _P(InputState), _P(InputEvents), _P(ctypes.c_uint64)]),
    "KDX7400_DI_BeginSampling": (_I16, [_I32, _P(InputState)]),
    "KDX7400_DI_EventRecords": (_I16, [_P(InputEvents), ctypes.c_uint8, _P(InputRecord), ctypes.c_size_t,
                                       _P(ctypes.c_size_t)]),
    "KDX7400_DI_ReadChannel": (_I16, [_I32, _U8, _P(_U8)]),
    "KDX7400_DI_SetFilter": (_I16, [_I32, _U16]),
    "KDX7400_DI_GetFilter": (_I16, [_I32, _P(_U16)]),
    "KDX7400_DI_SetInverse": (_I16, [_I32, _U8]),
    "KDX7400_DI_GetInverse": (_I16, [_I32, _P(_U8)]),
    "KDX7400_DI_SetCntEdgeTrigger": (_I16, [_I32, _U8]),
    "KDX7400_DI_GetCntEdgeTrigger": (_I16, [_I32, _P(_U8)]),
    "KDX7400_DI_ReadCounterValue": (_I16, [_I32, _P(_U32), _U8]),
    "KDX7400_DI_ReadChannelCounter": (_I16, [_I32, _U8, _P(_U32)]),
    "KDX7400_DI_ClearCounter": (_I16, [_I32, _U64]),
    "KDX7400_DI_ClearCounterChannel": (_I16, [_I32, _U8]),
    "KDX7400_GetFwVer": (_I16, [_I32, _P(_U16)]),
    "KDX7400_GetFwDate": (_I16, [_I32, ctypes.c_char_p]),
    "KDX7400_SetDeviceNickName": (_I16, [_I32, ctypes.c_char_p]),
    "KDX7400_GetDeviceNickName": (_I16, [_I32, ctypes.c_char_p]),
    "KDX7400_SetWriteProtect": (_I16, [_I32, _U8]),
    "KDX7400_GetWriteProtect": (_I16, [_I32, _P(_U8)]),
    "KDX7400_SetFrameRateFactor": (_I16, [_I32, _U8]),
    "KDX7400_GetFrameRateFactor": (_I16, [_I32, _P(_U8)]),
    "KDX7400_LoadDefault": (_I16, [_I32]),
    "KDX7400_SYNCDevice": (_I16, [_I32]),
    "KDX7400_ForceReset": (_I16, [_I32]),
    "setopcode": (_I16, [_I32, _U8]),
    "getopcode": (_I16, [_I32, _P(_U8)]),
    "KDX7400_SetSoftWDTTimeout": (_I16, [_I32, _U32]),
    "KDX7400_GetSoftWDTTimeout": (_I16, [_I32, _P(_U32)]),
    "KDX7400_ClearWDTErrLED": (_I16, [_I32]),
    "KDX7400_DisableSoftWDT": (_I16, [_I32]),
}


def _declare(library: ctypes.CDLL) -> None:
    for name, (result, arguments) in _SIGNATURES.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments
