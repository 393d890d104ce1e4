#!/usr/bin/env python3
"""Runs a command with a fresh pseudo-terminal as its standard input, output
and error, and passes on what it writes, as plain text, and its exit status.

Wine gives a Windows program a console with a title only when it is started
on a terminal; CI has none, so tests that need the console title run here.
    with_terminal.py [--timeout SECONDS] COMMAND [ARG...]
"""

import fcntl
import os
import re
import select
import signal
import struct
import subprocess
import sys
import termios
import time

# Wine's console draws on the terminal with escape sequences: cursor moves
# (a move right stands for blanks), title settings, colours. Only the text
# is of use in a test log.
CURSOR_RIGHT = re.compile(rb"\x1b\[(\d*)C")
OTHER_ESCAPES = re.compile(rb"\x1b\][^\x07]*\x07|\x1b\[[0-9;?]*[A-Za-z]")


def plain(data):
    data = CURSOR_RIGHT.sub(lambda m: b" " * int(m.group(1) or b"1"), data)
    return OTHER_ESCAPES.sub(b"", data).replace(b"\r\n", b"\n")


def main(argv):
    timeout = 60.0
    if len(argv) >= 2 and argv[0] == "--timeout":
        timeout = float(argv[1])
        argv = argv[2:]
    if not argv:
        print(__doc__, file=sys.stderr)
        return 2

    master, slave = os.openpty()
    # Wide enough that test names are not broken across lines.
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 250, 0, 0))
    proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, start_new_session=True)
    os.close(slave)
    output = bytearray()
    deadline = time.monotonic() + timeout
    timed_out = False
    while True:
        # The terminal may stay open after the command ends (a process it
        # started can hold it), so the end of the command, not of the
        # terminal, ends the reading.
        done = proc.poll() is not None
        ready, _, _ = select.select([master], [], [], 0 if done else 0.1)
        if ready:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                chunk = b""
            if chunk:
                output += chunk
                continue
            done = True
        if done:
            break
        if time.monotonic() > deadline:
            timed_out = True
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            break
    os.close(master)
    sys.stdout.buffer.write(plain(bytes(output)))
    sys.stdout.flush()
    if timed_out:
        print(f"with_terminal.py: no end after {timeout:g} s; killed", file=sys.stderr)
        return 1
    return proc.returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
