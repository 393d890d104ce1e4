#!/usr/bin/env python3
"""The dialogue table against the Windows build, typed into a real Wine
console:  console_dialogue.py WINE TAMBLO_EXE [CASE NAME...]

Under plain Wine standard input is a pipe, which _kbhit never sees. Here each
case runs in wineconsole on a display of our own (Xvfb) and xdotool types
into its window. cmd sends the player's output and errors to files, read as
they grow, and then writes its exit status to a third. The prefix is ours
too, booted on that display: a prefix's windows all use the display driver
its first one found."""

import os
import pathlib
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from dialogues import CASES  # noqa: E402
from harness import SLOWDOWN, Player, alsa_config, make_folder, run_case  # noqa: E402

START_TIMEOUT = 60.0  # the first output waits for Wine to start the console too
POLL = 0.05


def windows_path(path):
    return "Z:" + path.replace("/", "\\")  # Wine's drive Z: is the Unix root


def read(path):
    return pathlib.Path(path).read_bytes() if os.path.exists(path) else b""


def run(env, *argv):
    return subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, check=False).stdout.split()


class Console(Player):
    """The player in a console window; the output comes from cmd's file."""

    def __init__(self, wine, exe, folder, env):
        self.mode, self.out, self.cursor, self.ended, self.window, self.env = "console", b"", 0, False, None, env
        self.lock = threading.Condition()
        self.files = [os.path.join(os.path.dirname(folder), name) for name in ("out", "err", "status", "run.cmd")]
        out, err, status, script = self.files
        with open(script, "w", newline="\r\n") as f:
            f.write(f'@"{windows_path(exe)}" > "{windows_path(out)}" 2> "{windows_path(err)}"\n'
                    f'@echo %errorlevel% > "{windows_path(status)}"\n')
        self.proc = subprocess.Popen([wine, "wineconsole", "cmd", "/c", windows_path(script)], cwd=folder, env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        threading.Thread(target=self._follow, daemon=True).start()

    def _follow(self):
        # The status comes after the player's end: the output read then is whole.
        while not self.ended:
            ended = read(self.files[2]).endswith(b"\n")
            out = read(self.files[0])
            with self.lock:
                self.out, self.ended = out, self.ended or ended
                self.lock.notify_all()
            time.sleep(POLL)

    def expect(self, want, timeout=6.0):
        super().expect(want, timeout if self.cursor else START_TIMEOUT)

    def xdotool(self, *args):
        if self.window is None:
            deadline = time.monotonic() + START_TIMEOUT * SLOWDOWN
            # Only the console's own window is mapped, not its input method's.
            while not (found := run(self.env, "xdotool", "search", "--onlyvisible", "--class", "conhost.exe")):
                assert time.monotonic() < deadline, "no console window appeared"
                time.sleep(POLL)
            self.window = found[0]
            # Keys go to the focused window (XTEST): sent to a window, they
            # lose their shift state, and "LS" arrives as "ls".
            run(self.env, "xdotool", "windowfocus", "--sync", self.window)
        run(self.env, "xdotool", *args)

    def send(self, text):
        # A typed "\n" is no key in Wine's console: Enter is Return.
        for i, line in enumerate(text.split("\n")):
            if i:
                self.xdotool("key", "Return")
            if line:
                self.xdotool("type", line)

    def end_input(self):
        # The C runtime's end of file; it reads nothing more after it.
        self.xdotool("key", "ctrl+z", "Return")

    def wait(self, timeout=8.0):
        with self.lock:
            assert self.lock.wait_for(lambda: self.ended, timeout * SLOWDOWN), "still running: %r" % self.out
        assert self.out[self.cursor:] == b"", "printed after the last match: %r" % self.out[self.cursor:]
        assert read(self.files[1]) == b"", "wrote on standard error: %r" % read(self.files[1])
        return int(read(self.files[2]))

    def close(self):
        # Console processes have sessions of their own: the prefix's server
        # ends them, and the next case starts it anew.
        self.ended = True
        run(self.env, "wineserver", "-k")
        run(self.env, "wineserver", "-w")
        self.proc.wait()


def start_display():
    """Xvfb on the first free display number, which it tells through a pipe."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp"], pass_fds=(write_end,),
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        return xvfb, ":" + pipe.readline().strip().decode()


def main(argv):
    wine, exe, names = argv[0], os.path.abspath(argv[1]), argv[2:]
    cases = [case for case in CASES if case.windows and (not names or case.name in names)]
    failed = 0
    # Xvfb makes the sockets' folder when there is none; so much it leaves.
    sockets = None if os.path.isdir("/tmp/.X11-unix") else "/tmp/.X11-unix"
    xvfb, display = start_display()
    try:
        with tempfile.TemporaryDirectory(prefix="tamblo-console-") as tmp:
            env = dict(os.environ, DISPLAY=display, ALSA_CONFIG_PATH=alsa_config(tmp), HOME=tmp, TMPDIR=tmp,
                       WINEPREFIX=os.path.join(tmp, "prefix"), WINEDEBUG="-all",
                       # No Mono or Gecko to offer, no menu entries; sound through ALSA alone.
                       WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winepulse.drv=d")
            run(env, wine, "wineboot", "-i")
            for i, case in enumerate(cases):
                folder = os.path.join(tmp, str(i), "music")
                os.makedirs(folder)
                make_folder(folder, case.tracks)
                started, verdict = time.monotonic(), "ok"
                console = Console(wine, exe, folder, env)
                try:
                    run_case(case, console, lambda text: text.replace(b"\n", b"\r\n"))
                except AssertionError as failure:
                    failed, verdict = failed + 1, f"FAILED\n{failure}"
                finally:
                    console.close()
                print(f"{case.name}: {time.monotonic() - started:.1f} s {verdict}", flush=True)
    finally:
        xvfb.terminate()
        xvfb.wait()
        if sockets and not os.listdir(sockets):
            os.rmdir(sockets)
    print(f"console_dialogue: {len(cases) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
