# SPDX-License-Identifier: MIT
"""The two C libraries, loaded through ctypes, and their structs and calls.

The libraries are found by their SONAMEs, in the order the dynamic loader
searches for a program with a run path: the folders of LD_LIBRARY_PATH, then
the library folder of the prefix the package was installed into with CMake
(recorded in the generated module ``_prefix``), then the loader's own cache
and default folders. Every call has its argument and result types declared;
the structs mirror the C headers and their sizes are checked against a
compiled probe by the tests.
"""

import ctypes
import os
from typing import Any, List, Optional

CODEC_SONAME = "libsci_codec.so.1"
STREAM_SONAME = "libsci_stream.so.1"

# Result codes of the codec (sci_codec.h) and the reader's partial frame (sci_stream.h).
SCI_OK = 0
SCI_ERR_ARG = -1
SCI_ERR_SYNC = -2
SCI_ERR_ADDR = -3
SCI_ERR_CMD = -4
SCI_ERR_CHECKSUM = -5
SCI_STREAM_PARTIAL = -6
SCI_STREAM_ANY = -1
SCI_V1_MAX_PAYLOAD = 252
SCI_V2_MAX_PAYLOAD = 255
SCI_STREAM_FRAME_MAX = 263

# The reader's struct: its size on every target the project builds for. Only
# the counters at its start are the caller's; the rest is the reader's own
# and is kept opaque here.
SCI_STREAM_SIZE = 1104


class PackRecord(ctypes.Structure):
    """sci_pack_t: packed, so `data` follows `len` at offset 6 unaligned."""

    _pack_ = 1
    _fields_ = [
        ("version", ctypes.c_uint8),
        ("addr", ctypes.c_uint8),
        ("cmd", ctypes.c_uint16),
        ("len", ctypes.c_uint16),
        ("data", ctypes.POINTER(ctypes.c_uint8)),
    ]


class StreamCounters(ctypes.Structure):
    """sci_stream_counters_t: what the reader has seen."""

    _fields_ = [
        ("good", ctypes.c_uint64),
        ("bad", ctypes.c_uint64),
        ("skipped", ctypes.c_uint64),
        ("dropped", ctypes.c_uint64),
    ]


class StreamState(ctypes.Structure):
    """sci_stream_t: the counters, then the reader's own state, 8-byte aligned."""

    _fields_ = [
        ("counters", StreamCounters),
        ("_own", ctypes.c_uint64 * ((SCI_STREAM_SIZE - ctypes.sizeof(StreamCounters)) // 8)),
    ]


class StreamFrame(ctypes.Structure):
    """sci_stream_frame_t: one frame as sci_stream_next hands it out."""

    _fields_ = [
        ("offset", ctypes.c_uint64),
        ("time_ms", ctypes.c_uint64),
        ("bytes", ctypes.c_void_p),
        ("payload", ctypes.c_void_p),
        ("size", ctypes.c_uint16),
        ("total", ctypes.c_uint16),
        ("result", ctypes.c_int16),
        ("version", ctypes.c_uint8),
        ("addr", ctypes.c_uint8),
        ("cmd", ctypes.c_uint16),
        ("len", ctypes.c_uint16),
    ]


def _installed_libdir() -> Optional[str]:
    """The library folder of the prefix CMake installed the package into, if it did."""
    try:
        from . import _prefix  # type: ignore[attr-defined]  # written by CMake's install
    except ImportError:
        return None
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.normpath(os.path.join(here, _prefix.LIBDIR_FROM_PACKAGE))


def _candidates(soname: str) -> List[str]:
    """Where to look for a library, in the order of the search."""
    places = [d for d in os.environ.get("LD_LIBRARY_PATH", "").split(":") if d]
    installed = _installed_libdir()
    if installed is not None:
        places.append(installed)
    return [os.path.join(d, soname) for d in places]


def _load(soname: str) -> ctypes.CDLL:
    """Loads one library, or raises ImportError naming every place tried."""
    tried = []
    for path in _candidates(soname):
        if os.path.exists(path):
            try:
                return ctypes.CDLL(path)
            except OSError as e:
                tried.append(f"{path} ({e})")
        else:
            tried.append(path)
    try:
        return ctypes.CDLL(soname)
    except OSError as e:
        tried.append(f"the loader's cache and default folders ({e})")
    raise ImportError(
        f"korvi_sci cannot load {soname}; looked in: " + "; ".join(tried) + ". Install the "
        "libraries (cmake --install BUILD --component sci_codec and --component sci_stream) "
        "into the package's prefix or a folder the loader searches (run ldconfig), or name "
        "their folder in LD_LIBRARY_PATH"
    )


# The codec first: the reader needs it, and the loader then takes the one
# already loaded, whatever its folder.
codec = _load(CODEC_SONAME)
stream = _load(STREAM_SONAME)

_u8p = ctypes.POINTER(ctypes.c_uint8)


def _bind(library: ctypes.CDLL, name: str, restype: Any, *argtypes: Any) -> None:
    """Declares one call's types, or raises ImportError when the library lacks it."""
    try:
        call = getattr(library, name)
    except AttributeError:
        raise ImportError(
            f"korvi_sci cannot use {library._name}: it has no {name} (a library of another "
            "version?); install the libraries of the same build as the package",
            path=library._name,
        ) from None
    call.argtypes = list(argtypes)
    call.restype = restype


_pack_p = ctypes.POINTER(PackRecord)
_bind(codec, "cu_korvi_sci_pack", ctypes.c_int16, _pack_p, _u8p, ctypes.c_uint16)
_bind(codec, "cu_korvi_sci_unpack", ctypes.c_int16,
      ctypes.c_uint8, ctypes.c_uint16, _pack_p, _u8p, ctypes.c_uint16)  # fmt: skip
_state_p = ctypes.POINTER(StreamState)
_bind(stream, "sci_stream_init", None, _state_p, ctypes.c_uint32)
_bind(stream, "sci_stream_filter", None, _state_p, ctypes.c_int32, ctypes.c_int32)
_bind(stream, "sci_stream_feed", ctypes.c_size_t,
      _state_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_uint64)  # fmt: skip
_bind(stream, "sci_stream_next", ctypes.c_int, _state_p, ctypes.POINTER(StreamFrame))
_bind(stream, "sci_stream_end", None, _state_p)
