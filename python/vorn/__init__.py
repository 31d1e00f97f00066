# SPDX-License-Identifier: LGPL-2.1-or-later
"""Touch-memory keys from Python: a binding of libvorn's C API.

A line is a touch-memory device, /dev/touchm0 for the first one::

    import vorn

    with vorn.Line() as line:
        if line.present():
            print(vorn.rom_to_text(line.rom()), line.key_size())
            data = line.read(0, 32)
        event = line.wait(timeout=5.0)   # None when nothing happened
        if event and event.kind == vorn.ATTACHED:
            print("attached", event.rom.hex())

Line.fileno() is the line's event descriptor, readable exactly while an
event waits, so selectors and asyncio can wait on it::

    loop.add_reader(line.fileno(), lambda: print(line.read_event()))

Every failure raises OSError with the driver's errno: ENXIO no key,
ENODEV the line is gone, ETIMEDOUT the line stopped answering, EIO a fault
on the line, EOPNOTSUPP a transfer to a key without memory, ENOSPC a write
at or after the end of the key's memory.

The module uses nothing but the standard library and libvorn.so.1, found
by the dynamic loader as any library is.
"""

import ctypes
import dataclasses
import enum
import errno as _errno
import math
import os
import threading
import time

__all__ = [
    "ATTACHED",
    "DEFAULT_PATH",
    "Event",
    "EventKind",
    "Line",
    "REMOVED",
    "ROM_BYTES",
    "rom_from_text",
    "rom_to_text",
]

#: The first touch-memory line.
DEFAULT_PATH = "/dev/touchm0"
#: Bytes of a ROM: family code, 48-bit serial (low byte first), CRC-8.
ROM_BYTES = 8
_ROM_TEXT_SIZE = 2 * ROM_BYTES + 1
_OFFSET_MAX = 0xFFFFFFFF
_MS_PER_S = 1000
_SONAME = "libvorn.so.1"


class EventKind(enum.IntEnum):
    """What happened to the key on a line (the driver's numbers)."""

    ATTACHED = 1
    REMOVED = 2


ATTACHED = EventKind.ATTACHED
REMOVED = EventKind.REMOVED


@dataclasses.dataclass(frozen=True)
class Event:
    """One change of the key on a line.

    kind: EventKind.ATTACHED or EventKind.REMOVED (a plain int for a kind
        this module does not know).
    rom: the key's 8-byte ROM, family code first; for a removal the key
        that went (all zero when the driver never read it).
    timestamp_ns: time.monotonic_ns() time when the driver saw the change.
    seqno: the line's count of changes, from 1.
    lost: changes this reader lost just before this one (it fell behind
        the driver's queue); 0 normally.
    """

    kind: int
    rom: bytes
    timestamp_ns: int = 0
    seqno: int = 0
    lost: int = 0


class _CEvent(ctypes.Structure):
    _fields_ = [
        ("kind", ctypes.c_int),
        ("rom", ctypes.c_uint8 * ROM_BYTES),
        ("timestamp_ns", ctypes.c_uint64),
        ("seqno", ctypes.c_uint32),
        ("lost", ctypes.c_uint32),
    ]


_lib = None
_lib_lock = threading.Lock()


def _library():
    """libvorn, loaded on first use with the C API's prototypes."""
    global _lib
    with _lib_lock:
        if _lib is not None:
            return _lib
        lib = ctypes.CDLL(_SONAME, use_errno=True)
        line_p = ctypes.c_void_p
        rom_p = ctypes.POINTER(ctypes.c_uint8 * ROM_BYTES)
        protos = {
            "vorn_open": (line_p, [ctypes.c_char_p]),
            "vorn_close": (None, [line_p]),
            "vorn_fd": (ctypes.c_int, [line_p]),
            "vorn_presence": (ctypes.c_int, [line_p]),
            "vorn_read_rom": (ctypes.c_int, [line_p, rom_p]),
            "vorn_rom_to_text": (ctypes.c_int, [rom_p, ctypes.c_char_p, ctypes.c_size_t]),
            "vorn_rom_from_text": (ctypes.c_int, [ctypes.c_char_p, rom_p]),
            "vorn_key_size": (ctypes.c_long, [line_p]),
            "vorn_read": (
                ctypes.c_ssize_t,
                [line_p, ctypes.c_uint32, ctypes.c_void_p, ctypes.c_size_t],
            ),
            "vorn_write": (
                ctypes.c_ssize_t,
                [line_p, ctypes.c_uint32, ctypes.c_void_p, ctypes.c_size_t],
            ),
            "vorn_wait_event": (ctypes.c_int, [line_p, ctypes.c_int, ctypes.POINTER(_CEvent)]),
            "vorn_read_event": (ctypes.c_int, [line_p, ctypes.POINTER(_CEvent)]),
        }
        for name, (restype, argtypes) in protos.items():
            func = getattr(lib, name)
            func.restype = restype
            func.argtypes = argtypes
        _lib = lib
        return lib


def _check(result, filename=None):
    """result itself, or OSError for a -errno result."""
    if result < 0:
        code = -result
        if filename is None:
            raise OSError(code, os.strerror(code))
        raise OSError(code, os.strerror(code), filename)
    return result


def _rom_array(rom):
    data = bytes(rom)
    if len(data) != ROM_BYTES:
        raise ValueError(f"a ROM is {ROM_BYTES} bytes, not {len(data)}")
    return (ctypes.c_uint8 * ROM_BYTES).from_buffer_copy(data)


