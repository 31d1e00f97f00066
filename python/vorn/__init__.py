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
event waits, so selectors and asyncio can wait on it. Once the line is gone
the descriptor stays readable (POLLHUP) and read_event() raises OSError
(ENODEV): a reader must then be removed, or its callback runs again and
again::

    async def print_events(line):
        loop = asyncio.get_running_loop()
        gone = loop.create_future()

        def on_readable():
            try:
                event = line.read_event()
            except OSError as err:          # ENODEV: the line is gone
                loop.remove_reader(line.fileno())
                gone.set_exception(err)
                return
            if event is not None:
                print(event)

        loop.add_reader(line.fileno(), on_readable)
        await gone                          # raises the OSError

Every failure raises OSError with the driver's errno: ENXIO no key,
ENODEV the line is gone, ETIMEDOUT the line stopped answering, EIO a fault
on the line, EOPNOTSUPP a transfer to a key without memory, ENOSPC a write
at or after the end of the key's memory; ENOTTY when the path opened is
not a touch-memory line. Arguments of the wrong type raise TypeError,
out-of-range ones ValueError.

The module uses nothing but the standard library and libvorn.so.1, found
by the dynamic loader as any library is.
"""

import ctypes
import dataclasses
import enum
import errno as _errno
import math
import operator
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
# The longest wait one C call takes, in milliseconds (a C int).
_WAIT_MS_MAX = 2**31 - 1
# The most bytes one read or write may ask for: the C API's limit (a
# ssize_t count).
_LENGTH_MAX = 2 ** (8 * ctypes.sizeof(ctypes.c_ssize_t) - 1) - 1
# A read asks for at most this much at a time, so that a length far beyond
# the key's memory allocates no more than the key gives (a key holds at
# most a few KiB; the line addresses 64 KiB).
_READ_CHUNK = 65536
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


def _bytes_like(data, what):
    """The bytes of a bytes-like object (bytes, bytearray, memoryview,
    array...); TypeError for anything else (an int is no count of zero
    bytes, a str no bytes)."""
    if isinstance(data, bytes):
        return data
    try:
        with memoryview(data) as view:
            return view.tobytes()
    except TypeError:
        raise TypeError(f"{what} must be a bytes-like object, not "
                        f"{type(data).__name__}") from None


def _no_nul(raw, what):
    if b"\0" in raw:
        raise ValueError(f"embedded null byte in {what}")
    return raw


def _rom_array(rom):
    data = _bytes_like(rom, "a ROM")
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
    raw = (text.encode("ascii", "replace") if isinstance(text, str)
           else _bytes_like(text, "the text of a ROM"))
    rom = (ctypes.c_uint8 * ROM_BYTES)()
    # A NUL would end the text for the C call: "...\0junk" is no ROM.
    if b"\0" in raw or _library().vorn_rom_from_text(raw, ctypes.byref(rom)) < 0:
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
        """Opens path; OSError when it cannot be opened (ENOTTY: it is no
        touch-memory line), ValueError for a path with a NUL in it."""
        self._line = None
        raw = _no_nul(os.fsencode(path), "path")
        self.path = os.fsdecode(path)
        # Kept with the line, so that closing it needs no module global
        # (a line collected at interpreter exit).
        self._lib = lib = _library()
        handle = lib.vorn_open(raw)
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
        the key's memory ends, b"" at or after its end. A length beyond the
        key's memory allocates what the key gives and at most 64 KiB more;
        ValueError for a negative length or one beyond what one C call can
        count."""
        _check_offset(offset)
        length = operator.index(length)
        if length < 0:
            raise ValueError("length must not be negative")
        if length > _LENGTH_MAX:
            raise ValueError(f"length beyond the largest read ({_LENGTH_MAX}): {length}")
        handle = self._handle()
        parts = []
        done = 0
        # Piece by piece, each as large as what is left up to _READ_CHUNK:
        # a key's whole memory in one call, and a read that stops short
        # (the memory's end) ends it.
        while done < length and offset + done <= _OFFSET_MAX:
            want = min(length - done, _READ_CHUNK)
            buf = ctypes.create_string_buffer(want)
            n = _check(_library().vorn_read(handle, offset + done, buf, want))
            parts.append(buf.raw[:n])
            done += n
            if n < want:
                break
        return b"".join(parts)

    def write(self, offset, data):
        """Writes data (a bytes-like object: bytes, bytearray, memoryview;
        TypeError for anything else) to key memory at offset; the count
        written, fewer only where the key's memory ends (ENOSPC when offset
        is at or after its end)."""
        _check_offset(offset)
        raw = _bytes_like(data, "data")
        return _check(_library().vorn_write(self._handle(), offset, raw or None, len(raw)))

    def wait(self, timeout=None):
        """Waits for the next key event: an Event, or None when timeout
        seconds passed first (None or math.inf: wait for ever, 0: do not
        wait; ValueError for a negative timeout or NaN).
        A signal during the wait runs its Python handler; the wait then
        goes on for the time left, unless the handler raised."""
        if timeout is not None:
            if math.isnan(timeout):
                raise ValueError("timeout must be a number, not NaN")
            if timeout < 0:
                raise ValueError("timeout must not be negative")
            if math.isinf(timeout):
                timeout = None
        if timeout is not None:
            deadline = time.monotonic() + timeout
        ev = _CEvent()
        while True:
            if timeout is None:
                wait_ms = -1
            else:
                left = max(0.0, deadline - time.monotonic())
                wait_ms = min(math.ceil(left * _MS_PER_S), _WAIT_MS_MAX)
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
    offset = operator.index(offset)
    if not 0 <= offset <= _OFFSET_MAX:
        raise ValueError(f"offset out of range: {offset}")
