"""Drives the built tamblo program end to end, through a pipe or a pseudo-terminal.

The program under test is named by the TAMBLO environment variable (CTest sets
it); TAMBLO_EXEC_PREFIX, when set, is put in front of it (valgrind, say).
Sound goes to ALSA's null device unless a test asks for a capture file, so no
sound card is needed and nothing is heard.
"""

import hashlib
import os
import pty
import re
import shlex
import shutil
import signal
import subprocess
import tempfile
import termios
import threading
import time
import unittest

TAMBLO = os.path.abspath(os.environ.get("TAMBLO", "build/tests/tamblo"))
EXEC_PREFIX = shlex.split(os.environ.get("TAMBLO_EXEC_PREFIX", ""))
# Under valgrind everything is slower; timeouts stretch with this factor.
SLOWDOWN = float(os.environ.get("TAMBLO_SLOWDOWN", "1"))

PAUSE_CP932 = bytes.fromhex(
    "91b18d7382b782e982c982cd89bd82a9834c815b82f0899f82b582c482ad82be82b382a2") + b"...\n"
PAUSE_UTF8 = PAUSE_CP932.decode("cp932").encode("utf-8")

_cache_dir = None


def _cache():
    global _cache_dir
    if _cache_dir is None:
        _cache_dir = tempfile.mkdtemp(prefix="tamblo-e2e-sounds-")
    return _cache_dir


def make_mp3(path, seconds, freq=440, rate=44100, channels=2, lame_args=("-b", "128")):
    """Writes an MP3 of a sine tone; identical requests share one encode."""
    key = hashlib.sha1(repr((seconds, freq, rate, channels, tuple(lame_args))).encode()).hexdigest()[:16]
    cached = os.path.join(_cache(), key + ".mp3")
    if not os.path.exists(cached):
        wav = cached + ".wav"
        subprocess.run(["sox", "-n", "-r", str(rate), "-c", str(channels), "-b", "16", wav,
                        "synth", str(seconds), "sine", str(freq), "vol", "0.5"], check=True)
        subprocess.run(["lame", "--quiet", *lame_args, wav, cached + ".part"], check=True)
        os.rename(cached + ".part", cached)
        os.unlink(wav)
    shutil.copyfile(cached, path)
    return path


def make_wav(path, seconds, freq=440, rate=44100, channels=2):
    subprocess.run(["sox", "-n", "-r", str(rate), "-c", str(channels), "-b", "16", "-t", "wav", path,
                    "synth", str(seconds), "sine", str(freq), "vol", "0.5"], check=True)
    return path


