"""Runs the built player (TAMBLO, after TAMBLO_EXEC_PREFIX) through a pipe or
a pseudo-terminal, and makes the sounds it plays, kept in TAMBLO_SOUNDS.
Sound goes to ALSA's null device, or to a WAV capture, so no card is needed."""
import array
import hashlib
import os
import pty
import re
import shlex
import shutil
import subprocess
import tempfile
import termios
import threading
import time
import unittest

TAMBLO = os.environ.get("TAMBLO", "tamblo")
SOUNDS = os.environ.get("TAMBLO_SOUNDS", os.path.join(os.path.dirname(__file__), "../../build/test-sounds"))
SLOWDOWN = float(os.environ.get("TAMBLO_SLOWDOWN", "1"))


def make_sound(path, seconds, freq=440, rate=44100, channels=2, lame=("-b", "128")):
    """A sine tone as an MP3 (made by lame with these arguments), or a WAV when
    lame is None; byte for byte the same each time (sox without dither)."""
    kept = os.path.join(SOUNDS, hashlib.sha1(repr((seconds, freq, rate, channels, lame)).encode()).hexdigest()[:16])
    if not os.path.exists(kept):  # made under a name of this process's, for tests running side by side
        os.makedirs(SOUNDS, exist_ok=True)
        part = "%s.%d" % (kept, os.getpid())
        subprocess.run(["sox", "-R", "-n", "-r", str(rate), "-c", str(channels), "-b", "16", part + ".wav",
                        "synth", str(seconds), "sine", str(freq), "vol", "0.5"], check=True)
        if lame:
            subprocess.run(["lame", "--quiet", *lame, part + ".wav", part + ".mp3"], check=True)
            os.unlink(part + ".wav")
        os.replace(part + (".mp3" if lame else ".wav"), kept)
    shutil.copyfile(kept, path)
    return path


