#!/usr/bin/env python3
"""Tamblo's benchmark: plays the same tracks with Tamblo and with mpg123 through a
PulseAudio null sink of its own, and reports medians and ratios of CPU time,
peak memory, first-sound and stop latency, plus Tamblo's start-up time and the
cost of its length scan; and the first sound and peak memory of a client that
does nothing but play noise through ALSA, the floor the sound path sets.
bench/run builds Tamblo and calls this script."""

import argparse
import array
import bisect
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
    os.makedirs(cache, exist_ok=True)
    recipes = {
        "noise-60s.mp3": ["synth", "60", "pinknoise", "gain", "-6"],
        "noise-600s.mp3": ["synth", "600", "pinknoise", "gain", "-6"],
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


class Player:
    """One run of a player with pipes on all three standard streams; notes when
    bytes arrive on its standard output and keeps its standard error."""

    def __init__(self, argv, cwd, env, usage_runner=None):
        self.out = bytearray()
        self.err = bytearray()
        self.out_times = []  # (arrival time, length of self.out after it)
        self.cond = threading.Condition()
        self.usage = None  # (CPU seconds, peak KiB), with a usage runner
        self.usage_file = None
        self.status = None
        if usage_runner is not None:
            fd, self.usage_file = tempfile.mkstemp(prefix="tamblo-bench-usage.")
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
        self.proc.returncode = os.waitstatus_to_exitcode(status)
        RUNNING.discard(self.proc)
        self.status = self.proc.returncode
        self.proc.stdin.close()
        for reader in self.readers:
            reader.join(5)
        if self.usage_file is not None:
            with open(self.usage_file) as f:
                user, system, peak = f.read().split()
            os.remove(self.usage_file)
            self.usage = (float(user) + float(system), int(peak))
        return clean


class Bench:
    def __init__(self, args, server, tracks, tmp):
        self.args = args
        self.server = server
        self.tracks = tracks
        self.tmp = tmp
        self.tamblo = os.path.abspath(args.tamblo)
        self.problems = []

    def tamblo_run(self, folder, usage=False):
        return Player([self.tamblo], folder, self.server.env, self.args.usage_runner if usage else None)

    def floor_run(self, folder, seconds, usage=False):
        return Player([os.path.abspath(self.args.floor), str(seconds)], folder, self.server.env,
                      self.args.usage_runner if usage else None)

    def mpg123_run(self, folder, *argv, usage=False):
        return Player(["mpg123", "-o", "alsa"] + list(argv), folder, self.server.env,
                      self.args.usage_runner if usage else None)

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

    # Each measurement returns one figure per run; Tamblo and mpg123 take
    # turns, so that a change in the machine's load falls on both.

    def cpu_and_memory(self):
        """One whole 60 s track: CPU seconds and peak resident memory."""
        folder = make_folder(os.path.join(self.tmp, "one-track"), {"01 noise.mp3": self.tracks["noise-60s.mp3"]})
        result = {"tamblo_cpu": [], "mpg123_cpu": [], "tamblo_rss": [], "mpg123_rss": [], "tamblo_wall": [],
                  "mpg123_wall": [], "floor_rss": []}
        for run in range(self.args.runs):
            log(f"whole track, run {run + 1} of {self.args.runs}: Tamblo")
            player = self.tamblo_run(folder, usage=True)
            # Looping off: the player ends after its one track.
            player.send("loop\n")
            self.finish_tamblo(player, "whole track", timeout=90)
            result["tamblo_cpu"].append(player.usage[0])
            result["tamblo_rss"].append(player.usage[1])
            result["tamblo_wall"].append(time.monotonic() - player.started)

            log(f"whole track, run {run + 1} of {self.args.runs}: mpg123")
            player = self.mpg123_run(folder, "-q", "01 noise.mp3", usage=True)
            player.finish(90)
            result["mpg123_cpu"].append(player.usage[0])
            result["mpg123_rss"].append(player.usage[1])
            result["mpg123_wall"].append(time.monotonic() - player.started)

            # The peak comes once the sound plays; a few seconds show it.
            log(f"whole track, run {run + 1} of {self.args.runs}: the ALSA floor")
            player = self.floor_run(folder, 3, usage=True)
            player.finish(30)
            result["floor_rss"].append(player.usage[1])
        return result

    def first_sound(self):
        """Process start to the first sound at the sink, for the 10-minute
        track; for Tamblo it is the first of a folder of 50."""
        tracks = {"00 long.mp3": self.tracks["noise-600s.mp3"]}
        for i in range(1, 50):
            tracks[f"{i:02d} noise.mp3"] = self.tracks["noise-60s.mp3"]
        folder = make_folder(os.path.join(self.tmp, "fifty"), tracks)
        result = {"tamblo": [], "mpg123": [], "floor": []}
        for run in range(self.args.runs):
            log(f"first sound, run {run + 1} of {self.args.runs}")
            with Recorder(self.server) as rec:
                player = self.tamblo_run(folder)
                player.send(PAGE_BREAKS)
                heard = rec.wait_sound(player.started, timeout=5)
                player.wait_output(b"Tamblo0~ 00 long~$ ", 5)
                player.send("exit\n")
                self.finish_tamblo(player, "first sound")
                result["tamblo"].append(self.elapsed(player.started, heard, "Tamblo's first sound"))
            with Recorder(self.server) as rec:
                player = self.mpg123_run(folder, "-q", "00 long.mp3")
                heard = rec.wait_sound(player.started, timeout=5)
                player.finish(5, stop=True)
                result["mpg123"].append(self.elapsed(player.started, heard, "mpg123's first sound"))
            with Recorder(self.server) as rec:
                player = self.floor_run(folder, 1)
                heard = rec.wait_sound(player.started, timeout=5)
                player.finish(5, stop=True)
                result["floor"].append(self.elapsed(player.started, heard, "the ALSA floor's first sound"))
        return result

    def command_to_silence(self):
        """From a command written to the player's input to silence at the sink.

        Tamblo gets "n" (the next track, which is silent, follows) and "stop".
        mpg123 in its remote-control mode gets the same from its input: LOAD
        of the silent track, and STOP."""
        folder = make_folder(os.path.join(self.tmp, "two-tracks"), {
            "01 noise.mp3": self.tracks["noise-60s.mp3"],
            "02 silence.mp3": self.tracks["silence-5s.mp3"]
        })
        result = {"tamblo_n": [], "tamblo_stop": [], "mpg123_load": [], "mpg123_stop": []}
        for run in range(self.args.runs):
            log(f"command to silence, run {run + 1} of {self.args.runs}")
            for word in ("n", "stop"):
                with Recorder(self.server) as rec:
                    player = self.tamblo_run(folder)
                    heard = rec.wait_sound(player.started, timeout=5)
                    sent = None
                    if heard is not None:
                        time.sleep(1.0)
                        sent = player.send(word + "\n")
                        time.sleep(0.5)
                        if word == "stop":
                            # Enter goes on with the next track; the exit
                            # command must come as a line of its own.
                            player.send("\n")
                            time.sleep(0.3)
                    player.send("exit\n")
                    self.finish_tamblo(player, word)
                    quiet = None if sent is None else rec.silence(sent - SEARCH_BACK)
                    result["tamblo_" + word].append(self.elapsed(sent, quiet, f"silence after Tamblo's {word}"))
            for word in ("load", "stop"):
                with Recorder(self.server) as rec:
                    player = self.mpg123_run(folder, "-R")
                    start = player.send("LOAD 01 noise.mp3\n")
                    heard = rec.wait_sound(start, timeout=5)
                    sent = None
                    if heard is not None:
                        time.sleep(1.0)
                        sent = player.send("LOAD 02 silence.mp3\n" if word == "load" else "STOP\n")
                        time.sleep(0.5)
                    player.send("QUIT\n")
                    player.finish(5)
                    quiet = None if sent is None else rec.silence(sent - SEARCH_BACK)
                    result["mpg123_" + word].append(self.elapsed(sent, quiet, f"silence after mpg123's {word.upper()}"))
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


def row(name, tamblo, peer, scale, unit, digits, ratio_limit=None, limit=None):
    """One line of the table: the figures in `unit` (`scale` per second or
    byte), the ratio of the medians and whether the targets were met, a
    limit on that ratio and one on Tamblo's median in `unit`."""
    t = median(tamblo)
    p = median(peer) if peer is not None else None
    ratio = t / p if t is not None and p else None
    met = []
    goal = []
    if ratio_limit is not None:
        goal.append(f"≤ {ratio_limit:g}×")
        met.append(ratio is not None and ratio <= ratio_limit)
    if limit is not None:
        goal.append(f"≤ {limit:g} {unit}")
        met.append(t is not None and t * scale <= limit)
    return [name, spread(tamblo, scale, unit, digits),
            spread(peer, scale, unit, digits) if peer is not None else "–",
            f"{ratio:.2f}×" if ratio is not None else "–", ", ".join(goal) or "–",
            ("yes" if all(met) else "NO") if met else "–"]


def table(rows):
    head = ["Measure", "Tamblo", "mpg123", "Tamblo/mpg123", "Target", "Met"]
    lines = ["| " + " | ".join(head) + " |", "|" + "|".join("---" for _ in head) + "|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


MEASUREMENTS = ("scan", "startup", "first-sound", "commands", "whole-track")


def report_rows(m):
    """The table's rows for what was measured, in `m` by measurement name."""
    rows = []
    if "whole-track" in m:
        whole = m["whole-track"]
        rows.append(row("CPU time, one 60 s track (user + sys)", whole["tamblo_cpu"], whole["mpg123_cpu"], 1, "s", 3,
                        ratio_limit=0.66))
        rows.append(row("Peak resident memory", [v * 1024 for v in whole["tamblo_rss"]],
                        [v * 1024 for v in whole["mpg123_rss"]], 1 / 2**20, "MiB", 2, ratio_limit=0.85))
        rows.append(row("Floor: peak resident memory, noise through ALSA", [v * 1024 for v in whole["floor_rss"]],
                        [v * 1024 for v in whole["mpg123_rss"]], 1 / 2**20, "MiB", 2))
    if "first-sound" in m:
        first = m["first-sound"]
        rows.append(row("Start to first sound, 10-minute track", first["tamblo"], first["mpg123"], 1000, "ms", 1,
                        ratio_limit=0.8))
        rows.append(row("Floor: start to first sound of noise through ALSA", first["floor"], first["mpg123"], 1000,
                        "ms", 1))
    if "commands" in m:
        stops = m["commands"]
        rows.append(row("\"n\" to silence (mpg123: LOAD)", stops["tamblo_n"], stops["mpg123_load"], 1000, "ms", 1,
                        limit=30))
        rows.append(row("\"stop\" to silence (mpg123: STOP)", stops["tamblo_stop"], stops["mpg123_stop"], 1000, "ms",
                        1, limit=30))
    if "startup" in m:
        rows.append(row("Start to first prompt, 10,050 files", m["startup"], None, 1000, "ms", 1, limit=20))
    if "scan" in m:
        rows.append(row("MCI open, 10-minute track", [o for o, _ in m["scan"]], None, 1000, "ms", 1))
        rows.append(row("MCI open to exact length (frame walk), same", [w for _, w in m["scan"]], None, 1000, "ms", 1))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", required=True, help="the repository")
    parser.add_argument("--tamblo", required=True, help="the player to measure")
    parser.add_argument("--open-timer", required=True, help="the MCI open timer (bench/mci_open_time.cpp)")
    parser.add_argument("--usage-runner", required=True, help="the CPU and memory meter (bench/run_with_rusage.cpp)")
    parser.add_argument("--floor", required=True, help="the least ALSA client (bench/alsa_floor.cpp)")
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

    tamblo_version, mpg123_version = versions(args)
    header = [
        f"Date: {started:%Y-%m-%d %H:%M %Z}",
        f"Machine: {machine()}; load average {load_before[0]:.2f} before, {load_after[0]:.2f} after (the "
        "machine is shared: the ranges show the noise)",
        f"Tamblo: {tamblo_version}; reference: {mpg123_version} (`mpg123 -o alsa`)",
        f"Runs: {args.runs} of each, Tamblo and mpg123 in turn; medians, (min–max) after them",
    ]
    notes = [
        "Sound: a PulseAudio null sink (norewinds=1) of the benchmark's own, reached by both players through "
        "ALSA's pulse plugin. Latencies are read from the sink's monitor, recorded with parec in 2 ms blocks: a "
        "frame's time is when the monitor gave it out, pinned by the quickest arrival at parec, so both players' "
        "figures carry parec's own small delay and a resolution of about one block.",
        "Tracks: pink noise at -6 dBFS, 320 kbit/s CBR (lame); sound is a sample above -42 dBFS, silence 5 ms at "
        "or below it.",
        "mpg123 plays the file once (`mpg123 -o alsa -q FILE`); for the commands it runs in remote-control mode "
        "(`-R`) and reads LOAD of a silent track or STOP from its input, as Tamblo reads \"n\" (a silent track "
        "comes next) or \"stop\".",
        "Start-up: until the first prompt has reached the pipe on Tamblo's output; the three page breaks of the "
        "list are on its input from the start.",
        "CPU time and peak memory come from wait4 in a small launcher (bench/run_with_rusage.cpp); the kernel "
        "counts the peak from before the player's exec, which there is the launcher's own, about 1 MiB.",
        "Floor: bench/alsa_floor.cpp opens ALSA's default PCM as both players do and writes noise at once (0.2 s "
        "buffer, nothing decoded or printed); its rows show what the sound path alone costs, which both players "
        "pay: its \"Tamblo\" column is the floor's. Its memory is taken over 3 s of noise.",
        "MCI open: bench/mci_open_time.cpp opens the track through Tamblo's MCI layer, the file already in the "
        "page cache, then asks its length; the length starts the walk over every frame and waits for it (in the "
        "player the walk starts once the sound has).",
    ]
    if "whole-track" in measured:
        whole = measured["whole-track"]
        notes.append(f"Whole track, wall time: Tamblo {median(whole['tamblo_wall']):.1f} s (until the clock's "
                     f"whole seconds reach the length plus one), mpg123 {median(whole['mpg123_wall']):.1f} s.")
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
