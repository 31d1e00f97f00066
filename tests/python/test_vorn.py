# SPDX-License-Identifier: GPL-2.0-or-later
"""The Python module vorn under the driver stand-in: requests and key
memory, the driver's errno in OSError, waiting for events with wait(),
selectors and asyncio."""

import array
import asyncio
import errno
import selectors
import signal
import textwrap
import threading
import time

import pytest

import vorn
from conftest import DEFAULT_ROM, EVENT_TIMEOUT, SWAP_ROM


def test_context_manager_closes_the_line(sim):
    with vorn.Line() as line:
        assert not line.closed
        assert line.present() is True
    assert line.closed
    with pytest.raises(ValueError):
        line.present()
    line.close()  # a second close is harmless


def test_key_present(sim):
    with vorn.Line("/dev/touchm0") as line:
        rom = line.rom()
        assert rom == DEFAULT_ROM
        assert rom[0] == 0x04  # family code first
        assert vorn.rom_to_text(rom) == "04efbeadde0000cd"
        assert line.key_size() == 512
        assert line.read(0, 16) == b"touch-memory key"
        assert line.read(0, 0) == b""


def test_write_reads_back_and_stops_at_the_end(sim):
    with vorn.Line() as line:
        assert line.write(100, bytearray(b"Hello\x00\xff")) == 7
        assert line.read(100, 7) == b"Hello\x00\xff"
        assert line.write(508, b"abcdefgh") == 4
        assert line.read(504, 16) == b"\x00\x00\x00\x00abcd"
        assert line.read(512, 4) == b""
        with pytest.raises(OSError) as err:
            line.write(512, b"x")
        assert err.value.errno == errno.ENOSPC
        with pytest.raises(ValueError):
            line.read(-1, 4)
        with pytest.raises(ValueError):
            line.read(0, -4)


def test_no_key_raises_enxio(sim):
    sim("remove")
    with vorn.Line() as line:
        assert line.present() is False
        for call in (line.rom, line.key_size, lambda: line.read(0, 4),
                     lambda: line.write(0, b"x")):
            with pytest.raises(OSError) as err:
                call()
            assert err.value.errno == errno.ENXIO
            assert err.value.strerror == "No such device or address"


def test_id_only_key_has_no_memory(sim):
    sim("swap", "--rom", SWAP_ROM.hex())
    with vorn.Line() as line:
        assert line.key_size() == 0
        with pytest.raises(OSError) as err:
            line.read(0, 4)
        assert err.value.errno == errno.EOPNOTSUPP


def test_line_fault_raises_eio(sim):
    sim("fault", "read")
    with vorn.Line() as line:
        with pytest.raises(OSError) as err:
            line.read(0, 4)
        assert err.value.errno == errno.EIO


def test_vanished_line_raises_enodev(sim):
    line = vorn.Line()
    sim("vanish")
    with pytest.raises(OSError) as err:
        line.present()
    assert err.value.errno == errno.ENODEV
    line.close()
    with pytest.raises(FileNotFoundError) as err:
        vorn.Line()
    assert err.value.errno == errno.ENOENT
    assert err.value.filename == "/dev/touchm0"


def test_open_of_a_missing_device():
    with pytest.raises(OSError) as err:
        vorn.Line("/nonexistent/touchm9")
    assert err.value.errno == errno.ENOENT
    assert err.value.filename == "/nonexistent/touchm9"


def test_rom_text_helpers():
    assert vorn.rom_from_text("04EFBEADDE0000CD") == DEFAULT_ROM
    assert vorn.rom_to_text(vorn.rom_from_text("0102030405060708")) == "0102030405060708"
    for bad in ("04efbeadde0000c", "04efbeadde0000cd0", "04efbeadde0000cg", "", "é" * 16):
        with pytest.raises(ValueError):
            vorn.rom_from_text(bad)
    with pytest.raises(ValueError):
        vorn.rom_to_text(b"\x04\xef")


# --- events -----------------------------------------------------------------


def test_wait_times_out_with_none(sim):
    with vorn.Line() as line:
        assert line.wait(0) is None
        start = time.monotonic()
        assert line.wait(0.2) is None
        assert time.monotonic() - start >= 0.2
        assert line.read_event() is None


