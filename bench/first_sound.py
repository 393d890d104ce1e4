"""Time from a player's start to its first sound at the sink.

One player at a time, as a user starts one: each round every contestant
once, in an order that turns from round to round. What makes the figure
hold, found by measuring on this shared two-core machine (PulseAudio, Tamblo
against the better of mpg123's two modes):
- Many rounds. A round costs about a second, and five were too few: the
  ratio of five rounds' medians, drawn from forty rounds of one binary,
  fell anywhere in 0.63-0.97 (95%), where all forty gave 0.77. The notes
  give that interval for each run.
- A start anywhere within the sink's block. Started as soon as a block
  reached the recorder, the figures came out in whole blocks (9.5, 11.5,
  13.4 ms).
- Small blocks. The sink renders in blocks of the smallest latency a client
  asks for, and a new stream waits for the next one, so every figure
  carries up to a block more, which pulls the ratios towards 1: 0.91 with
  10 ms blocks where 2 ms gave 0.68.
Found not to matter beyond that noise: the track's length (60 s or ten
minutes), the order within a round, a recorder started afresh before each
player, the track out of the page cache, and ALSA's configuration (Debian's
own with its pulse hook or the benchmark's: about a millisecond of mpg123
-o alsa's). Players started side by side, each on a sink of its own, share
the two cores with each other and their recorders: mpg123's first sound
grew from 12 to 21 ms and Tamblo's from 9 to 12, and five rounds' ratio
spread over 0.49-0.99. That measures the company they keep, so this one
takes them in turn.
The machine's load moves every figure, the more so the more a player's way
to its first sound waits for a core (a client library loaded on one thread,
the stream made on another): results are recorded on a quiet machine, and
the interval in the notes shows a run too noisy to judge."""

import random
import statistics
import time

from players import ALSA_FLOOR, FLOORS, MPG123, PAGE_BREAKS, PULSE_FLOOR, TAMBLO, log
from report import row
from sound import BLOCK_MS
from tracks import make_folder

NAME = "first-sound"
# Rounds per run of the benchmark (--runs): each takes about a second.
ROUNDS_PER_RUN = 4
MS = dict(scale=1000, unit="ms", digits=1)
TARGET = 0.7


def lineup(kind):
    floors = (ALSA_FLOOR, PULSE_FLOOR) if kind == "pulseaudio" else (PULSE_FLOOR,)
    return (TAMBLO, *MPG123.values(), *floors)


def fifty(runner):
    """The folder the players start in: a 10-minute track first among 50."""
    tracks = {"00 long.mp3": runner.tracks["noise-600s.mp3"]}
    for i in range(1, 50):
        tracks[f"{i:02d} noise.mp3"] = runner.tracks["noise-60s.mp3"]
    return make_folder(runner.tmp + "/fifty", tracks)


def measure(runner, runs):
    """Each contestant's first sound, in seconds from its start, per round."""
    folder = fifty(runner)
    names = list(lineup(runner.server.kind))
    result = {name: [] for name in names}
    rounds = runs * ROUNDS_PER_RUN
    # The same draws on every run of the benchmark.
    chance = random.Random(26)
    with runner.server.recording() as clock:
        for n in range(rounds):
            log(f"first sound, {runner.server.title}, round {n + 1} of {rounds}")
            for name in names[n % len(names):] + names[:n % len(names)]:
                time.sleep(0.2 + chance.uniform(0, BLOCK_MS / 1000))
                if clock.first_sound(time.monotonic() - 0.1) is not None:
                    runner.problems.append(f"the sink was not silent before {name}'s start")
                started, heard = play(runner, clock, name, folder)
                result[name].append(runner.elapsed(started, heard, f"the first sound of {name}"))
    return result


def play(runner, clock, name, folder, wrapper=(), what="first sound"):
    """Starts contestant `name` in `folder` (the `wrapper` command line
    running it), ends it once it has sounded, and returns the times of its
    start and its first sound at the sink (None if it had none)."""
    if name == TAMBLO:
        player = runner.tamblo_run(folder, wrapper=wrapper)
        player.send(PAGE_BREAKS)
        heard = clock.wait_sound(player.started, timeout=5)
        player.wait_output(b"Tamblo0~ 00 long~$ ", 5)
        player.send("exit\n")
        runner.finish_tamblo(player, what)
    else:
        if name in (ALSA_FLOOR, PULSE_FLOOR):
            player = runner.floor_run(name, folder, 1, wrapper=wrapper)
        else:
            output = "alsa" if name == MPG123["alsa"] else "pulse"
            player = runner.mpg123_run(folder, output, "-q", "00 long.mp3", wrapper=wrapper)
        heard = clock.wait_sound(player.started, timeout=5)
        runner.finish_other(player, name, what, 5, stop=True)
    return player.started, heard


def rows(result, title):
    suffix = "" if title == "PulseAudio" else f", {title}"
    mpg123 = [result.get(MPG123["alsa"]), result.get(MPG123["pulse"])]
    lines = [row(f"Start to first sound, 10-minute track{suffix}", result[TAMBLO], *mpg123, ratio_limit=TARGET,
                 **MS)]
    for name, floor in FLOORS:
        if name in result:
            lines.append(row(f"{floor}: start to first sound of noise{suffix}", result[name], *mpg123, **MS))
    return lines


def interval(result, draws=2000):
    """The middle 95% of Tamblo's ratio to the best mpg123 over the rounds
    drawn again at random, with replacement; a round keeps its players
    together, as they ran at one time."""
    players = [TAMBLO] + [name for name in MPG123.values() if name in result]
    rounds = [r for r in zip(*(result[name] for name in players)) if None not in r]
    if len(rounds) < 5:
        return None
    chance = random.Random(26)
    ratios = []
    for _ in range(draws):
        drawn = [chance.choice(rounds) for _ in rounds]
        medians = [statistics.median(r[i] for r in drawn) for i in range(len(players))]
        ratios.append(medians[0] / min(medians[1:]))
    ratios.sort()
    return ratios[draws // 40], ratios[draws - 1 - draws // 40]


def notes(results):
    spreads = []
    for title, result in results.items():
        bounds = interval(result)
        if bounds is not None:
            spreads.append(f"{title} {bounds[0]:.2f}–{bounds[1]:.2f}")
    lines = [
        f"First sound: from the fork of the player to the first sound at the sink, {ROUNDS_PER_RUN} rounds per "
        "run, each contestant once a round, one at a time and in an order that turns from round to round, each "
        f"started at a moment drawn at random within the sink's {BLOCK_MS} ms block. Tamblo plays the first of "
        "50 tracks, a 10-minute one; mpg123 plays that track; the floors play noise.",
    ]
    if spreads:
        lines.append("Start to first sound, Tamblo/best: the middle 95% of the ratio over the rounds drawn again at "
                     "random (with replacement, 2,000 times): " + ", ".join(spreads) + ".")
    return lines