class Folder:
    """A temporary folder to start the player in."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="tamblo-e2e-")

    def mp3(self, name, seconds=1, **kwargs):
        return make_mp3(self.file_path(name), seconds, **kwargs)

    def file_path(self, name):
        return os.path.join(self.path.encode(), name if isinstance(name, bytes) else name.encode())

    def write(self, name, data=b""):
        with open(self.file_path(name), "wb") as f:
            f.write(data)

    def remove(self):
        for root, dirs, _ in os.walk(self.path):
            for d in dirs:
                os.chmod(os.path.join(root, d), 0o700)
        shutil.rmtree(self.path, ignore_errors=True)


def alsa_config(folder, capture=None):
    """An ALSA configuration whose default PCM is the null device, or a WAV capture."""
    path = os.path.join(folder, "asound.conf")
    with open(path, "w") as f:
        if capture is None:
            f.write("pcm.!default { type null }\nctl.!default { type hw card 0 }\n")
        else:
            f.write('pcm.!default { type file slave.pcm { type null } format "wav" file "%s" }\n' % capture)
    return path


class Player:
    """The running program, its output collected as it comes, with times.

    mode "pipe": standard input and output are pipes. mode "pty": both are a
    pseudo-terminal in its normal (line-editing, echoing) mode. Standard error
    is always a pipe of its own, so that a test can show it stayed empty.
    """

    def __init__(self, folder, mode="pipe", env=None, capture=None, stdin=None, stdout=None, unprivileged=False,
                 argv_prefix=()):
        self.mode = mode
        self.chunks = []  # (time, bytes)
        self.lock = threading.Condition()
        self.cursor = 0
        self.config_dir = tempfile.mkdtemp(prefix="tamblo-e2e-alsa-")
        environment = dict(os.environ)
        environment.pop("TAMBLO_EXEC_PREFIX", None)
        environment.update({"ALSA_CONFIG_PATH": alsa_config(self.config_dir, capture), "LC_ALL": "C.UTF-8"})
        environment.update(env or {})
        program = TAMBLO
        drop = []
        if unprivileged and os.geteuid() == 0:
            # Root reads every file; to meet an unreadable one the player runs
            # as nobody, from a copy that nobody can reach.
            os.chmod(self.config_dir, 0o755)
            program = os.path.join(self.config_dir, "tamblo")
            shutil.copy(TAMBLO, program)
            os.chmod(program, 0o755)
            drop = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        argv = list(argv_prefix) + drop + EXEC_PREFIX + [program]
        self.started = time.monotonic()
        if mode == "pty":
            master, slave = pty.openpty()
            self.master = master
            self.slave_attrs = termios.tcgetattr(slave)
            self.slave_fd = slave
            self.proc = subprocess.Popen(argv, cwd=folder, env=environment, stdin=slave, stdout=slave,
                                         stderr=subprocess.PIPE, start_new_session=True,
                                         preexec_fn=lambda: _take_terminal(0))
            self.reader = threading.Thread(target=self._read_fd, args=(master,), daemon=True)
        else:
            self.master = None
            self.proc = subprocess.Popen(argv, cwd=folder, env=environment,
                                         stdin=subprocess.PIPE if stdin is None else stdin,
                                         stdout=subprocess.PIPE if stdout is None else stdout,
                                         stderr=subprocess.PIPE)
            self.reader = threading.Thread(target=self._read_fd,
                                           args=(self.proc.stdout.fileno() if stdout is None else None,), daemon=True)
        self.err_chunks = []
        self.err_reader = threading.Thread(target=self._read_err, daemon=True)
        self.reader.start()
        self.err_reader.start()

    def _read_fd(self, fd):
        if fd is None:
            return
        while True:
            try:
                data = os.read(fd, 65536)
            except OSError:  # EIO: the terminal's last user is gone
                data = b""
            with self.lock:
                if data:
                    self.chunks.append((time.monotonic(), data))
                else:
                    self.chunks.append((time.monotonic(), None))
                self.lock.notify_all()
            if not data:
                return

    def _read_err(self):
        while True:
            data = self.proc.stderr.read1(65536) if hasattr(self.proc.stderr, "read1") else self.proc.stderr.read(1)
            if not data:
                return
            self.err_chunks.append(data)

    @property
    def output(self):
        """Everything printed so far; on a terminal, with CR LF turned back into LF."""
        with self.lock:
            data = b"".join(c for _, c in self.chunks if c)
        return data.replace(b"\r\n", b"\n") if self.mode == "pty" else data

    @property
    def stderr(self):
        return b"".join(self.err_chunks)

    def expect(self, pattern, timeout=5.0):
        """Waits until `pattern` (bytes, or a compiled regex) appears after the
        previous match; returns the time it was printed, in seconds since start."""
        deadline = time.monotonic() + timeout * SLOWDOWN
        with self.lock:
            while True:
                data = b""
                when = None
                for t, c in self.chunks:
                    if c:
                        data += c
                        if self.mode == "pty":
                            data = data.replace(b"\r\n", b"\n")
                        found = self._search(pattern, data)
                        if found is not None and found > self.cursor:
                            when = t
                            break
                if when is not None:
                    self.cursor = found
                    return when - self.started
                if self.chunks and self.chunks[-1][1] is None:
                    raise AssertionError("output ended without %r; output:\n%r" % (pattern, self.output))
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("timed out waiting for %r; output:\n%r" % (pattern, self.output))
                self.lock.wait(left)

    def expect_output(self, expected, timeout=5.0):
        """Waits until the whole output so far begins with `expected`, failing
        as soon as it goes another way; returns the time, in seconds since
        start, when its last byte was printed."""
        deadline = time.monotonic() + timeout * SLOWDOWN
        with self.lock:
            while True:
                data = b""
                for t, c in self.chunks:
                    if not c:
                        continue
                    data += c
                    if self.mode == "pty":
                        data = data.replace(b"\r\n", b"\n")
                    if data.startswith(expected):
                        self.cursor = len(expected)
                        return t - self.started
                if not expected.startswith(data[:len(expected)]):
                    raise AssertionError("output went another way:\n%r\nexpected to begin with:\n%r" % (data, expected))
                if self.chunks and self.chunks[-1][1] is None:
                    raise AssertionError("output ended early:\n%r\nexpected:\n%r" % (data, expected))
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("timed out; output:\n%r\nexpected to begin with:\n%r" % (data, expected))
                self.lock.wait(left)

    def _search(self, pattern, data):
        if isinstance(pattern, bytes):
            i = data.find(pattern, self.cursor)
            return None if i < 0 else i + len(pattern)
        m = pattern.search(data, self.cursor)
        return None if m is None else m.end()

    def quiet_for(self, seconds):
        """True when nothing more is printed for `seconds`."""
        with self.lock:
            before = len(self.chunks)
        time.sleep(seconds)
        with self.lock:
            return len(self.chunks) == before

    def send(self, text):
        data = text.encode() if isinstance(text, str) else text
        if self.mode == "pty":
            os.write(self.master, data)
        else:
            self.proc.stdin.write(data)
            self.proc.stdin.flush()

    def close_input(self):
        if self.mode == "pty":
            os.write(self.master, b"\x04")  # Ctrl-D
        else:
            self.proc.stdin.close()

    def wait(self, timeout=10.0):
        rc = self.proc.wait(timeout * SLOWDOWN)
        # A terminal's reader sees no end while the test holds the terminal
        # open; what the player printed is in by the time it has exited.
        self.reader.join(0.2 if self.mode == "pty" else 2)
        self.err_reader.join(2)
        return rc

    def wait_usage(self, timeout=10.0):
        """Waits for the end like wait(); returns (exit status, CPU seconds
        the process used in all, user and system)."""
        deadline = time.monotonic() + timeout * SLOWDOWN
        while True:
            pid, status, usage = os.wait4(self.proc.pid, os.WNOHANG)
            if pid == self.proc.pid:
                break
            if time.monotonic() > deadline:
                raise AssertionError("the player did not end; output:\n%r" % self.output)
            time.sleep(0.02)
        self.proc.returncode = os.waitstatus_to_exitcode(status)
        self.reader.join(0.2 if self.mode == "pty" else 2)
        self.err_reader.join(2)
        return self.proc.returncode, usage.ru_utime + usage.ru_stime

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        ticks = os.sysconf("SC_CLK_TCK")
        return (int(fields[11]) + int(fields[12])) / ticks

    def terminal_attrs(self):
        return termios.tcgetattr(self.slave_fd)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for f in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if f is not None:
                try:
                    f.close()
                except OSError:
                    pass
        if self.master is not None:
            os.close(self.master)
            os.close(self.slave_fd)
            self.master = None
        shutil.rmtree(self.config_dir, ignore_errors=True)


def _take_terminal(fd):
    import fcntl
    fcntl.ioctl(fd, termios.TIOCSCTTY, 0)


def listing(names):
    """The list as the player prints it, pauses included."""
    out = b""
    for i, name in enumerate(names[:50]):
        if i in (15, 30, 45):
            out += PAUSE_UTF8
        out += b"%-2d | " % i + (name if isinstance(name, bytes) else name.encode()) + b"\n"
    return out


def prompt(name):
    base = name if isinstance(name, bytes) else name.encode()
    if b"." in base:
        base = base[:base.rindex(b".")]
    return b"\nTamblo0~ " + base + b"~$ "


class PlayerTest(unittest.TestCase):
    """Cleans up folders and players after each test."""

    def setUp(self):
        self._cleanup = []

    def tearDown(self):
        for action in reversed(self._cleanup):
            action()

    def folder(self):
        f = Folder()
        self._cleanup.append(f.remove)
        return f

    def start(self, folder, **kwargs):
        p = Player(folder.path if isinstance(folder, Folder) else folder, **kwargs)
        self._cleanup.append(p.stop)
        return p

    def assertQuietStderr(self, player):
        self.assertEqual(player.stderr, b"", "the player wrote on standard error")