def rom_to_text(rom):
    """The text form of an 8-byte ROM: 16 lower-case hex digits, the bytes
    in the order the line carries them (family code first, CRC last), e.g.
    "04efbeadde0000cd". The same form as the driver's sysfs attribute key
    and its uevents."""
    buf = ctypes.create_string_buffer(_ROM_TEXT_SIZE)
    _check(_library().vorn_rom_to_text(ctypes.byref(_rom_array(rom)), buf, len(buf)))
    return buf.value.decode("ascii")


def rom_from_text(text):
    """The 8-byte ROM of its text form (16 hex digits, either case);
    ValueError for anything else."""
    raw = text.encode("ascii", "replace") if isinstance(text, str) else bytes(text)
    rom = (ctypes.c_uint8 * ROM_BYTES)()
    if _library().vorn_rom_from_text(raw, ctypes.byref(rom)) < 0:
        raise ValueError(f"not the text form of a ROM: {text!r}")
    return bytes(rom)


def _event(c_event):
    try:
        kind = EventKind(c_event.kind)
    except ValueError:
        kind = c_event.kind
    return Event(
        kind=kind,
        rom=bytes(c_event.rom),
        timestamp_ns=c_event.timestamp_ns,
        seqno=c_event.seqno,
        lost=c_event.lost,
    )


class Line:
    """An open touch-memory line (a /dev/touchmN device).

    Opening it does not start the driver's watch for keys: that runs from
    the first call of fileno(), wait() or read_event() on (while the line
    stays open), and events are those seen from then on. Call fileno()
    right after opening to miss none. A Line is closed by close(), at the
    end of a with block, or when it is collected; it may wait in one thread
    while another makes requests, but must not be closed while a call on it
    runs.
    """

    def __init__(self, path=DEFAULT_PATH):
        """Opens path; OSError when it cannot be opened."""
        self._line = None
        self.path = os.fsdecode(path)
        # Kept with the line, so that closing it needs no module global
        # (a line collected at interpreter exit).
        self._lib = lib = _library()
        handle = lib.vorn_open(os.fsencode(path))
        if not handle:
            code = ctypes.get_errno()
            raise OSError(code, os.strerror(code), self.path)
        self._line = handle

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        self.close()

    def __repr__(self):
        state = "closed" if self._line is None else "open"
        return f"<vorn.Line {self.path!r} {state}>"

    @property
    def closed(self):
        """True once the line is closed."""
        return self._line is None

    def close(self):
        """Closes the line and its event descriptor; may be called again."""
        handle, self._line = self._line, None
        if handle is not None:
            self._lib.vorn_close(handle)

    def _handle(self):
        if self._line is None:
            raise ValueError("operation on a closed line")
        return self._line

    def fileno(self):
        """The line's event descriptor: readable exactly while an event
        waits (then read_event() takes it), POLLHUP once the line is gone.
        It belongs to the line: do not close it."""
        return _check(_library().vorn_fd(self._handle()))

    def present(self):
        """True when a key answers the presence request."""
        return bool(_check(_library().vorn_presence(self._handle())))

    def rom(self):
        """The key's 8-byte ROM, family code first, CRC last (ENXIO: no
        key)."""
        rom = (ctypes.c_uint8 * ROM_BYTES)()
        _check(_library().vorn_read_rom(self._handle(), ctypes.byref(rom)))
        return bytes(rom)

    def key_size(self):
        """Bytes of memory of the key on the line; 0 for a key without
        memory (ENXIO: no key)."""
        return _check(_library().vorn_key_size(self._handle()))

    def read(self, offset, length):
        """Up to length bytes of key memory from offset: fewer only where
        the key's memory ends, b"" at or after its end."""
        _check_offset(offset)
        if length < 0:
            raise ValueError("length must not be negative")
        buf = ctypes.create_string_buffer(length) if length else None
        n = _check(_library().vorn_read(self._handle(), offset, buf, length))
        return buf.raw[:n] if buf is not None else b""

    def write(self, offset, data):
        """Writes data (any bytes-like object) to key memory at offset; the
        count written, fewer only where the key's memory ends (ENOSPC when
        offset is at or after its end)."""
        _check_offset(offset)
        raw = bytes(data)
        buf = ctypes.create_string_buffer(raw, len(raw)) if raw else None
        return _check(_library().vorn_write(self._handle(), offset, buf, len(raw)))

    def wait(self, timeout=None):
        """Waits for the next key event: an Event, or None when timeout
        seconds passed first (None: wait for ever, 0: do not wait).
        A signal during the wait runs its Python handler; the wait then
        goes on for the time left, unless the handler raised."""
        if timeout is not None:
            if timeout < 0:
                raise ValueError("timeout must not be negative")
            deadline = time.monotonic() + timeout
        ev = _CEvent()
        while True:
            if timeout is None:
                wait_ms = -1
            else:
                left = max(0.0, deadline - time.monotonic())
                wait_ms = min(math.ceil(left * _MS_PER_S), 2**31 - 1)
            r = _library().vorn_wait_event(self._handle(), wait_ms, ctypes.byref(ev))
            if r == -_errno.EINTR:
                # Pending Python signal handlers run here, between calls.
                continue
            if _check(r) == 0:
                return None
            return _event(ev)

    def read_event(self):
        """The next event without waiting, or None when none waits: for a
        caller whose own selector said fileno() is readable."""
        ev = _CEvent()
        r = _library().vorn_read_event(self._handle(), ctypes.byref(ev))
        if r == -_errno.EAGAIN:
            return None
        _check(r)
        return _event(ev)


def _check_offset(offset):
    if not 0 <= offset <= _OFFSET_MAX:
        raise ValueError(f"offset out of range: {offset}")
