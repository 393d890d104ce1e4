#!/usr/bin/env python3
"""Tamblo's benchmark: plays the same tracks with Tamblo and with mpg123 in both
its modes (`-o alsa`, through ALSA's pulse plugin, and `-o pulse`, natively)
through a PulseAudio null sink of its own, and reports medians and ratios of
CPU time, wake-ups, peak memory, first-sound and stop latency, plus Tamblo's
start-up time and the cost of its length scan; beside them the limits: the
CPU time of libmpg123 decoding the track alone, and the cost of a client that
does nothing but play noise, one through ALSA and one natively, the floor
each sound path sets. bench/run builds Tamblo and the helpers and calls this
script."""

import argparse
import array
import bisect
import collections
import ctypes
import datetime
import os
import platform
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

RATE = 44100
CHANNELS = 2
FRAME_BYTES = 2 * CHANNELS
# Above this a sample is sound (-42 dBFS); at or below it, silence. The test
# tracks are pink noise at -6 dBFS, which never stays this quiet for long.
SOUND_LEVEL = 256
# Silence counts once it has lasted this long, so that a zero crossing of
# the noise is never taken for the end of the sound.
SILENCE_FRAMES = RATE * 5 // 1000
PAGE_BREAKS = "\n\n\n"  # the list pauses after 15, 30 and 45 names
# Silence after a command is looked for from a little before it was sent, so
# that a frame's place on the clock, good to a block of the sink, never hides
# a stop that came at once.
SEARCH_BACK = 0.005
# The short track of the commands in the last second, and how long before
# the end of its sound each command comes: while the end drains, since the
# sound server keeps up to two seconds queued.
SHORT_TRACK = 4.0
BEFORE_END = 0.65


def log(message):
    print(message, file=sys.stderr, flush=True)


LIBC = ctypes.CDLL(None, use_errno=True)
# Players still running, by process, should the driver stop half-way.
RUNNING = set()


def die_with_parent():
    """In a helper's child, before its exec: end it when the driver itself
    is killed, so that no sound server outlives a benchmark stopped hard."""
    LIBC.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def stop_process(proc, timeout=5.0):
    """Ends a child we started, by its own process id, and reaps it."""
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGTERM)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait()


# ---------------------------------------------------------------- test audio


def make_audio(cache):
    """The test tracks, made once and kept in `cache`: pink noise, so that the
    decoder does the work of real music and no stretch of it is silent."""
    # The tracks are linked into the players' folders from elsewhere.
    cache = os.path.abspath(cache)
    os.makedirs(cache, exist_ok=True)
    recipes = {
        "noise-60s.mp3": ["synth", "60", "pinknoise", "gain", "-6"],
        "noise-600s.mp3": ["synth", "600", "pinknoise", "gain", "-6"],
        "noise-4s.mp3": ["synth", f"{SHORT_TRACK:g}", "pinknoise", "gain", "-6"],
        "silence-5s.mp3": ["trim", "0", "5"],
    }
    paths = {}
    for name, effects in recipes.items():
        path = os.path.join(cache, name)
        if not os.path.exists(path):
            log(f"making {name} ...")
            wav = path + ".wav"
            subprocess.run(["sox", "-q", "-n", "-r", str(RATE), "-c", str(CHANNELS), "-b", "16", wav] + effects,
                           check=True)
            subprocess.run(["lame", "--quiet", "-b", "320", wav, path + ".part"], check=True)
            os.remove(wav)
            os.rename(path + ".part", path)
        paths[name] = path
    return paths


def make_folder(path, tracks, empty_files=0):
    """A folder holding `tracks` (name -> file, as symbolic links) and
    `empty_files` files that do not match *.mp3."""
    os.makedirs(path)
    for name, target in tracks.items():
        os.symlink(target, os.path.join(path, name))
    for i in range(empty_files):
        open(os.path.join(path, f"note{i:05d}.txt"), "w").close()
    return path


# -------------------------------------------------------------- sound server


class SoundServer:
    """A PulseAudio daemon of our own with one null sink, reached on a socket
    in a temporary folder; ALSA's default PCM goes to it through the pulse
    plugin, for Tamblo and mpg123 alike."""

    SINK = "bench"

    def __init__(self, folder):
        self.folder = folder
        self.proc = None
        home = os.path.join(folder, "home")
        runtime = os.path.join(folder, "run")
        os.makedirs(home)
        os.makedirs(runtime, mode=0o700)
        self.socket = os.path.join(folder, "native")
        alsa_conf = os.path.join(folder, "asound.conf")
        with open(alsa_conf, "w") as f:
            f.write("pcm.!default { type pulse }\nctl.!default { type pulse }\n")
        client_conf = os.path.join(folder, "client.conf")
        with open(client_conf, "w") as f:
            f.write("autospawn = no\n")
        self.env = dict(os.environ, HOME=home, XDG_RUNTIME_DIR=runtime, PULSE_SERVER="unix:" + self.socket,
                        PULSE_CLIENTCONFIG=client_conf,
                        ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:" + alsa_conf, LC_ALL="C.UTF-8")
        self.env.pop("PULSE_SINK", None)
        self.log_path = os.path.join(folder, "pulseaudio.log")

    def __enter__(self):
        with open(self.log_path, "w") as out:
            self.proc = subprocess.Popen(
                ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disable-shm=yes",
                 "--log-target=stderr", "-L", f"module-native-protocol-unix socket={self.socket} auth-anonymous=1",
                 "-L", f"module-null-sink sink_name={self.SINK} norewinds=1"],
                env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=out, preexec_fn=die_with_parent)
        deadline = time.monotonic() + 10
        while True:
            ready = subprocess.run(["pactl", "info"], env=self.env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL).returncode == 0
            if ready:
                return self
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.__exit__(None, None, None)
                with open(self.log_path) as f:
                    raise RuntimeError("the sound server did not start:\n" + f.read()[-2000:])
            time.sleep(0.05)

    def __exit__(self, *exc):
        if self.proc is not None:
            stop_process(self.proc)
            self.proc = None
        return False


