# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Idle at the prompt for longer than the boot manager's five-minute watchdog. QEMU counts
instructions for its clock and lets virtual time run ahead while the guest waits, with the RTC on
that clock, so five firmware minutes pass in seconds."""
import calendar
import os
import shutil
import time

import pytest

from tarnwick import BUILD
from tarnwick.console import boot_to_prompt
from tarnwick.machines import DEFAULT, MACHINES

MACHINE = MACHINES[DEFAULT]

WATCHDOG_SECONDS = 300
FAST_CLOCK = ["-icount", "shift=4,sleep=off", "-rtc", "base=utc,clock=vm", "-no-reboot"]


def firmware_seconds(console):
    t = console.qmp("qom-get", path="/machine", property="rtc-time")
    return calendar.timegm((t["tm_year"] + 1900, t["tm_mon"] + 1, t["tm_mday"], t["tm_hour"], t["tm_min"],
                            t["tm_sec"]))


def idle(console, firmware_time, wall_limit=120):
    """Waits at the prompt until the firmware's clock has moved on by `firmware_time` seconds; returns
    the firmware seconds that passed, or None when the machine went down first."""
    start, deadline = firmware_seconds(console), time.monotonic() + wall_limit
    while time.monotonic() < deadline:
        if not console.pump(1):
            return None
        try:
            passed = firmware_seconds(console) - start
        except (OSError, ValueError):  # QEMU may end between the two, its protocol's socket with it
            if not console.pump(1):
                return None
            raise
        if passed > firmware_time:
            return passed
    raise AssertionError(f"the firmware clock did not reach {firmware_time} s within {wall_limit} s")


@pytest.fixture
def console_on():
    consoles = []

    def boot(folder):
        consoles.append(boot_to_prompt(MACHINE, [str(folder)], extra=FAST_CLOCK))
        return consoles[-1]

    yield boot
    for console in consoles:
        console.close()


def test_with_the_watchdog_left_armed_the_firmware_resets_the_idle_machine(console_on, tmp_path):
    """Shows that this setup really outlasts the watchdog."""
    # A variant of the image that starts the dialogue as the entry point does but leaves the
    # firmware's watchdog armed, as the removable-media loader.
    efi = tmp_path / "EFI" / "BOOT" / f"BOOT{MACHINE['arch'].upper()}.EFI"
    efi.parent.mkdir(parents=True)
    shutil.copyfile(os.path.join(BUILD, "variants", "armed-watchdog.efi"), efi)
    assert idle(console_on(tmp_path), 2 * WATCHDOG_SECONDS) is None, "the machine was not reset by the watchdog"


def test_the_monitor_answers_after_more_than_five_idle_minutes(console_on):
    console = console_on(os.path.join(BUILD, "esp"))
    passed = idle(console, WATCHDOG_SECONDS + 60)
    assert passed is not None, "the machine went down while the monitor waited"
    print(f"idle for {passed} firmware seconds")
    console.enter("pwd")
    assert console.rows_above_cursor(2) == ["0 > pwd", "/", "0 >"]
