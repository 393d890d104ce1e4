"""The contestants and how each is started: Tamblo, mpg123 in both its
modes, the floors and decoding alone, each with pipes on its standard
streams and the time its output arrives; and what one run of a program
used, taken by GNU time and perf stat."""

import collections
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

# What each contestant is called in the results; mpg123 plays in both its modes.
TAMBLO = "tamblo"
MPG123 = {"alsa": "mpg123-alsa", "pulse": "mpg123-pulse"}
ALSA_FLOOR = "alsa-floor"
PULSE_FLOOR = "pulse-floor"
LIMIT = "limit"
TITLES = {TAMBLO: "Tamblo", MPG123["alsa"]: "mpg123 -o alsa", MPG123["pulse"]: "mpg123 -o pulse",
          ALSA_FLOOR: "floor through ALSA", PULSE_FLOOR: "floor, native", LIMIT: "decoding alone"}
PAGE_BREAKS = "\n\n\n"  # Tamblo's list pauses after 15, 30 and 45 names
FLOORS = ((ALSA_FLOOR, "Floor through ALSA"), (PULSE_FLOOR, "Floor, native"))

# Runs still going, by process, should the driver stop half-way.
RUNNING = set()


def log(message):
    print(message, file=sys.stderr, flush=True)


def stop_process(proc, timeout=5.0):
    """Ends a run we started, with all it started (its own process group),
    and reaps it."""
    if proc.poll() is None:
        os.killpg(proc.pid, signal.SIGTERM)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    RUNNING.discard(proc)


class Usage(collections.namedtuple("Usage", "cpu peak voluntary involuntary wall")):
    """What one run of a program used: CPU seconds (all its threads), peak
    resident memory in KiB, context switches, voluntary (it waited) and
    involuntary (it was preempted), and the wall time it ran, in seconds."""

    def wakeups(self):
        """Context switches per second: how often the program woke up."""
        return (self.voluntary + self.involuntary) / self.wall


def usage_wrapper(perf_file, time_file):
    """The command line that runs a program under both meters. GNU time
    forks it from a small process and reads its rusage at wait4: the peak
    resident memory (which the kernel counts from before the exec, there GNU
    time's own, about 1.1 MiB) and the context switches of each kind; its
    CPU times come in hundredths of a second, too coarse for what a track
    costs, so perf stat, outside it, counts the CPU time of every thread in
    nanoseconds (with GNU time's own, under a millisecond)."""
    return ["perf", "stat", "-x", ",", "-e", "task-clock", "-o", perf_file, "--",
            "/usr/bin/time", "-q", "-f", "%M %w %c", "-o", time_file, "--"]


def read_usage(perf_file, time_file, wall):
    with open(time_file) as f:
        peak, voluntary, involuntary = f.read().split()[-3:]
    cpu = None
    with open(perf_file) as f:
        for line in f:
            fields = line.split(",")
            if len(fields) > 2 and fields[2] == "task-clock" and fields[1] == "msec":
                cpu = float(fields[0]) / 1000
    if cpu is None:
        raise RuntimeError("perf stat counted no task-clock")
    return Usage(cpu, int(peak), int(voluntary), int(involuntary), wall)


class Player:
    """One run of a player with pipes on all three standard streams; notes when
    bytes arrive on its standard output and keeps its standard error. It
    runs in a process group of its own, which a stop ends whole."""

    def __init__(self, argv, cwd, env, usage_dir=None):
        self.out = bytearray()
        self.err = bytearray()
        self.out_times = []  # (arrival time, length of self.out after it)
        self.cond = threading.Condition()
        self.usage = None  # a Usage, when measured
        self.files = None
        self.status = None
        if usage_dir is not None:
            # In the benchmark's own folder, which goes also when a run is
            # stopped half-way.
            self.files = []
            for prefix in ("perf.", "time."):
                fd, path = tempfile.mkstemp(prefix=prefix, dir=usage_dir)
                os.close(fd)
                self.files.append(path)
            argv = usage_wrapper(*self.files) + argv
        self.started = time.monotonic()
        self.proc = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, start_new_session=True)
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
        """Waits for the player to end (ending it first when `stop`) and, when
        measured, takes its usage; False when it had to be killed."""
        if stop:
            os.killpg(self.proc.pid, signal.SIGTERM)
        clean = True
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
            clean = False
        ended = time.monotonic()
        RUNNING.discard(self.proc)
        self.status = self.proc.returncode
        self.proc.stdin.close()
        for reader in self.readers:
            reader.join(5)
        if self.files is not None:
            if clean:
                self.usage = read_usage(*self.files, ended - self.started)
            for path in self.files:
                os.remove(path)
        return clean


class Runner:
    """Starts the contestants on one sound server, in folders of the
    benchmark's own, and notes what went wrong in `problems`: a player that
    failed, say, would make its figures look good."""

    def __init__(self, args, tracks, tmp, problems):
        self.args = args
        self.tracks = tracks
        self.tmp = tmp
        self.problems = problems
        self.tamblo = os.path.abspath(args.tamblo)
        self.server = None  # a sound.SoundServer, set for each server in turn

    def run(self, argv, folder, usage=False, wrapper=()):
        """A run of `argv` in `folder`; `usage` measures it, and `wrapper`
        is a command line that runs it (a tracer, say)."""
        return Player(list(wrapper) + argv, folder, self.server.env, self.tmp if usage else None)

    def tamblo_run(self, folder, usage=False, wrapper=()):
        return self.run([self.tamblo], folder, usage, wrapper)

    def helper_run(self, program, folder, *argv, usage=False, wrapper=()):
        return self.run([os.path.abspath(program)] + list(argv), folder, usage, wrapper)

    def floor_run(self, name, folder, seconds, usage=False, wrapper=()):
        program = self.args.alsa_floor if name == ALSA_FLOOR else self.args.pulse_floor
        return self.helper_run(program, folder, str(seconds), usage=usage, wrapper=wrapper)

    def mpg123_run(self, folder, output, *argv, usage=False, wrapper=()):
        return self.run(["mpg123", "-o", output] + list(argv), folder, usage, wrapper)

    def where(self, what):
        return f"{what}, {self.server.title}"

    def elapsed(self, start, end, what):
        """`end` - `start`, or None with a note when either did not happen."""
        if start is None or end is None:
            self.problems.append(f"no {self.where(what)} was recorded in one run")
            return None
        return end - start

    def finish_tamblo(self, player, what, timeout=10):
        if not player.finish(timeout):
            self.problems.append(f"Tamblo did not end and was killed ({self.where(what)})")
        if player.err:
            self.problems.append(f"Tamblo wrote to standard error ({self.where(what)}): {bytes(player.err[:200])!r}")
        if player.status != 0:
            self.problems.append(f"Tamblo ended with status {player.status} ({self.where(what)})")

    def finish_other(self, player, name, what, timeout, stop=False):
        """Ends a run of mpg123 or of a helper; False, with a note, when it
        failed: an output that did not open, say."""
        good = True
        if not player.finish(timeout, stop=stop):
            self.problems.append(f"{name} did not end and was killed ({self.where(what)})")
            good = False
        elif not stop and player.status != 0:
            self.problems.append(f"{name} ended with status {player.status} ({self.where(what)})")
            good = False
        if player.err:
            self.problems.append(f"{name} wrote to standard error ({self.where(what)}): {bytes(player.err[:200])!r}")
            good = False
        return good
