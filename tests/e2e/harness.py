"""Runs the built player end to end, through a pipe or a pseudo-terminal, and
makes the sounds it plays.

TAMBLO names the program (CTest sets it), TAMBLO_EXEC_PREFIX a command to put
in front of it (valgrind, say), TAMBLO_SOUNDS the folder where generated
sounds are kept between runs. Sound goes to ALSA's null device, or to a WAV
capture when a test asks, so no sound card is needed.
"""
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

HERE = os.path.dirname(os.path.abspath(__file__))
TAMBLO = os.environ.get("TAMBLO", "tamblo")
SOUNDS = os.environ.get("TAMBLO_SOUNDS", os.path.join(HERE, "..", "..", "build", "test-sounds"))
SLOWDOWN = float(os.environ.get("TAMBLO_SLOWDOWN", "1"))


def make_sound(path, seconds, freq=440, rate=44100, channels=2, lame=("-b", "128")):
    """A sine tone as an MP3 (lame's arguments), or as a WAV when lame is None.
    The same request gives the same bytes every time: sox without dither, and
    kept in SOUNDS by what was asked."""
    key = hashlib.sha1(repr((seconds, freq, rate, channels, lame)).encode()).hexdigest()[:16]
    kept = os.path.join(SOUNDS, key + (".mp3" if lame else ".wav"))
    if not os.path.exists(kept):
        os.makedirs(SOUNDS, exist_ok=True)
        wav = kept + ".part.wav"
        subprocess.run(["sox", "-R", "-n", "-r", str(rate), "-c", str(channels), "-b", "16", wav,
                        "synth", str(seconds), "sine", str(freq), "vol", "0.5"], check=True)
        if lame:
            subprocess.run(["lame", "--quiet", *lame, wav, kept + ".part"], check=True)
            os.unlink(wav)
        os.rename(kept + ".part" if lame else wav, kept)
    shutil.copyfile(kept, path)
    return path


