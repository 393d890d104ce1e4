"""Tamblo's start-up among many files, and the MCI open of a long track
with the wait for its exact length."""

import subprocess

from players import PAGE_BREAKS, log
from report import row
from tracks import make_folder

STARTUP = "startup"
SCAN = "scan"


def startup(runner, runs):
    """Process start to the first prompt on the output pipe, in a folder of
    10,000 other files and 50 MP3s."""
    tracks = {f"{i:02d} noise.mp3": runner.tracks["noise-60s.mp3"] for i in range(50)}
    folder = make_folder(runner.tmp + "/crowded", tracks, empty_files=10000)
    result = []
    for run in range(runs):
        log(f"start-up, run {run + 1} of {runs}")
        player = runner.tamblo_run(folder)
        player.send(PAGE_BREAKS)
        prompt = player.wait_output(b"Tamblo0~ 00 noise~$ ", 5)
        player.send("exit\n")
        runner.finish_tamblo(player, "start-up")
        result.append(prompt - player.started)
    return result


def scan(runner, runs):
    """The MCI open of the 10-minute track, and the time until its exact
    length is known: the walk over all its frames runs beside the open."""
    log("length scan")
    out = subprocess.run([runner.args.open_timer, runner.tracks["noise-600s.mp3"], str(max(runs, 5))],
                         check=True, stdout=subprocess.PIPE, text=True).stdout
    times = []
    for line in out.splitlines():
        open_ms, length_ms, length = line.split()
        # The encoder's delay and padding that lame's tag declares are cut,
        # so the length is the source's to the sample.
        if int(length) != 600000:
            runner.problems.append(f"the 10-minute track opened with a length of {length} ms")
        times.append((float(open_ms) / 1000, float(length_ms) / 1000))
    return times


def startup_rows(result, title):
    return [row("Start to first prompt, 10,050 files", result, scale=1000, unit="ms", digits=1, limit=20)]


def scan_rows(result, title):
    return [row("MCI open, 10-minute track", [o for o, _ in result], scale=1000, unit="ms", digits=1),
            row("MCI open to exact length (frame walk), same", [w for _, w in result], scale=1000, unit="ms",
                digits=1)]


def startup_notes(results):
    return ["Start-up: until the first prompt has reached the pipe on Tamblo's output; the three page breaks of "
            "the list are on its input from the start."]


def scan_notes(results):
    return ["MCI open: bench/mci_open_time.cpp opens the track through Tamblo's MCI layer, the file already in the "
            "page cache, then asks its length; the length starts the walk over every frame and waits for it (in "
            "the player the walk starts once the sound has)."]