def until(ready, seconds):
    """Whether `ready()` comes true within `seconds`, asked every 50 ms."""
    deadline = time.monotonic() + seconds
    while not ready():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def wav_samples(path):
    """The 16-bit samples of a WAV file, its rate and its channel count."""
    with open(path, "rb") as f:
        data = f.read()
    fmt, start = data.find(b"fmt "), data.find(b"data") + 8
    samples = array.array("h", data[start:start + (len(data) - start) // 2 * 2])
    return samples, int.from_bytes(data[fmt + 12:fmt + 16], "little"), int.from_bytes(data[fmt + 10:fmt + 12], "little")


def alsa_config(folder, capture=None, pcm="null"):
    """ALSA's whole configuration: the default PCM is `pcm`, through a WAV capture if one is named."""
    path = os.path.join(folder, "asound.conf")
    with open(path, "w") as f:
        f.write('pcm.!default { type file slave.pcm "%s" format "wav" file "%s" }\n' % (pcm, capture) if capture
                else 'pcm.!default "%s"\n' % pcm)
        f.write("pcm.null { type null }\npcm.unplugged { type hw card Unplugged }\n")
    return path


class Player:
    """The running program. mode "pipe": standard input and output are pipes;
    "pty": a pseudo-terminal in its normal line-editing mode, whose echo and
    CR LF are part of the output. Standard error is a pipe of its own."""

    def __init__(self, folder, mode="pipe", env=None, capture=None, argv=None, ahead=""):
        self.mode, self.out, self.cursor, self.ended = mode, b"", 0, False
        self.lock = threading.Condition()
        self.tmp = tempfile.TemporaryDirectory(prefix="tamblo-e2e-")
        # A home and a runtime folder of its own, which it must leave as they
        # are, and no sound server: one in them would be found, and none is.
        self.home = [os.path.join(self.tmp.name, name) for name in ("home", "run")]
        for made in self.home:
            os.mkdir(made)
        env = dict(os.environ, **{"ALSA_CONFIG_PATH": alsa_config(self.tmp.name, capture), "LC_ALL": "C.UTF-8",
                                  "HOME": self.home[0], "XDG_RUNTIME_DIR": self.home[1], "PULSE_SERVER": None,
                                  **(env or {})})  # None: unset
        env = {name: value for name, value in env.items() if value is not None}
        argv = argv or shlex.split(os.environ.get("TAMBLO_EXEC_PREFIX", "")) + [TAMBLO]
        if mode == "pty":  # what is typed ahead waits in the terminal, its echo first in the output
            self.master, self.slave = pty.openpty()
            self.attrs = termios.tcgetattr(self.slave)
            os.write(self.master, ahead.encode())
        io = self.slave if mode == "pty" else subprocess.PIPE
        self.proc = subprocess.Popen(argv, cwd=folder, env=env, stdin=io, stdout=io, stderr=subprocess.PIPE,
                                     start_new_session=mode == "pty")
        out = self.master if mode == "pty" else self.proc.stdout.fileno()
        if mode == "pipe":
            self.send(ahead)
        threading.Thread(target=self._read, args=(out,), daemon=True).start()

    def _read(self, fd):
        while not self.ended:
            try:
                data = os.read(fd, 65536)
            except OSError:  # EIO: the terminal's last user is gone
                data = b""
            with self.lock:
                self.out += data.replace(b"\r\n", b"\n") if self.mode == "pty" else data
                self.ended = not data
                self.lock.notify_all()

    def expect(self, want, timeout=6.0):
        """Waits until the output goes on from the last match with `want`
        (bytes, or a compiled pattern matched there); fails as soon as it
        goes another way or ends."""
        deadline = time.monotonic() + timeout * SLOWDOWN
        with self.lock:
            while True:
                if isinstance(want, bytes):
                    got = self.out[self.cursor:self.cursor + len(want)]
                    end, wrong = self.cursor + len(want) if got == want else None, not want.startswith(got)
                else:
                    match = want.match(self.out, self.cursor)
                    end, wrong = match and match.end(), False
                if end is not None:
                    self.cursor = end
                    return
                if wrong or self.ended or time.monotonic() > deadline:
                    raise AssertionError("expected %r at %d; output:\n%r" % (want, self.cursor, self.out))
                self.lock.wait(0.05)

    def quiet(self, seconds):
        time.sleep(seconds)
        with self.lock:
            return len(self.out) == self.cursor

    def send(self, text):
        os.write(self.master if self.mode == "pty" else self.proc.stdin.fileno(), text.encode())

    def end_input(self):
        if self.mode == "pty":
            os.write(self.master, b"\x04")  # Ctrl-D at the start of a line
        else:
            self.proc.stdin.close()

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def wake_ups(self):
        """How often the main thread has slept and woken."""
        with open("/proc/%d/status" % self.proc.pid) as f:
            return int(re.search(r"\nvoluntary_ctxt_switches:\s+(\d+)", f.read()).group(1))

    def under(self, *runtimes):
        """Whether the player runs under one of these sanitizers ("asan", "tsan")."""
        with open("/proc/%d/maps" % self.proc.pid) as f:
            maps = f.read()
        return any("/lib%s" % runtime in maps for runtime in runtimes)

    def wait(self, timeout=8.0):
        """The exit status. Nothing may have followed the last match, nothing
        appeared on standard error, and a terminal and the home are as they were."""
        status = self.proc.wait(timeout * SLOWDOWN)
        with self.lock:
            self.lock.wait_for(lambda: self.ended, 0.2 if self.mode == "pty" else 2)
        assert self.out[self.cursor:] == b"", "printed after the last match: %r" % self.out[self.cursor:]
        assert self.proc.stderr.read() == b"", "wrote on standard error"
        assert self.mode != "pty" or termios.tcgetattr(self.slave) == self.attrs, "the terminal was left changed"
        assert not any(os.listdir(folder) for folder in self.home), "wrote into the home or runtime folder: %r" % list(os.walk(self.tmp.name))
        return status

    def close(self):
        self.proc.kill()
        self.proc.wait()
        for f in filter(None, (self.proc.stdin, self.proc.stdout, self.proc.stderr)):
            f.close()
        if self.mode == "pty":
            os.close(self.master)
            os.close(self.slave)
        self.tmp.cleanup()


class InFolder(unittest.TestCase):
    """A test with a folder of its own, self.dir, and self.path(name) in it."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="tamblo-e2e-")
        self.addCleanup(self.dir.cleanup)
        self.path = lambda name: os.path.join(self.dir.name, name)


def make_folder(folder, tracks):
    """A dialogue case's tracks: (name, seconds, lame's tag options...) is an
    MP3 tone, (name, None) an empty file, a name ending in "/" a folder."""
    for i, (name, seconds, *tags) in enumerate(tracks):
        path = os.path.join(folder, name)
        if name.endswith("/"):
            os.mkdir(path)
        elif seconds is None:
            open(path, "wb").close()
        else:
            make_sound(path, seconds, freq=300 + 20 * i, lame=("-b", "128", *tags))


def run_case(case, player, convert=lambda text: text, answer=0.5):
    """Plays one dialogue case on a player started with its typed-ahead
    text; `convert` turns expected text into what this console shows. An
    output right after something typed is its answer: it comes within
    `answer` seconds, not at the clock's next second."""
    if player.mode == "pty":
        player.expect(case.ahead.encode())
    typed = False
    for kind, *arg in case.steps:
        arg = arg[0] if arg else None
        if kind == "out":
            player.expect(convert(arg) if isinstance(arg, bytes) else re.compile(convert(arg.pattern), arg.flags),
                          answer if typed else 6.0)
        elif kind == "type":
            player.send(arg)
            if player.mode == "pty":
                player.expect(arg.encode())  # the terminal's echo
        elif kind == "wait":
            time.sleep(arg)
        elif kind == "quiet":
            assert player.quiet(arg), "printed while it should wait: %r" % player.out[player.cursor:]
        elif kind == "eof":
            player.end_input()
        elif kind == "idle":  # asleep until a key or the turn's end, looking at the clock once a second
            cpu, woken = player.cpu_seconds(), player.wake_ups()
            time.sleep(arg)
            cpu, woken = player.cpu_seconds() - cpu, player.wake_ups() - woken
            # ThreadSanitizer's runtime takes locks of its own, which wake the
            # main thread more often (up to 10 times in 2.5 s, against 6
            # without it); its CPU still counts.
            assert cpu < 0.1 * arg and (woken < 2 * arg + 5 or player.under("tsan")), \
                "%.2f s of CPU, %d wake-ups" % (cpu, woken)
        elif kind == "exit":
            assert player.wait() == arg
        elif kind == "kill":
            player.proc.kill()
            player.wait()
        typed = kind == "type"
