# SPDX-License-Identifier: GPL-2.0-or-later
"""Fixtures of the vorn module's tests. The whole run is one process under
the driver stand-in (run_pytest.sh starts it as tmsim -- python3 -m
pytest); each test starts from the default key, attached, on a device that
is there, changed through tmsim ctl on the run's state directory."""

import os
import subprocess
import time

import pytest

DEFAULT_ROM = bytes.fromhex("04efbeadde0000cd")
SWAP_ROM = bytes.fromhex("0102030405060708")
# Time the stand-in's watch takes at most to pass a state change on.
EVENT_TIMEOUT = 5.0
# Time for a state change to reach this process's view before a test.
SETTLE = 0.2


def ctl(*args):
    """tmsim ctl --state STATE args..., which must succeed."""
    state = os.environ["TMSIM_STATE"]
    subprocess.run(["tmsim", "ctl", "--state", state, *args], check=True,
                   stdout=subprocess.DEVNULL)


@pytest.fixture
def sim():
    """The default key on a present device; yields ctl."""
    ctl("appear")
    ctl("clear-faults")
    ctl("attach", "--rom", DEFAULT_ROM.hex())
    time.sleep(SETTLE)
    yield ctl
    ctl("appear")