def test_wait_sees_remove_attach_and_swap(sim):
    with vorn.Line() as line:
        line.fileno()
        sim("remove")
        ev = line.wait(EVENT_TIMEOUT)
        assert (ev.kind, ev.rom, ev.lost) == (vorn.REMOVED, DEFAULT_ROM, 0)
        sim("attach")
        ev = line.wait(EVENT_TIMEOUT)
        assert (ev.kind, ev.rom) == (vorn.ATTACHED, DEFAULT_ROM)
        assert ev.kind == vorn.EventKind.ATTACHED == 1
        sim("swap", "--rom", SWAP_ROM.hex())
        first, second = line.wait(EVENT_TIMEOUT), line.wait(EVENT_TIMEOUT)
        assert (first.kind, first.rom) == (vorn.REMOVED, DEFAULT_ROM)
        assert (second.kind, second.rom) == (vorn.ATTACHED, SWAP_ROM)
        assert first.seqno < second.seqno
        assert first.timestamp_ns <= second.timestamp_ns <= time.monotonic_ns()
        assert line.wait(0.1) is None


def test_wait_without_timeout_waits_for_the_event(sim):
    with vorn.Line() as line:
        line.fileno()
        timer = threading.Timer(0.3, sim, args=("remove",))
        start = time.monotonic()
        timer.start()
        try:
            ev = line.wait(timeout=None)
        finally:
            timer.join()
        assert ev.kind == vorn.REMOVED
        assert time.monotonic() - start >= 0.3


def test_signal_handler_runs_and_the_wait_goes_on(sim):
    caught = []
    old = signal.signal(signal.SIGALRM, lambda *_: caught.append(1))
    try:
        with vorn.Line() as line:
            signal.setitimer(signal.ITIMER_REAL, 0.1)
            start = time.monotonic()
            assert line.wait(0.4) is None
            assert caught == [1]
            assert time.monotonic() - start >= 0.4
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def test_selectors_wait_on_fileno(sim):
    with vorn.Line() as line, selectors.DefaultSelector() as sel:
        sel.register(line.fileno(), selectors.EVENT_READ)
        assert sel.select(0) == []
        sim("remove")
        ready = sel.select(EVENT_TIMEOUT)
        assert [key.fd for key, _ in ready] == [line.fileno()]
        ev = line.read_event()
        assert (ev.kind, ev.rom) == (vorn.REMOVED, DEFAULT_ROM)
        assert line.read_event() is None
        assert sel.select(0) == []


def test_asyncio_reader_on_fileno(sim):
    async def main():
        loop = asyncio.get_running_loop()
        events = asyncio.Queue()
        with vorn.Line() as line:
            loop.add_reader(line.fileno(), lambda: events.put_nowait(line.read_event()))
            try:
                await loop.run_in_executor(None, sim, "swap", "--rom", SWAP_ROM.hex())
                first = await asyncio.wait_for(events.get(), EVENT_TIMEOUT)
                second = await asyncio.wait_for(events.get(), EVENT_TIMEOUT)
            finally:
                loop.remove_reader(line.fileno())
        return first, second

    first, second = asyncio.run(main())
    assert (first.kind, first.rom) == (vorn.REMOVED, DEFAULT_ROM)
    assert (second.kind, second.rom) == (vorn.ATTACHED, SWAP_ROM)


def test_every_line_sees_every_event(sim):
    with vorn.Line() as one, vorn.Line() as two:
        one.fileno()
        two.fileno()
        sim("remove")
        assert one.wait(EVENT_TIMEOUT).kind == vorn.REMOVED
        assert two.wait(EVENT_TIMEOUT).kind == vorn.REMOVED
        assert one.wait(0) is None and two.wait(0) is None


def test_vanished_line_ends_the_wait_with_enodev(sim):
    with vorn.Line() as line:
        line.fileno()
        sim("vanish")
        with pytest.raises(OSError) as err:
            line.wait(EVENT_TIMEOUT)
        assert err.value.errno == errno.ENODEV


# --- careless and hostile callers --------------------------------------------


def test_only_a_touch_memory_line_opens(tmp_path):
    config = tmp_path / "config.txt"
    config.write_bytes(b"door = 04efbeadde0000cd\n")
    for path in (config, str(config), "/dev/null", str(tmp_path)):
        with pytest.raises(OSError) as err:
            vorn.Line(path).write(0, b"XXXX")
        assert err.value.errno == errno.ENOTTY
        assert err.value.filename == str(path)
    assert config.read_bytes() == b"door = 04efbeadde0000cd\n"