class Recorder:
    """Records the null sink's monitor with parec and notes when each piece
    arrives, so that any sample can be put on the driver's clock.

    The sink renders one block of frames after another in step with the
    clock, so the piece that ends with frame n left it at about T0 + n / RATE
    and arrives some time later; the smallest such delay pins T0, up to
    parec's own latency, which is the same for both players. A frame's time
    is that of the piece that carries it: when the monitor gave it out. The
    sink counts each block in whole microseconds and so runs a little fast
    (0.4 ms a second with 2 ms blocks): T0 is taken from the pieces around
    the frame in question."""

    WINDOW = RATE // 4  # frames either side of a frame whose time is wanted

    def __init__(self, server):
        self.server = server
        self.data = bytearray()
        self.pieces = []  # (arrival time, frames recorded by then)
        self.lock = threading.Condition()
        self.proc = None
        self.thread = None

    def __enter__(self):
        self.proc = subprocess.Popen(
            ["parec", "-d", self.server.SINK + ".monitor", "--raw", "--format=s16le", f"--rate={RATE}",
             f"--channels={CHANNELS}", "--latency-msec=2"],
            env=self.server.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            preexec_fn=die_with_parent)
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()
        # Some recording before anything plays gives the first sound's time
        # pieces on both sides.
        self.wait_frames(self.WINDOW, timeout=10)
        return self

    def __exit__(self, *exc):
        stop_process(self.proc)
        self.thread.join(5)
        return False

    def _read(self):
        fd = self.proc.stdout.fileno()
        while True:
            piece = os.read(fd, 65536)
            now = time.monotonic()
            if not piece:
                break
            with self.lock:
                self.data += piece
                self.pieces.append((now, len(self.data) // FRAME_BYTES))
                self.lock.notify_all()

    def wait_frames(self, frames, timeout):
        with self.lock:
            if not self.lock.wait_for(lambda: len(self.data) // FRAME_BYTES >= frames, timeout):
                raise RuntimeError("the sink's monitor records nothing")

    def _zero_near(self, frame):
        with self.lock:
            near = [t - n / RATE for t, n in self.pieces if abs(n - frame) <= self.WINDOW]
            if not near:
                near = [t - n / RATE for t, n in self.pieces]
        return min(near)

    def time_of(self, frame):
        with self.lock:
            ends = [n for _, n in self.pieces]
        end = ends[min(bisect.bisect_right(ends, frame), len(ends) - 1)]
        return self._zero_near(frame) + end / RATE

    def frame_at(self, t):
        with self.lock:
            arrival, frames = min(self.pieces, key=lambda piece: abs(piece[0] - t))
        rough = frames + int((t - arrival) * RATE)
        return max(0, int((t - self._zero_near(rough)) * RATE))

    def samples(self, first_frame):
        with self.lock:
            view = bytes(self.data[first_frame * FRAME_BYTES:len(self.data) // FRAME_BYTES * FRAME_BYTES])
        return array.array("h", view)

    def first_sound(self, after):
        """Time of the first sample above the silence level from driver time
        `after` on, or None."""
        first = self.frame_at(after)
        samples = self.samples(first)
        for i, s in enumerate(samples):
            if s > SOUND_LEVEL or s < -SOUND_LEVEL:
                return self.time_of(first + i // CHANNELS)
        return None

    def wait_sound(self, after, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            t = self.first_sound(after)
            if t is not None:
                return t
            time.sleep(0.02)
        return None

    def silence(self, after):
        """Time of the first frame from `after` on that begins a stretch of
        silence of SILENCE_FRAMES, or None."""
        first = self.frame_at(after)
        samples = self.samples(first)
        run = 0
        for i in range(0, len(samples), CHANNELS):
            if all(-SOUND_LEVEL <= s <= SOUND_LEVEL for s in samples[i:i + CHANNELS]):
                run += 1
                if run >= SILENCE_FRAMES:
                    return self.time_of(first + i // CHANNELS - run + 1)
            else:
                run = 0
        return None


# ------------------------------------------------------------------ players


class Usage(collections.namedtuple("Usage", "cpu peak voluntary involuntary wall")):
    """What one run of a program used: CPU seconds (user + system), peak
    resident memory in KiB, context switches, voluntary (it waited) and
    involuntary (it was preempted), and the wall time it ran, in seconds."""

    def wakeups(self):
        """Context switches per second: how often the program woke up."""
        return (self.voluntary + self.involuntary) / self.wall


class Player:
    """One run of a player with pipes on all three standard streams; notes when
    bytes arrive on its standard output and keeps its standard error."""

    def __init__(self, argv, cwd, env, usage_runner=None, usage_dir=None):
        self.out = bytearray()
        self.err = bytearray()
        self.out_times = []  # (arrival time, length of self.out after it)
        self.cond = threading.Condition()
        self.usage = None  # a Usage, with a usage runner
        self.usage_file = None
        self.status = None
        self.ended = None
        if usage_runner is not None:
            # In the benchmark's own folder, which goes also when a run is
            # stopped half-way.
            fd, self.usage_file = tempfile.mkstemp(prefix="usage.", dir=usage_dir)
            os.close(fd)
            argv = [usage_runner, self.usage_file] + argv
        self.started = time.monotonic()
        self.proc = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        RUNNING.add(self.proc)
        self.readers = [threading.Thread(target=self._read, args=(self.proc.stdout, self.out, True), daemon=True),
                        threading.Thread(target=self._read, args=(self.proc.stderr, self.err, False), daemon=True)]
        for reader in self.readers:
            reader.start()

    def _read(self, stream, into, timed):
        fd = stream.fileno()
        while True:
            piece = os.read(fd, 65536)
            now = time.monotonic()
            if not piece:
                break
            with self.cond:
                into += piece
                if timed:
                    self.out_times.append((now, len(into)))
                self.cond.notify_all()

    def send(self, text):
        """Writes `text` to the player's standard input; returns the time."""
        now = time.monotonic()
        os.write(self.proc.stdin.fileno(), text.encode())
        return now

    def wait_output(self, pattern, timeout):
        """Time at which `pattern` had arrived on standard output."""
        with self.cond:
            if not self.cond.wait_for(lambda: pattern in self.out, timeout):
                raise RuntimeError(f"no {pattern!r} on the player's output: {bytes(self.out[-200:])!r}")
            end = self.out.find(pattern) + len(pattern)
            return next(t for t, size in self.out_times if size >= end)

    def finish(self, timeout, stop=False):
        """Waits for the player to end (ending it first when `stop`) and, with
        a usage runner, takes its resource usage; False when it had to be
        killed."""
        if stop:
            os.kill(self.proc.pid, signal.SIGTERM)
        deadline = time.monotonic() + timeout
        clean = True
        while True:
            pid, status = os.waitpid(self.proc.pid, os.WNOHANG)
            if pid == self.proc.pid:
                break
            if time.monotonic() > deadline:
                os.kill(self.proc.pid, signal.SIGKILL)
                clean = False
                deadline = float("inf")
            time.sleep(0.01)
        self.ended = time.monotonic()
        self.proc.returncode = os.waitstatus_to_exitcode(status)
        RUNNING.discard(self.proc)
        self.status = self.proc.returncode
        self.proc.stdin.close()
        for reader in self.readers:
            reader.join(5)
        if self.usage_file is not None:
            with open(self.usage_file) as f:
                user, system, peak, voluntary, involuntary = f.read().split()
            os.remove(self.usage_file)
            self.usage = Usage(float(user) + float(system), int(peak), int(voluntary), int(involuntary),
                               self.ended - self.started)
        return clean


# What each run is called in the results; mpg123 plays in both its modes.
TAMBLO = "tamblo"
MPG123 = {"alsa": "mpg123-alsa", "pulse": "mpg123-pulse"}
ALSA_FLOOR = "alsa-floor"
PULSE_FLOOR = "pulse-floor"
LIMIT = "limit"


class Bench:
    def __init__(self, args, server, tracks, tmp):
        self.args = args
        self.server = server
        self.tracks = tracks
        self.tmp = tmp
        self.tamblo = os.path.abspath(args.tamblo)
        self.problems = []

    def run(self, argv, folder, usage):
        return Player(argv, folder, self.server.env, self.args.usage_runner if usage else None, self.tmp)

    def tamblo_run(self, folder, usage=False):
        return self.run([self.tamblo], folder, usage)

    def helper_run(self, program, folder, *argv, usage=False):
        return self.run([os.path.abspath(program)] + list(argv), folder, usage)

    def floor_run(self, name, folder, seconds, usage=False):
        program = self.args.alsa_floor if name == ALSA_FLOOR else self.args.pulse_floor
        return self.helper_run(program, folder, str(seconds), usage=usage)

    def mpg123_run(self, folder, output, *argv, usage=False):
        return self.run(["mpg123", "-o", output] + list(argv), folder, usage)

    def elapsed(self, start, end, what):
        """`end` - `start`, or None with a note when either did not happen."""
        if start is None or end is None:
            self.problems.append(f"no {what} was recorded in one run")
            return None
        return end - start

    def check_tamblo(self, player, what):
        if player.err:
            self.problems.append(f"Tamblo wrote to standard error ({what}): {bytes(player.err[:200])!r}")
        if player.status != 0:
            self.problems.append(f"Tamblo ended with status {player.status} ({what})")

    def finish_tamblo(self, player, what, timeout=10):
        if not player.finish(timeout):
            self.problems.append(f"Tamblo did not end and was killed ({what})")
        self.check_tamblo(player, what)

    def finish_other(self, player, name, what, timeout, stop=False):
        """Ends a run of mpg123 or of a helper; False, with a note, when it
        failed: an output that did not open, say, would make its figures
        look good."""
        good = True
        if not player.finish(timeout, stop=stop):
            self.problems.append(f"{name} did not end and was killed ({what})")
            good = False
        elif not stop and player.status != 0:
            self.problems.append(f"{name} ended with status {player.status} ({what})")
            good = False
        if player.err:
            self.problems.append(f"{name} wrote to standard error ({what}): {bytes(player.err[:200])!r}")
            good = False
        return good

    # Each measurement returns one figure per run and player; the players
    # take turns, so that a change in the machine's load falls on all.

    def cpu_and_memory(self):
        """One whole 60 s track: CPU seconds, peak resident memory and
        wake-ups of each player; the CPU time of decoding it alone; and the
        same of both floors over 60 s of noise."""
        folder = make_folder(os.path.join(self.tmp, "one-track"), {"01 noise.mp3": self.tracks["noise-60s.mp3"]})
        result = {name: [] for name in (TAMBLO, *MPG123.values(), LIMIT, ALSA_FLOOR, PULSE_FLOOR)}
        for run in range(self.args.runs):
            log(f"whole track, run {run + 1} of {self.args.runs}: Tamblo")
            player = self.tamblo_run(folder, usage=True)
            # Looping off: the player ends after its one track.
            player.send("loop\n")
            self.finish_tamblo(player, "whole track", timeout=90)
            result[TAMBLO].append(player.usage)

            for output, name in MPG123.items():
                log(f"whole track, run {run + 1} of {self.args.runs}: mpg123 -o {output}")
                player = self.mpg123_run(folder, output, "-q", "01 noise.mp3", usage=True)
                good = self.finish_other(player, f"mpg123 -o {output}", "whole track", 90)
                result[name].append(player.usage if good else None)

            log(f"whole track, run {run + 1} of {self.args.runs}: decoding alone")
            player = self.helper_run(self.args.decoder, folder, "01 noise.mp3", usage=True)
            good = self.finish_other(player, "decode_only", "whole track", 30)
            if not player.out.strip().isdigit() or int(player.out) < 60 * RATE:
                self.problems.append(f"decode_only decoded {bytes(player.out).strip()!r} frames of the 60 s track")
                good = False
            result[LIMIT].append(player.usage if good else None)

            # The floors are light, and the order of the others is kept: both
            # play their minute together.
            log(f"whole track, run {run + 1} of {self.args.runs}: both floors")
            floors = {name: self.floor_run(name, folder, 60, usage=True) for name in (ALSA_FLOOR, PULSE_FLOOR)}
            for name, player in floors.items():
                good = self.finish_other(player, name, "whole track", 90)
                result[name].append(player.usage if good else None)
        return result

    def first_sound(self):
        """Process start to the first sound at the sink, for the 10-minute
        track; for Tamblo it is the first of a folder of 50."""
        tracks = {"00 long.mp3": self.tracks["noise-600s.mp3"]}
        for i in range(1, 50):
            tracks[f"{i:02d} noise.mp3"] = self.tracks["noise-60s.mp3"]
        folder = make_folder(os.path.join(self.tmp, "fifty"), tracks)
        result = {name: [] for name in (TAMBLO, *MPG123.values(), ALSA_FLOOR, PULSE_FLOOR)}
        for run in range(self.args.runs):
            log(f"first sound, run {run + 1} of {self.args.runs}")
            with Recorder(self.server) as rec:
                player = self.tamblo_run(folder)
                player.send(PAGE_BREAKS)
                heard = rec.wait_sound(player.started, timeout=5)
                player.wait_output(b"Tamblo0~ 00 long~$ ", 5)
                player.send("exit\n")
                self.finish_tamblo(player, "first sound")
                result[TAMBLO].append(self.elapsed(player.started, heard, "Tamblo's first sound"))
            for output, name in MPG123.items():
                with Recorder(self.server) as rec:
                    player = self.mpg123_run(folder, output, "-q", "00 long.mp3")
                    heard = rec.wait_sound(player.started, timeout=5)
                    self.finish_other(player, f"mpg123 -o {output}", "first sound", 5, stop=True)
                    result[name].append(self.elapsed(player.started, heard, f"mpg123 -o {output}'s first sound"))
            for name in (ALSA_FLOOR, PULSE_FLOOR):
                with Recorder(self.server) as rec:
                    player = self.floor_run(name, folder, 1)
                    heard = rec.wait_sound(player.started, timeout=5)
                    self.finish_other(player, name, "first sound", 5, stop=True)
                    result[name].append(self.elapsed(player.started, heard, f"the {name}'s first sound"))
        return result

    def tamblo_command(self, folder, word, delay, what):
        """Tamblo plays `folder`, and `word` is typed `delay` seconds after the
        first sound at the sink; returns the times of the first sound, of
        the command and of the silence after it (None where there was none)."""
        with Recorder(self.server) as rec:
            player = self.tamblo_run(folder)
            heard = rec.wait_sound(player.started, timeout=5)
            sent = None
            if heard is not None:
                time.sleep(max(0.0, heard + delay - time.monotonic()))
                sent = player.send(word + "\n")
                time.sleep(0.5)
                if word == "stop":
                    # Enter goes on with the next track; the exit
                    # command must come as a line of its own.
                    player.send("\n")
                    time.sleep(0.3)
            player.send("exit\n")
            self.finish_tamblo(player, f"{word}, {what}")
            if sent is None:
                return heard, None, None
            quiet = rec.silence(sent - SEARCH_BACK)
            # A sound that stopped before the command would pass for one
            # that stopped at once.
            first_quiet = rec.silence(heard)
            if first_quiet is None or first_quiet < sent - SEARCH_BACK:
                self.problems.append(f"Tamblo's sound paused or ended before its {word} ({what})")
                quiet = None
            return heard, sent, quiet

    def command_to_silence(self):
        """From a command written to the player's input to silence at the sink.

        Tamblo gets "n" (the next track, which is silent, follows) and "stop",
        a second into a long track and in the last second of a short one,
        while its end drains. mpg123 in its remote-control mode gets the
        same from its input a second into the long track: LOAD of the silent
        track, and STOP."""
        silent = {"02 silence.mp3": self.tracks["silence-5s.mp3"]}
        long_folder = make_folder(os.path.join(self.tmp, "two-tracks"),
                                  {"01 noise.mp3": self.tracks["noise-60s.mp3"], **silent})
        short_folder = make_folder(os.path.join(self.tmp, "short-track"),
                                   {"01 noise.mp3": self.tracks["noise-4s.mp3"], **silent})
        result = {key: [] for key in ("tamblo_n", "tamblo_stop", "tamblo_n_end", "tamblo_stop_end", "before_end")}
        for name in MPG123.values():
            result[name + "_load"] = []
            result[name + "_stop"] = []
        for run in range(self.args.runs):
            log(f"command to silence, run {run + 1} of {self.args.runs}")
            for word in ("n", "stop"):
                _, sent, quiet = self.tamblo_command(long_folder, word, 1.0, "mid-track")
                result["tamblo_" + word].append(self.elapsed(sent, quiet, f"silence after Tamblo's {word}"))
                heard, sent, quiet = self.tamblo_command(short_folder, word, SHORT_TRACK - BEFORE_END,
                                                         "last second")
                result[f"tamblo_{word}_end"].append(
                    self.elapsed(sent, quiet, f"silence after Tamblo's {word} in the last second"))
                if sent is not None:
                    before_end = heard + SHORT_TRACK - sent
                    result["before_end"].append(before_end)
                    if not 0.5 <= before_end <= 0.8:
                        self.problems.append(f"Tamblo's {word} came {before_end:.2f} s before the end of the "
                                             "track, not in its last 0.5-0.8 s")
            for output, name in MPG123.items():
                for word in ("load", "stop"):
                    with Recorder(self.server) as rec:
                        player = self.mpg123_run(long_folder, output, "-R")
                        start = player.send("LOAD 01 noise.mp3\n")
                        heard = rec.wait_sound(start, timeout=5)
                        sent = None
                        if heard is not None:
                            time.sleep(max(0.0, heard + 1.0 - time.monotonic()))
                            sent = player.send("LOAD 02 silence.mp3\n" if word == "load" else "STOP\n")
                            time.sleep(0.5)
                        player.send("QUIT\n")
                        self.finish_other(player, f"mpg123 -o {output} -R", word.upper(), 5)
                        quiet = None if sent is None else rec.silence(sent - SEARCH_BACK)
                        result[f"{name}_{word}"].append(
                            self.elapsed(sent, quiet, f"silence after mpg123 -o {output}'s {word.upper()}"))
        return result

    def startup(self):
        """Process start to the first prompt on the output pipe, in a folder of
        10,000 other files and 50 MP3s."""
        tracks = {f"{i:02d} noise.mp3": self.tracks["noise-60s.mp3"] for i in range(50)}
        folder = make_folder(os.path.join(self.tmp, "crowded"), tracks, empty_files=10000)
        result = []
        for run in range(self.args.runs):
            log(f"start-up, run {run + 1} of {self.args.runs}")
            player = self.tamblo_run(folder)
            player.send(PAGE_BREAKS)
            prompt = player.wait_output(b"Tamblo0~ 00 noise~$ ", 5)
            player.send("exit\n")
            self.finish_tamblo(player, "start-up")
            result.append(prompt - player.started)
        return result

    def scan(self):
        """The MCI open of the 10-minute track, and the time until its exact
        length is known: the walk over all its frames runs beside the open."""
        log("length scan")
        out = subprocess.run([self.args.open_timer, self.tracks["noise-600s.mp3"], str(max(self.args.runs, 5))],
                             check=True, stdout=subprocess.PIPE, text=True).stdout
        times = []
        for line in out.splitlines():
            open_ms, length_ms, length = line.split()
            # The encoder's delay and padding that lame's tag declares are
            # cut, so the length is the source's to the sample.
            if int(length) != 600000:
                self.problems.append(f"the 10-minute track opened with a length of {length} ms")
            times.append((float(open_ms) / 1000, float(length_ms) / 1000))
        return times


# ------------------------------------------------------------------- report


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def spread(values, scale, unit, digits):
    """The median and, with more than one run, the range."""
    values = [v * scale for v in values if v is not None]
    if not values:
        return "no value"
    text = f"{statistics.median(values):.{digits}f}"
    if len(values) > 1:
        text += f" ({min(values):.{digits}f}–{max(values):.{digits}f})"
    return f"{text} {unit}"


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return f"{os.cpu_count()} cores, {model}, Linux {platform.release()}"


def versions(args):
    tamblo = subprocess.run(["git", "-C", args.root, "describe", "--always", "--dirty", "--tags"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout.strip()
    mpg123 = subprocess.run(["mpg123", "--version"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True).stdout.strip().splitlines()[0]
    return tamblo or "unknown", mpg123


def row(name, subject, alsa=None, pulse=None, *, scale, unit, digits, ratio_limit=None, aim=None, limit=None,
        against=None):
    """One line of the table: `subject`'s figures and mpg123's in both its
    modes (lists, one per run, in seconds or bytes, shown `scale` to the
    `unit`); the best of mpg123's two medians, or `against`, a (label,
    figures) to compare with instead; the ratio of the medians; and whether
    the targets were met: a limit on that ratio (`aim` only shown) and one on
    the subject's median in `unit`."""
    s = median(subject)
    if against is not None:
        label, figures = against
        best = median(figures)
    else:
        modes = [(f"-o {mode}", median(figures)) for mode, figures in (("alsa", alsa), ("pulse", pulse))
                 if figures is not None and median(figures) is not None]
        label, best = min(modes, key=lambda mode: mode[1]) if modes else (None, None)
    ratio = s / best if s is not None and best else None
    met = []
    goal = []
    if ratio_limit is not None:
        goal.append(f"≤ {ratio_limit:g}×" + (f" (aim {aim:g}×)" if aim is not None else ""))
        met.append(ratio is not None and ratio <= ratio_limit)
    if limit is not None:
        goal.append(f"≤ {limit:g} {unit}")
        met.append(s is not None and s * scale <= limit)
    return [name, spread(subject, scale, unit, digits),
            spread(alsa, scale, unit, digits) if alsa is not None else "–",
            spread(pulse, scale, unit, digits) if pulse is not None else "–",
            f"{best * scale:.{digits}f} {unit} ({label})" if best is not None else "–",
            f"{ratio:.2f}×" if ratio is not None else "–", ", ".join(goal) or "–",
            ("yes" if all(met) else "NO") if met else "–"]


def table(rows):
    head = ["Measure", "Tamblo", "mpg123 -o alsa", "mpg123 -o pulse", "best", "Tamblo/best", "Target", "Met"]
    lines = ["| " + " | ".join(head) + " |", "|" + "|".join("---" for _ in head) + "|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


MEASUREMENTS = ("scan", "startup", "first-sound", "commands", "whole-track")
FLOORS = ((ALSA_FLOOR, "Floor through ALSA"), (PULSE_FLOOR, "Floor, native"))


def report_rows(m):
    """The table's rows for what was measured, in `m` by measurement name."""
    rows = []
    if "whole-track" in m:
        whole = m["whole-track"]

        def of(name, field):
            return [None if u is None else getattr(u, field) for u in whole[name]]

        def players(field):
            return [of(TAMBLO, field), of(MPG123["alsa"], field), of(MPG123["pulse"], field)]

        def peaks(name):
            return [None if u is None else u.peak * 1024 for u in whole[name]]

        def wakeups(name):
            return [None if u is None else u.wakeups() for u in whole[name]]

        cpu = dict(scale=1, unit="s", digits=3)
        mib = dict(scale=1 / 2**20, unit="MiB", digits=2)
        per_second = dict(scale=1, unit="/s", digits=1)
        rows.append(row("CPU time, one 60 s track (user + sys)", *players("cpu"), ratio_limit=0.4, **cpu))
        rows.append(row("Limit: libmpg123 decoding the same track to nothing, CPU time", of(LIMIT, "cpu"),
                        *players("cpu")[1:], **cpu))
        rows.append(row("Tamblo's CPU time against the limit", of(TAMBLO, "cpu"), against=("limit", of(LIMIT, "cpu")),
                        ratio_limit=1.5, **cpu))
        rows.append(row("Wake-ups (context switches) per second of playback", wakeups(TAMBLO),
                        wakeups(MPG123["alsa"]), wakeups(MPG123["pulse"]), **per_second))
        rows.append(row("Peak resident memory", peaks(TAMBLO), peaks(MPG123["alsa"]), peaks(MPG123["pulse"]),
                        ratio_limit=0.85, aim=0.8, **mib))
        for name, title in FLOORS:
            rows.append(row(f"{title}: CPU time, 60 s of noise", of(name, "cpu"), *players("cpu")[1:], **cpu))
            rows.append(row(f"{title}: peak resident memory", peaks(name), peaks(MPG123["alsa"]),
                            peaks(MPG123["pulse"]), **mib))
    if "first-sound" in m:
        first = m["first-sound"]
        ms = dict(scale=1000, unit="ms", digits=1)
        mpg123 = [first[MPG123["alsa"]], first[MPG123["pulse"]]]
        rows.append(row("Start to first sound, 10-minute track", first[TAMBLO], *mpg123, ratio_limit=0.6, **ms))
        for name, title in FLOORS:
            rows.append(row(f"{title}: start to first sound of noise", first[name], *mpg123, **ms))
    if "commands" in m:
        stops = m["commands"]
        ms = dict(scale=1000, unit="ms", digits=1, limit=30)
        for word, peer in (("n", "load"), ("stop", "stop")):
            rows.append(row(f"\"{word}\" to silence, mid-track (mpg123: {peer.upper()})", stops["tamblo_" + word],
                            stops[MPG123["alsa"] + "_" + peer], stops[MPG123["pulse"] + "_" + peer], **ms))
        for word in ("n", "stop"):
            rows.append(row(f"\"{word}\" to silence, last second of a track (its end draining)",
                            stops[f"tamblo_{word}_end"], **ms))
    if "startup" in m:
        rows.append(row("Start to first prompt, 10,050 files", m["startup"], scale=1000, unit="ms", digits=1,
                        limit=20))
    if "scan" in m:
        rows.append(row("MCI open, 10-minute track", [o for o, _ in m["scan"]], scale=1000, unit="ms", digits=1))
        rows.append(row("MCI open to exact length (frame walk), same", [w for _, w in m["scan"]], scale=1000,
                        unit="ms", digits=1))
    return rows


def usage_notes(whole):
    """What the table leaves out of the whole-track runs: wall times, the
    wake-ups of each kind, and the memory of decoding alone."""
    names = ((TAMBLO, "Tamblo"), (MPG123["alsa"], "mpg123 -o alsa"), (MPG123["pulse"], "mpg123 -o pulse"),
             (LIMIT, "decoding alone"), (ALSA_FLOOR, "floor through ALSA"), (PULSE_FLOOR, "floor, native"))

    def each(text_of, skip=()):
        parts = []
        for name, title in names:
            runs = [u for u in whole[name] if u is not None]
            if runs and name not in skip:
                parts.append(f"{title} {text_of(runs)}")
        return ", ".join(parts)

    def wall(runs):
        return f"{median([u.wall for u in runs]):.1f} s"

    def switches(runs):
        return (f"{median([u.voluntary / u.wall for u in runs]):.1f} + "
                f"{median([u.involuntary / u.wall for u in runs]):.1f}")

    limit_peaks = [u.peak * 1024 for u in whole[LIMIT] if u is not None]
    return [
        f"Whole track, wall time: {each(wall)} (Tamblo's until the clock's whole seconds reach the length plus "
        "one).",
        f"Wake-ups per second, voluntary + involuntary: {each(switches, skip=(LIMIT,))}.",
        f"Peak resident memory of decoding alone: {spread(limit_peaks, 1 / 2**20, 'MiB', 2)}.",
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", required=True, help="the repository")
    parser.add_argument("--tamblo", required=True, help="the player to measure")
    parser.add_argument("--open-timer", required=True, help="the MCI open timer (bench/mci_open_time.cpp)")
    parser.add_argument("--usage-runner", required=True, help="the CPU and memory meter (bench/run_with_rusage.cpp)")
    parser.add_argument("--alsa-floor", required=True, help="the least ALSA client (bench/alsa_floor.cpp)")
    parser.add_argument("--pulse-floor", required=True, help="the least native client (bench/pulse_floor.cpp)")
    parser.add_argument("--decoder", required=True, help="libmpg123 decoding alone (bench/decode_only.cpp)")
    parser.add_argument("--cache", required=True, help="where the test tracks are kept")
    parser.add_argument("--runs", type=int, default=5, help="runs of each measurement (default 5)")
    parser.add_argument("--only", action="append", choices=MEASUREMENTS,
                        help="take only this measurement (may be given more than once); the results file is then "
                        "left alone")
    parser.add_argument("--results", help="the Markdown file to write the table to")
    args = parser.parse_args()

    # A stop by kill ends the run the way Ctrl-C does, so that the sound
    # server and the players are stopped on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    tracks = make_audio(args.cache)
    wanted = args.only or MEASUREMENTS
    load_before = os.getloadavg()
    started = datetime.datetime.now().astimezone()
    clock_started = time.monotonic()
    measured = {}
    with tempfile.TemporaryDirectory(prefix="tamblo-bench.") as tmp:
        with SoundServer(os.path.join(tmp, "pulse")) as server:
            bench = Bench(args, server, tracks, tmp)
            steps = {"scan": bench.scan, "startup": bench.startup, "first-sound": bench.first_sound,
                     "commands": bench.command_to_silence, "whole-track": bench.cpu_and_memory}
            try:
                for name in MEASUREMENTS:
                    if name in wanted:
                        measured[name] = steps[name]()
            finally:
                for proc in list(RUNNING):
                    stop_process(proc)
    load_after = os.getloadavg()
    minutes = (time.monotonic() - clock_started) / 60

    tamblo_version, mpg123_version = versions(args)
    header = [
        f"Date: {started:%Y-%m-%d %H:%M %Z}",
        f"Machine: {machine()}; load average {load_before[0]:.2f} before, {load_after[0]:.2f} after (the "
        "machine is shared: the ranges show the noise)",
        f"Tamblo: {tamblo_version}; reference: {mpg123_version} (`mpg123 -o alsa` and `mpg123 -o pulse`)",
        f"Runs: {args.runs} of each, the players in turn; medians, (min–max) after them; {minutes:.1f} minutes "
        "in all",
    ]
    notes = [
        "Sound: a PulseAudio null sink (norewinds=1) of the benchmark's own, on a socket that PULSE_SERVER names. "
        "Tamblo and `mpg123 -o pulse` reach it natively through libpulse, `mpg123 -o alsa` through ALSA's PCM "
        "`default` and its pulse plugin. \"best\" is the better of mpg123's two medians, and each ratio target is "
        "judged against it.",
        "Latencies are read from the sink's monitor, recorded with parec in 2 ms blocks: a frame's time is when "
        "the monitor gave it out, pinned by the quickest arrival at parec, so all figures carry parec's own small "
        "delay and a resolution of about one block.",
        "Tracks: pink noise at -6 dBFS, 320 kbit/s CBR (lame); sound is a sample above -42 dBFS, silence 5 ms at "
        "or below it.",
        "mpg123 plays the file once (`mpg123 -o alsa -q FILE`, `mpg123 -o pulse -q FILE`); for the commands it "
        "runs in remote-control mode (`-R`) and reads LOAD of a silent track or STOP from its input, as Tamblo "
        "reads \"n\" (a silent track comes next) or \"stop\". Mid-track, the command comes 1 s after the first "
        f"sound of a 60 s track; in the last second, Tamblo's comes {BEFORE_END:g} s before the end of a "
        f"{SHORT_TRACK:g} s track, when all of it has been written and the sound server plays out its queue.",
        "Start-up: until the first prompt has reached the pipe on Tamblo's output; the three page breaks of the "
        "list are on its input from the start.",
        "CPU time, peak memory and context switches come from wait4 in a small launcher "
        "(bench/run_with_rusage.cpp); the kernel counts the peak from before the program's exec, which there is "
        "the launcher's own, about 1 MiB. Wake-ups are the voluntary and involuntary context switches over the "
        "program's wall time.",
        "Limit: bench/decode_only.cpp decodes the 60 s track with libmpg123, set up and read as Tamblo sets it up "
        "and reads it (signed 16-bit, a quarter second at a time), and sends the sound nowhere: the least CPU time "
        "any player of the track spends. Its \"Tamblo\" column is its own.",
        "Floors: clients that only write noise at once, nothing decoded or printed; their rows show what each "
        "sound path alone costs, and their \"Tamblo\" column is the floor's. bench/alsa_floor.cpp opens ALSA's "
        "PCM `default` as `mpg123 -o alsa` does (0.2 s buffer); bench/pulse_floor.cpp talks to the server "
        "natively as Tamblo does (asynchronous API on a main loop of its own; 2 s queued, requests of 0.5 s, the "
        "sound started at 0.1 s; written a quarter second at a time, each piece sent at once). For CPU and memory both play 60 s of noise, at the same time.",
        "MCI open: bench/mci_open_time.cpp opens the track through Tamblo's MCI layer, the file already in the "
        "page cache, then asks its length; the length starts the walk over every frame and waits for it (in the "
        "player the walk starts once the sound has).",
    ]
    if "whole-track" in measured:
        notes += usage_notes(measured["whole-track"])
    if "commands" in measured and median(measured["commands"]["before_end"]) is not None:
        notes.append("Commands in the last second came "
                     f"{spread(measured['commands']['before_end'], 1, 's', 2)} before the end of the sound.")
    text = "\n".join("- " + h for h in header) + "\n\n" + table(report_rows(measured)) + "\n\n" + "\n".join("- " + n for n in notes)
    text += "\n"
    if bench.problems:
        text += "\nProblems seen during the run:\n\n" + "\n".join("- " + p for p in bench.problems) + "\n"
    print(text)
    if args.results and not args.only:
        with open(args.results, "w") as f:
            f.write("# Benchmark results\n\nWritten by `bench/run`.\n\n" + text)
    return 1 if bench.problems else 0


if __name__ == "__main__":
    sys.exit(main())