def wav_samples(path):
    """The 16-bit samples of a WAV file, its rate and its channel count."""
    with open(path, "rb") as f:
        data = f.read()
    fmt, start = data.find(b"fmt "), data.find(b"data") + 8
    samples = array.array("h", data[start:start + (len(data) - start) // 2 * 2])
    return samples, int.from_bytes(data[fmt + 12:fmt + 16], "little"), int.from_bytes(data[fmt + 10:fmt + 12], "little")


def alsa_config(folder, capture=None, pcm="null"):
    """ALSA's whole configuration: the default PCM is `pcm`, seen through a
    WAV capture when one is named."""
    path = os.path.join(folder, "asound.conf")
    with open(path, "w") as f:
        if capture:
            f.write('pcm.!default { type file slave.pcm "%s" format "wav" file "%s" }\n' % (pcm, capture))
        else:
            f.write('pcm.!default "%s"\n' % pcm)
        f.write("pcm.null { type null }\npcm.unplugged { type hw card Unplugged }\n")
    return path


class Player:
    """The running program; what it prints is collected as it comes.

    mode "pipe": standard input and output are pipes; "pty": both are a
    pseudo-terminal in its normal line-editing mode, whose echo and CR LF
    are part of the output. Standard error is always a pipe of its own."""

    def __init__(self, folder, mode="pipe", env=None, capture=None, argv=None):
        self.mode, self.out, self.cursor, self.ended = mode, b"", 0, False
        self.lock = threading.Condition()
        self.tmp = tempfile.TemporaryDirectory(prefix="tamblo-e2e-")
        environment = dict(os.environ, ALSA_CONFIG_PATH=alsa_config(self.tmp.name, capture), LC_ALL="C.UTF-8")
        environment.update(env or {})
        argv = argv or shlex.split(os.environ.get("TAMBLO_EXEC_PREFIX", "")) + [TAMBLO]
        if mode == "pty":
            self.master, slave = pty.openpty()
            self.slave, self.attrs = slave, termios.tcgetattr(slave)
            self.proc = subprocess.Popen(argv, cwd=folder, env=environment, stdin=slave, stdout=slave,
                                         stderr=subprocess.PIPE, start_new_session=True)
            out_fd = self.master
        else:
            self.proc = subprocess.Popen(argv, cwd=folder, env=environment, stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            out_fd = self.proc.stdout.fileno()
        threading.Thread(target=self._read, args=(out_fd,), daemon=True).start()

    def _read(self, fd):
        while True:
            try:
                data = os.read(fd, 65536)
            except OSError:  # EIO: the terminal's last user is gone
                data = b""
            with self.lock:
                self.out += data.replace(b"\r\n", b"\n") if self.mode == "pty" else data
                self.ended = not data
                self.lock.notify_all()
            if not data:
                return

    def expect(self, want, timeout=6.0):
        """Waits until the output goes on from the last match with `want`
        (bytes, or a compiled pattern matched there); fails as soon as it
        goes another way or ends."""
        deadline = time.monotonic() + timeout * SLOWDOWN
        with self.lock:
            while True:
                if isinstance(want, bytes):
                    got = self.out[self.cursor:self.cursor + len(want)]
                    end = self.cursor + len(want) if got == want else None
                    wrong = not want.startswith(got)
                else:
                    match = want.match(self.out, self.cursor)
                    end, wrong = (match.end() if match else None), False
                if end is not None:
                    self.cursor = end
                    return
                if wrong or self.ended or time.monotonic() > deadline:
                    raise AssertionError("expected %r at %d; output:\n%r" % (want, self.cursor, self.out))
                self.lock.wait(0.05)

    def quiet(self, seconds):
        """Nothing more is printed for `seconds`."""
        time.sleep(seconds)
        with self.lock:
            return len(self.out) == self.cursor

    def send(self, text):
        data = text.encode() if isinstance(text, str) else text
        if self.mode == "pty":
            os.write(self.master, data)
        else:
            self.proc.stdin.write(data)
            self.proc.stdin.flush()

    def end_input(self):
        if self.mode == "pty":
            os.write(self.master, b"\x04")  # Ctrl-D at the start of a line
        else:
            self.proc.stdin.close()

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def wait(self, timeout=8.0):
        """The exit status, once the output has ended; nothing may follow the
        last match, and standard error must have stayed empty."""
        status = self.proc.wait(timeout * SLOWDOWN)
        with self.lock:
            self.lock.wait_for(lambda: self.ended or self.mode == "pty", 2)
            time.sleep(0.1 if self.mode == "pty" else 0)
        stderr = self.proc.stderr.read()
        assert self.out[self.cursor:] == b"", "printed after the last match: %r" % self.out[self.cursor:]
        assert stderr == b"", "standard error: %r" % stderr
        if self.mode == "pty":
            assert termios.tcgetattr(self.slave) == self.attrs, "the terminal was left changed"
        return status

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for f in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if f:
                f.close()
        if self.mode == "pty":
            os.close(self.master)
            os.close(self.slave)
        self.tmp.cleanup()


def make_folder(folder, tracks):
    """Fills `folder` from a dialogue case's tracks: (name, seconds) makes an
    MP3 tone, (name, None) an empty file, a name ending in "/" a folder."""
    for i, (name, seconds) in enumerate(tracks):
        path = os.path.join(folder, name)
        if name.endswith("/"):
            os.mkdir(path)
        elif seconds is None:
            open(path, "wb").close()
        else:
            make_sound(path, seconds, freq=300 + 20 * i)


def run_case(case, mode, convert_pause=lambda text: text):
    """Runs one dialogue case through a pipe or a pseudo-terminal."""
    with tempfile.TemporaryDirectory(prefix="tamblo-e2e-") as folder:
        make_folder(folder, case.tracks)
        player = Player(folder, mode)
        try:
            for step in case.steps:
                kind, arg = step[0], step[1] if len(step) > 1 else None
                if kind == "out":
                    if isinstance(arg, bytes):
                        player.expect(convert_pause(arg))
                    else:
                        player.expect(re.compile(convert_pause(arg.pattern), arg.flags))
                elif kind == "type":
                    player.send(arg)
                    if mode == "pty":
                        player.expect(arg.encode())  # the terminal's echo
                elif kind == "wait":
                    time.sleep(arg)
                elif kind == "quiet":
                    assert player.quiet(arg), "printed while it should wait: %r" % player.out[player.cursor:]
                elif kind == "eof":
                    player.end_input()
                elif kind == "exit":
                    assert player.wait() == arg
        finally:
            player.close()