def test_a_nul_in_a_path_or_rom_text_is_refused(sim):
    for path in ("/dev/touchm0\0x", b"/dev/touchm0\0", "\0"):
        with pytest.raises(ValueError, match="null byte"):
            vorn.Line(path)
    with pytest.raises(ValueError):
        vorn.rom_from_text("04efbeadde0000cd\0junk")
    with pytest.raises(ValueError):
        vorn.rom_from_text(b"04efbeadde0000cd\0")


def test_write_takes_bytes_like_objects_only(sim):
    with vorn.Line() as line:
        for data in (5, 10**9, "text", None, 1.5):
            with pytest.raises(TypeError):
                line.write(0, data)
        assert line.read(0, 16) == b"touch-memory key"
        assert line.write(100, memoryview(b"abcd")[1:3]) == 2
        assert line.write(102, array.array("B", [1, 2, 3])) == 3
        assert line.write(105, b"") == 0
        assert line.read(100, 5) == b"bc\x01\x02\x03"


def test_rom_to_text_takes_eight_bytes_only():
    assert vorn.rom_to_text(bytearray(DEFAULT_ROM)) == "04efbeadde0000cd"
    assert vorn.rom_to_text(memoryview(DEFAULT_ROM)) == "04efbeadde0000cd"
    for rom in (8, 0, "04efbeadde0000cd", None):
        with pytest.raises(TypeError):
            vorn.rom_to_text(rom)
    for rom in (b"", DEFAULT_ROM + b"\0", DEFAULT_ROM[:7]):
        with pytest.raises(ValueError):
            vorn.rom_to_text(rom)


def test_a_read_beyond_any_key_gives_what_the_key_has(sim):
    with vorn.Line() as line:
        whole = line.read(0, 2**40)
        assert len(whole) == 512 and whole.startswith(b"touch-memory key")
        assert line.read(500, 2**40) == whole[500:]
        assert line.read(600, 2**40) == b""
        for length in (2**63, 2**64, 10**30):
            with pytest.raises(ValueError):
                line.read(0, length)
        with pytest.raises(TypeError):
            line.read(0, 4.0)


def test_wait_for_ever_with_inf_and_nan_refused(sim):
    with vorn.Line() as line:
        line.fileno()
        for bad in (float("nan"), -1, -0.5, float("-inf")):
            with pytest.raises(ValueError):
                line.wait(timeout=bad)
        timer = threading.Timer(0.3, sim, args=("remove",))
        start = time.monotonic()
        timer.start()
        try:
            ev = line.wait(timeout=float("inf"))
        finally:
            timer.join()
        assert ev.kind == vorn.REMOVED
        assert time.monotonic() - start >= 0.3


def _docstring_example(name):
    """The function name of the module's docstring, as its example shows it."""
    lines = vorn.__doc__.splitlines()
    first = next(i for i, text in enumerate(lines) if text.strip().startswith(f"async def {name}("))
    indent = len(lines[first]) - len(lines[first].lstrip())
    block = [lines[first]]
    for text in lines[first + 1:]:
        if text.strip() and len(text) - len(text.lstrip()) <= indent:
            break
        block.append(text)
    namespace = {"asyncio": asyncio}
    exec(textwrap.dedent("\n".join(block)), namespace)
    return namespace[name]


def test_the_asyncio_example_removes_its_reader_when_the_line_goes(sim, capsys):
    print_events = _docstring_example("print_events")

    async def main():
        loop = asyncio.get_running_loop()
        with vorn.Line() as line:
            line.fileno()
            task = asyncio.ensure_future(print_events(line))
            await loop.run_in_executor(None, sim, "remove")
            await asyncio.sleep(0.5)
            await loop.run_in_executor(None, sim, "vanish")
            with pytest.raises(OSError) as err:
                await asyncio.wait_for(task, EVENT_TIMEOUT)
            # Nothing is left watching the descriptor that stays readable.
            return err.value.errno, loop.remove_reader(line.fileno())

    assert asyncio.run(main()) == (errno.ENODEV, False)
    printed = capsys.readouterr().out
    assert printed.count("Event(") == 1 and "REMOVED" in printed
