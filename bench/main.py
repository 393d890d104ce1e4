#!/usr/bin/env python3
"""Tamblo's benchmark: plays the same tracks with Tamblo and with mpg123 in
both its modes (`-o alsa`, through ALSA's pulse plugin, and `-o pulse`,
natively) through a private PulseAudio and a private PipeWire, and reports
medians and ratios. bench/run builds Tamblo and the helpers and calls this
script; each measure lives in a module of its own, named in MEASURES."""

import argparse
import datetime
import os
import signal
import sys
import tempfile
import time

import commands
import first_sound
import memory_map
import report
import start_trace
import startup
import whole_track
from players import RUNNING, Runner, stop_process
from sound import KINDS, SoundServer
from tracks import make_audio


class Measure:
    """A measure: `take` runs it on the runner's server; `rows` and `notes`
    give its part of the results table, or `tables` tables of its own."""

    def __init__(self, name, take, rows=None, notes=None, kinds=tuple(KINDS), tables=None):
        self.name, self.take, self.rows, self.notes, self.kinds, self.tables = name, take, rows, notes, kinds, tables


# In the order they are taken; the last ones with the players playing a
# whole track, the longest. Start-up and the MCI open do not depend on the
# server and are taken on PulseAudio only.
MEASURES = [
    Measure(startup.SCAN, startup.scan, startup.scan_rows, startup.scan_notes, ("pulseaudio",)),
    Measure(startup.STARTUP, startup.startup, startup.startup_rows, startup.startup_notes, ("pulseaudio",)),
    Measure(first_sound.NAME, first_sound.measure, first_sound.rows, first_sound.notes),
    Measure(commands.NAME, commands.measure, commands.rows, commands.notes),
    Measure(whole_track.NAME, whole_track.measure, whole_track.rows, whole_track.notes),
]
# Taken only when asked for by name, for a developer: tables of their own,
# not the results file's.
ON_REQUEST = {m.name: m for m in (Measure(memory_map.NAME, memory_map.measure, tables=memory_map.tables),
                                  Measure(start_trace.NAME, start_trace.measure, tables=start_trace.tables))}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", required=True, help="the repository")
    parser.add_argument("--tamblo", required=True, help="the player to measure")
    parser.add_argument("--open-timer", required=True, help="the MCI open timer (bench/mci_open_time.cpp)")
    parser.add_argument("--alsa-floor", required=True, help="the least ALSA client (bench/alsa_floor.cpp)")
    parser.add_argument("--pulse-floor", required=True, help="the least native client (bench/pulse_floor.cpp)")
    parser.add_argument("--decoder", required=True, help="libmpg123 decoding alone (bench/decode_only.cpp)")
    parser.add_argument("--cache", required=True, help="where the test tracks are kept")
    parser.add_argument("--runs", type=int, default=5, help="runs of each measurement (default 5)")
    parser.add_argument("--only", action="append", choices=[m.name for m in MEASURES] + list(ON_REQUEST),
                        help="take only this measurement (may be given more than once); the results file is then "
                        "left alone")
    parser.add_argument("--server", action="append", choices=list(KINDS),
                        help="measure through this server only (may be given more than once); the results file "
                        "is then left alone")
    parser.add_argument("--results", help="the Markdown file to write the table to")
    args = parser.parse_args()

    # A stop by kill ends the run the way Ctrl-C does, so that the sound
    # servers and the players are stopped on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    tracks = make_audio(args.cache)
    wanted = [m for m in MEASURES if not args.only or m.name in args.only]
    wanted += [ON_REQUEST[name] for name in args.only or () if name in ON_REQUEST]
    kinds = [kind for kind in KINDS if not args.server or kind in args.server]
    load_before = os.getloadavg()
    started = datetime.datetime.now().astimezone()
    clock_started = time.monotonic()
    measured = {}  # measure name -> server title -> result
    problems = []
    with tempfile.TemporaryDirectory(prefix="tamblo-bench.") as tmp:
        runner = Runner(args, tracks, tmp, problems)
        try:
            for kind in kinds:
                todo = [m for m in wanted if kind in m.kinds]
                if not todo:
                    continue
                runner.server = SoundServer(os.path.join(tmp, kind), kind)
                try:
                    for m in todo:
                        measured.setdefault(m.name, {})[runner.server.title] = m.take(runner, args.runs)
                finally:
                    for proc in list(RUNNING):
                        stop_process(proc)
                    runner.server.stop()
        finally:
            for proc in list(RUNNING):
                stop_process(proc)
    load_after = os.getloadavg()
    minutes = (time.monotonic() - clock_started) / 60

    tamblo_version, mpg123_version = report.versions(args.root)
    header = [
        f"Date: {started:%Y-%m-%d %H:%M %Z}",
        f"Machine: {report.machine()}; load average {load_before[0]:.2f} before, {load_after[0]:.2f} after (the "
        "machine is shared: the ranges show the noise)",
        f"Tamblo: {tamblo_version}; reference: {mpg123_version} (`mpg123 -o alsa` and `mpg123 -o pulse`)",
        f"Runs: {args.runs} of each, the players in turn; medians, (min–max) after them; {minutes:.1f} minutes "
        "in all",
    ]
    rows = []
    notes = [
        "Sound: a private PulseAudio, then a private PipeWire with pipewire-pulse, each with a null sink (the "
        "tests' own, tests/e2e/servers.py) on a socket that PULSE_SERVER names. Tamblo reaches it natively, "
        "speaking the server's protocol itself, `mpg123 -o pulse` natively through libpulse, `mpg123 -o alsa` "
        "through ALSA's PCM `default` and its pulse plugin. "
        "\"best\" is the better of mpg123's medians, and each ratio target is judged against it. Rows without a "
        "server's name are PulseAudio's.",
        "Latencies are read from the sink's monitor, recorded with parec in 2 ms blocks: a frame's time is when "
        "the monitor gave it out, pinned by the quickest arrival at parec, so all figures carry parec's own small "
        "delay and a resolution of about one block.",
        "Tracks: pink noise at -6 dBFS, 320 kbit/s CBR (lame); sound is a sample above -42 dBFS, silence 5 ms at "
        "or below it.",
    ]
    extra = ""
    # The table reads from the whole track's costs to the start-up's.
    for m in sorted(wanted, key=lambda m: -MEASURES.index(m) if m in MEASURES else 0):
        if m.name not in measured:
            continue
        if m.tables is not None:
            for title, result in measured[m.name].items():
                extra += "\n" + m.tables(result, title)
            continue
        for title, result in measured[m.name].items():
            rows += m.rows(result, title)
        notes += m.notes(measured[m.name])
    text = report.document(header, rows, notes, problems) + extra
    print(text)
    if args.results and not args.only and not args.server:
        with open(args.results, "w") as f:
            f.write("# Benchmark results\n\nWritten by `bench/run`.\n\n" + text)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
