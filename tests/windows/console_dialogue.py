#!/usr/bin/env python3
"""The dialogue table against the Windows build, typed into a real Wine
console:  console_dialogue.py WINE TAMBLO_EXE SCREEN_EXE [CASE NAME...]

Each case runs in wineconsole on a display of our own (Xvfb) and xdotool types
into its window. cmd sends the player's output and errors to files, read as
they grow, and then writes its exit status to a third. The prefix is ours
too, booted on that display: a prefix's windows all use the display driver
its first one found. SCREEN_EXE reads what the user sees: the console
itself. A few cases run through a pipe."""

import os
import pathlib
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from dialogues import ABC, CASES, PAUSE, START_ABC, Case, listing, prompt  # noqa: E402
from harness import SLOWDOWN, Player, alsa_config, make_folder, run_case  # noqa: E402

START_TIMEOUT = 60.0  # the first output waits for Wine to start the console too
POLL = 0.05
PIPED = ["a number, next past the last track, back early", "at the end of input the tracks play on",
         "a word waits for more input when its line was read already"]
# Standard input a file: its words are read one by one, without a key.
FROM_FILE = Case("commands in a file", ABC, [START_ABC, ("out", prompt("c.mp3")), ("exit", 0)])
# "œ" is in the ANSI code page (1252) but not in Latin-1: bytes shown one
# character each would give U+009C. The title is in no ANSI code page.
SCREEN_TRACKS = [("café œuvre.mp3", 30)] + [("t%02d.mp3" % i, 30) for i in range(1, 16)]
TITLE = "\u266b Caf\u00e9 \u30c6\u30b9\u30c8"


def windows_path(path):
    return "Z:" + path.replace("/", "\\")  # Wine's drive Z: is the Unix root


def read(path):
    return pathlib.Path(path).read_bytes() if os.path.exists(path) else b""


def run(env, *argv):
    return subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, check=False).stdout.split()


class WineStart:
    def expect(self, want, timeout=6.0):
        super().expect(want, timeout if self.cursor else START_TIMEOUT)


class Piped(WineStart, Player):
    """The player with pipes for standard input and output, or the file `typed`
    as standard input, started by cmd: it hands on the exit status that Wine
    loses in a crash after a process ends with a device open. Wine's lines on
    standard error are dropped; the console cases check that the player's are none."""

    def __init__(self, wine, exe, folder, env, typed=None):
        self.env, path = env, os.path.join(os.path.dirname(folder), "typed")
        argv = [wine, "cmd", "/c", windows_path(exe)] + (["<", windows_path(path)] if typed else [])
        if typed:
            pathlib.Path(path).write_text(typed)
        super().__init__(folder, env={k: v for k, v in env.items() if k != "ALSA_CONFIG_PATH"},
                         argv=["sh", "-c", 'exec "$@" 2>/dev/null', "sh"] + argv)

    def close(self):
        super().close()
        end_wine(self.env)


