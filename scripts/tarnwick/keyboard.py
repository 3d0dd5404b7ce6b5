# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The keys a person presses at a machine: on one of its keyboards through QEMU's key events or
the desktop's, or as a serial terminal sends them; and, where the keyboard's firmware says it lost
a key, the key pressed again."""
import subprocess
import time

from .machines import TERMINAL

# How long a key on a keyboard may take to show, before the next is pressed all the same; and, where
# the keyboard's firmware says when it lost a key, how long a key that shows may take to show or the
# firmware to say so (it waits 1 s of its own time), then for the key to show all the same, and how
# often a person presses a lost key.
KEY_SECONDS = 0.5
LOST_SECONDS = 3
LATE_SECONDS = 1
PRESSES = 3
# QEMU's USB keyboard keeps the key events that the firmware has not read yet, 16 of them, and drops
# any beyond without a word; the firmware reads one a poll (U-Boot one each 20 ms at most), so a
# firmware slowed by a busy machine loses keys pressed faster than it reads: a Shift, a key and an
# arrow are eight events. A real keyboard holds no queue: a person's key is down longer than that.
# So the next key is pressed once QEMU's trace says the keyboard has handed over every event; a
# firmware that takes none in HANDED_SECONDS does not read that keyboard.
HID_TRACE = ["-trace", "hid_kbd_queue_empty", "-trace", "hid_kbd_queue_full"]
HANDED, DROPPED = b"hid_kbd_queue_empty", b"hid_kbd_queue_full"
HANDED_SECONDS = 10
# How long after the last byte the firmware wrote that it cannot be the start of a warning any more.
QUIET_SECONDS = 0.2
# A US keyboard: the keys of the characters that are not letters or digits, and with Shift.
PUNCTUATION = dict(zip("`-=[]\\;',./ ", ["grave_accent", "minus", "equal", "bracket_left", "bracket_right",
                                         "backslash", "semicolon", "apostrophe", "comma", "dot", "slash", "spc"]))
SHIFTED = dict(zip('~_+{}|:"<>?!@#$%^&*()', "`-=[]\\;',./1234567890"))
# The keyboard of the desktop that shows the machine in a window, and the names of X's keys that
# are not QEMU's, capitalised.
WINDOW = "window"
X_KEYS = {"ret": "Return", "kp_enter": "KP_Enter", "backspace": "BackSpace", "esc": "Escape", "pgup": "Prior",
          "pgdn": "Next", "caps_lock": "Caps_Lock", "shift": "shift", "ctrl": "ctrl", "alt": "alt"}


def qcodes(key):
    """QEMU's codes of the keys held together for `key`: a character, or a key's name such as
    "f1", or names joined by "-" such as "ctrl-h"."""
    if len(key) > 1:
        return key.split("-")
    if key.isupper() or key in SHIFTED:
        return ["shift", *qcodes(SHIFTED.get(key, key.lower()))]
    return [PUNCTUATION.get(key, key)]


def sent(key):
    """What a serial terminal sends for `key`."""
    if key.startswith("ctrl-"):
        return bytes([ord(key[-1]) & 0x1F])
    return TERMINAL[key] if len(key) > 1 else key.encode()


class Keyboards:
    """What a console does at the machine's keyboards; a part of `Console`, whose serial line reads
    what the keys show."""

    def press(self, *keys):
        """Presses keys one after the other, each a character or a key's name (see `qcodes`): on the
        keyboard, waiting a moment for what each key shows, and again where the firmware lost it; or
        as a terminal sends them."""
        for key in keys:
            if self.keyboard is None:
                self.type(sent(key))
                continue
            for _ in range(PRESSES):
                mark = len(self.transcript)
                self.press_once(key)
                if not self.lost(key, mark):
                    break
                self.lapses.append(f'pressed {key!r} again after "{self.attached["lost"]}"')
            self.lost_from = max(self.lost_from, mark)
            if key == "caps_lock":
                self.caps_lock = not self.caps_lock
            elif self.caps_unseen(key, mark):
                self.lapses.append(f"pressed Caps Lock again: {key!r} came in the other case")
                self.press_once("caps_lock")
                self.press(self.attached["erasers"][0])
                self.press_once(key)

    def caps_unseen(self, key, mark):
        """Whether a letter pressed at transcript offset `mark` came in the other case than the Caps
        Locks pressed so far leave it, on a keyboard whose firmware may not see a Caps Lock."""
        if not (self.attached.get("unseen_caps") and key.isalpha() and len(key) == 1):
            return False
        deadline = time.monotonic() + LOST_SECONDS
        while not self.without_noise(self.transcript[mark:]) and time.monotonic() < deadline and self.read(0.02):
            pass
        other_case = key if self.caps_lock else key.swapcase()
        return self.without_noise(self.transcript[mark:])[:1] == other_case.encode()

    def lost(self, key, mark):
        """Whether the firmware lost a key that shows at the monitor (a character, an eraser, Enter or
        Esc), pressed at transcript offset `mark`: it said so, where its keyboard says when, and the key
        showed nothing, not even a moment later."""
        said = self.attached.get("lost", "").encode()
        if not said or not (len(key) == 1 or key in ("ret", "kp_enter", "esc", *self.attached["erasers"])):
            return False
        deadline = time.monotonic() + LOST_SECONDS
        while not self.showed(mark, said) and said not in self.transcript[self.lost_from:]:
            if time.monotonic() > deadline or not self.read(0.02):
                return False
        if self.showed(mark, said):
            return False
        self.lost_from = self.transcript.find(said, self.lost_from) + len(said)
        deadline = time.monotonic() + LATE_SECONDS
        while not self.showed(mark, said) and time.monotonic() < deadline and self.read(0.02):
            pass
        return not self.showed(mark, said)

    def showed(self, mark, said):
        """Whether the firmware wrote anything but its warnings after transcript offset `mark`; what
        may be the start of `said` counts once nothing has followed it for a moment."""
        written = self.without_noise(self.transcript[mark:])
        return bool(written) and not (said.startswith(written) and time.monotonic() - self.written_at < QUIET_SECONDS)

    def press_once(self, key):
        """Presses a key on the keyboard and waits a moment for what it shows."""
        handed = self.wait_for_keyboard()
        mark, deadline = len(self.transcript), time.monotonic() + (KEY_SECONDS if len(key) == 1 else 0.1)
        if self.keyboard == WINDOW:
            named = "+".join(X_KEYS.get(part, part.capitalize()) for part in key.split("-"))
            subprocess.run(["xdotool", "type" if len(key) == 1 else "key", "--", key if len(key) == 1 else named],
                           check=True)
        else:
            codes = [{"type": "qcode", "data": code} for code in qcodes(key)]
            events = [(True, code) for code in codes] + [(False, code) for code in reversed(codes)]
            self.qmp("input-send-event", events=[{"type": "key", "data": {"down": down, "key": code}}
                                                 for down, code in events])
        while len(self.transcript) == mark and time.monotonic() < deadline and self.read(0.02):
            pass
        self.hid_awaited = handed

    def hid_events(self):
        """What QEMU's trace has said of its USB keyboard so far."""
        try:
            with open(self.hid_log, "rb") as f:
                return f.read()
        except FileNotFoundError:  # QEMU opens its log when it first writes to it
            return b""

    def wait_for_keyboard(self):
        """Waits until QEMU's USB keyboard has handed the last key's events to the firmware; how
        often its trace has said so, or None for any other keyboard."""
        if self.hid_log is None:
            return None
        deadline = time.monotonic() + HANDED_SECONDS
        while True:
            said = self.hid_events()
            assert DROPPED not in said, "QEMU's USB keyboard dropped a key pressed before the firmware took the last"
            if self.hid_awaited is None or said.count(HANDED) > self.hid_awaited:
                return said.count(HANDED)
            assert time.monotonic() < deadline, \
                f"the firmware took no key from QEMU's USB keyboard in {HANDED_SECONDS} s"
            self.read(0.02)
