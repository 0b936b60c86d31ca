#!/usr/bin/env python3
"""Runs a command (the updater in a sandbox) and watches, while it runs, what
the device's other processor and the reboot pin would see:

    watch_device.py ROOT [--timeout S] -- COMMAND [ARGS...]

  - the status mailbox: the page at 0xFFFF0000 of ROOT/dev/mem (word 0 the
    status, the text from byte 4), mapped shared as the program maps it;
  - GPIO 7: ROOT/sys/class/gpio/export and gpio913/{direction,value}.

Both are polled every 2 ms (the program holds each mailbox state for at least
100 ms and the pin high for 95 ms). A state is taken when two polls in a row
agree, so the instant between the writing of a text and of its status word is
not taken for a state. The command's output passes through; when it ends
(or after S seconds, default 120, when it is killed), both sequences are
printed and the command's exit status is returned.
"""

import mmap
import os
import signal
import struct
import subprocess
import sys
import time

MAILBOX = 0xFFFF0000
PAGE = 4096
GPIO_PIN = 7 + 906
POLL = 0.002

STATES = {
    0x80A55A01: "rewriting starts",
    0x80A55A02: "a file starts",
    0x80A55A03: "error",
    0x80A55A04: "progress",
    0x80A55A05: "rewriting has ended",
}
# Written with a text of their own; the others leave the previous text.
WITH_TEXT = (0x80A55A02, 0x80A55A03, 0x80A55A04)


def read_small(path):
    try:
        with open(path, "rb") as f:
            return f.read(64).split(b"\0", 1)[0].decode("ascii", "replace").strip()
    except OSError:
        return None


class Mailbox:
    def __init__(self, path):
        self.page = None
        try:
            with open(path, "rb") as f:
                if os.fstat(f.fileno()).st_size >= MAILBOX + PAGE:
                    self.page = mmap.mmap(f.fileno(), PAGE, mmap.MAP_SHARED, mmap.PROT_READ, offset=MAILBOX)
        except OSError:
            pass

    def read(self):
        if self.page is None:
            return None
        word = struct.unpack("<I", self.page[0:4])[0]
        text = b""
        if word in WITH_TEXT:
            text = self.page[4:260].split(b"\0", 1)[0]
        return word, text.decode("utf-8", "replace")


class Watch:
    """One watched thing: records (time, value) each time a new value holds
    for two polls in a row."""

    def __init__(self, read):
        self.read = read
        self.last_seen = object()
        self.events = []

    def poll(self, now):
        value = self.read()
        if value == self.last_seen and (not self.events or self.events[-1][1] != value):
            self.events.append((now, value))
        self.last_seen = value


def mailbox_report(events, end):
    print("=== status mailbox (physical 0xFFFF0000) as the other processor reads it")
    if not events or all(v is None for _, v in events):
        print("   (no mailbox: ROOT/dev/mem missing or shorter than 0xFFFF1000 bytes)")
        return
    for i, (t, value) in enumerate(events):
        word, text = value
        held = (events[i + 1][0] if i + 1 < len(events) else end) - t
        name = STATES.get(word, "none yet" if word == 0 else "unknown")
        shown = (" %r" % text) if word in WITH_TEXT else ""
        line = "  %+8.3f s  held %5d ms  0x%08X  %-20s%s" % (t, held * 1000, word, name, shown)
        print(line.rstrip())


def gpio_report(events, end):
    print("=== GPIO 7 (sysfs gpio%d): export, direction, value" % GPIO_PIN)
    pulses = []
    high_since = None
    for t, (export, direction, value) in events:
        print("  %+8.3f s  export=%s direction=%s value=%s" % (t, export or "-", direction or "-", value or "-"))
        if value == "1" and high_since is None:
            high_since = t
        elif value != "1" and high_since is not None:
            pulses.append(t - high_since)
            high_since = None
    if high_since is not None:
        pulses.append(end - high_since)
    if pulses:
        print("   %d pulse(s) high: %s" % (len(pulses), ", ".join("%d ms" % (p * 1000) for p in pulses)))
    else:
        print("   no pulse")


def main(argv):
    if "--" not in argv or argv.index("--") < 1 or argv.index("--") == len(argv) - 1:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    sep = argv.index("--")
    root, opts, command = argv[0], argv[1:sep], argv[sep + 1:]
    limit = 120.0
    if opts[:1] == ["--timeout"] and len(opts) == 2:
        limit = float(opts[1])
    elif opts:
        print(__doc__.strip(), file=sys.stderr)
        return 2

    mailbox = Mailbox(os.path.join(root, "dev/mem"))
    gpio = os.path.join(root, "sys/class/gpio")
    pin = os.path.join(gpio, "gpio%d" % GPIO_PIN)
    watches = [
        Watch(mailbox.read),
        Watch(lambda: (read_small(os.path.join(gpio, "export")), read_small(os.path.join(pin, "direction")),
                       read_small(os.path.join(pin, "value")))),
    ]

    sys.stdout.flush()
    start = time.monotonic()
    # Its own process group, so that a command stopped by the time limit
    # takes its children (a hook, a shell) with it.
    child = subprocess.Popen(command, start_new_session=True)
    timed_out = False
    try:
        while child.poll() is None:
            now = time.monotonic() - start
            for w in watches:
                w.poll(now)
            if now > limit:
                timed_out = True
                os.killpg(child.pid, signal.SIGKILL)
                child.wait()
                break
            time.sleep(POLL)
    except KeyboardInterrupt:
        os.killpg(child.pid, signal.SIGKILL)
        child.wait()
        raise
    end = time.monotonic() - start
    # The last state: two more polls, as while it ran.
    for _ in range(2):
        for w in watches:
            w.poll(end)
    sys.stdout.flush()

    if timed_out:
        print("=== the command did not end within %g s and was killed" % limit)
    mailbox_report(watches[0].events, end)
    gpio_report(watches[1].events, end)
    return child.returncode if child.returncode >= 0 else 128 - child.returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