class Console(WineStart, Player):
    """The player in a console window; the output comes from cmd's file, or
    with `screen` (SCREEN_EXE) from the console itself, set to `code_page`."""

    def __init__(self, wine, exe, folder, env, screen=None, code_page=None):
        self.mode, self.out, self.cursor, self.ended, self.window, self.env = "console", b"", 0, False, None, env
        self.lock, self.looks = threading.Condition(), []
        names = ("out", "err", "status", "run.cmd", "looks")
        self.files = [os.path.join(os.path.dirname(folder), name) for name in names]
        out, err, status, script, looks = self.files
        with open(script, "w", newline="\r\n") as f:
            if screen:
                f.write(f'@chcp {code_page} > nul\n@"{windows_path(screen)}" title\n@"{windows_path(exe)}"\n')
            else:
                f.write(f'@"{windows_path(exe)}" > "{windows_path(out)}" 2> "{windows_path(err)}"\n')
            f.write(f'@echo %errorlevel% > "{windows_path(status)}"\n')
        self.procs = [subprocess.Popen([wine, "wineconsole", "cmd", "/c", windows_path(script)], cwd=folder, env=env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
        if screen:
            with open(looks, "wb") as f:
                self.procs.append(subprocess.Popen([wine, screen, "watch", os.path.basename(exe)], env=env,
                                                   stdin=subprocess.DEVNULL, stdout=f, stderr=subprocess.DEVNULL))
        threading.Thread(target=self._follow, daemon=True).start()

    def shows(self, code_page, text, timeout=6.0):
        """Waits until the console shows TITLE, `code_page` and rows `text`."""
        rows = [TITLE, str(code_page)] + [row.rstrip() for row in text.split("\n")]
        want = "\n".join(rows).rstrip("\n") + "\n"
        with self.lock:
            assert self.lock.wait_for(lambda: want in self.looks[-1:], (timeout if self.looks else START_TIMEOUT) *
                                      SLOWDOWN), "shows %r, not %r" % (self.looks[-1:], want)

    def _follow(self):
        # The status comes after the player's end: the output read then is whole.
        while not self.ended:
            ended = read(self.files[2]).endswith(b"\n")
            out, looks = read(self.files[0]), read(self.files[4]).decode("utf-16-le", "replace").split("\0")[:-1]
            with self.lock:
                self.out, self.ended, self.looks = out, self.ended or ended, looks
                self.lock.notify_all()
            time.sleep(POLL)

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
        self.ended = True
        end_wine(self.env)
        for proc in self.procs:
            proc.wait()


def end_wine(env):
    # Console processes have sessions of their own: the prefix's server ends
    # them, and the next case starts it anew.
    run(env, "wineserver", "-k")
    run(env, "wineserver", "-w")


def screen_case(console, code_page):
    """The pause in Japanese; after Enter (echoed), the rest and the prompt."""
    first, rest = listing([name for name, _ in SCREEN_TRACKS]).split(PAUSE)
    first = first.decode() + PAUSE.decode("cp932")
    console.shows(code_page, first)
    console.send("\n")
    console.shows(code_page, first + "\n" + (rest + prompt("café œuvre.mp3")).decode())
    console.send("exit\n")
    assert console.wait() == 0


def start_display():
    """Xvfb on the first free display number, which it tells through a pipe."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp"], pass_fds=(write_end,),
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        return xvfb, ":" + pipe.readline().strip().decode()


def main(argv):
    wine, exe, screen, names = argv[0], os.path.abspath(argv[1]), os.path.abspath(argv[2]), argv[3:]
    # Each run: its name, its tracks, how the player starts in a folder, and what is done with it.
    def crlf(text):
        return text.replace(b"\n", b"\r\n")

    runs = [(case.name, case.tracks, lambda folder, env: Console(wine, exe, folder, env),
             lambda player, case=case: run_case(case, player, crlf, 3.0)) for case in CASES if case.windows]
    runs += [(case.name + ", through a pipe", case.tracks, lambda folder, env: Piped(wine, exe, folder, env),
              lambda player, case=case: run_case(case, player, crlf, 3.0)) for case in CASES if case.name in PIPED]
    runs += [(FROM_FILE.name, ABC, lambda folder, env: Piped(wine, exe, folder, env, "2\nexit\n"),
              lambda player: run_case(FROM_FILE, player, crlf, 3.0))]
    runs += [("the screen under code page %d" % page, SCREEN_TRACKS,
              lambda folder, env, page=page: Console(wine, exe, folder, env, screen, page),
              lambda player, page=page: screen_case(player, page)) for page in (932, 437, 65001)]
    runs = [run for run in runs if not names or run[0] in names]
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
            for i, (name, tracks, start, play) in enumerate(runs):
                folder = os.path.join(tmp, str(i), "music")
                os.makedirs(folder)
                make_folder(folder, tracks)
                started, verdict = time.monotonic(), "ok"
                player = start(folder, env)
                try:
                    play(player)
                except AssertionError as failure:
                    failed, verdict = failed + 1, f"FAILED\n{failure}"
                finally:
                    player.close()
                print(f"{name}: {time.monotonic() - started:.1f} s {verdict}", flush=True)
    finally:
        xvfb.terminate()
        xvfb.wait()
        if sockets and not os.listdir(sockets):
            os.rmdir(sockets)
    print(f"console_dialogue: {len(runs) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
