"""Time from a command written to a player's input to silence at the sink.

Tamblo gets "n" (the next track, which is silent, follows) and "stop", a
second into a long track and in the last second of a short one, while its
end drains. mpg123 in its remote-control mode gets the same from its input
a second into the long track: LOAD of the silent track, and STOP."""

import random
import time

from players import MPG123, log
from report import median, row, spread
from sound import BLOCK_MS
from tracks import SHORT_TRACK, make_folder

NAME = "commands"
# Silence after a command is looked for from a little before it was sent, so
# that a frame's place on the clock, good to a block of the sink, never hides
# a stop that came at once.
SEARCH_BACK = 0.005
# How long before the end of the short track's sound each command comes in
# its last second: while the end drains, since the server keeps up to two
# seconds queued.
BEFORE_END = 0.65
MS = dict(scale=1000, unit="ms", digits=1, limit=30)
# The first sound is read at the end of a block of the sink, and a command
# sent a whole number of blocks later would fall at the same place in its
# block each time, so the figures would all lean one way by up to a block:
# each command comes at a moment drawn within a block, the same draws on
# every run of the benchmark.
CHANCE = random.Random(24)


def moment():
    return CHANCE.uniform(0, BLOCK_MS / 1000)


def measure(runner, runs):
    silent = {"02 silence.mp3": runner.tracks["silence-5s.mp3"]}
    long_folder = make_folder(runner.tmp + "/two-tracks",
                              {"01 noise.mp3": runner.tracks["noise-60s.mp3"], **silent})
    short_folder = make_folder(runner.tmp + "/short-track",
                               {"01 noise.mp3": runner.tracks["noise-4s.mp3"], **silent})
    result = {key: [] for key in ("tamblo_n", "tamblo_stop", "tamblo_n_end", "tamblo_stop_end", "before_end")}
    for name in MPG123.values():
        result[name + "_load"] = []
        result[name + "_stop"] = []
    with runner.server.recording() as clock:
        for run in range(runs):
            log(f"command to silence, {runner.server.title}, run {run + 1} of {runs}")
            for word in ("n", "stop"):
                _, sent, quiet = _tamblo(runner, clock, long_folder, word, 1.0, "mid-track")
                result["tamblo_" + word].append(runner.elapsed(sent, quiet, f"silence after Tamblo's {word}"))
                heard, sent, quiet = _tamblo(runner, clock, short_folder, word, SHORT_TRACK - BEFORE_END,
                                             "last second")
                result[f"tamblo_{word}_end"].append(
                    runner.elapsed(sent, quiet, f"silence after Tamblo's {word} in the last second"))
                if sent is not None:
                    before_end = heard + SHORT_TRACK - sent
                    result["before_end"].append(before_end)
                    if not 0.5 <= before_end <= 0.8:
                        runner.problems.append(f"Tamblo's {word} came {before_end:.2f} s before the end of the "
                                               f"track, not in its last 0.5-0.8 s ({runner.server.title})")
            for output, name in MPG123.items():
                for word in ("load", "stop"):
                    result[f"{name}_{word}"].append(_mpg123(runner, clock, long_folder, output, word))
    return result


def _tamblo(runner, clock, folder, word, delay, what):
    """Tamblo plays `folder`, and `word` is typed `delay` seconds after the
    first sound at the sink; returns the times of the first sound, of the
    command and of the silence after it (None where there was none)."""
    player = runner.tamblo_run(folder)
    heard = clock.wait_sound(player.started, timeout=5)
    sent = None
    if heard is not None:
        time.sleep(max(0.0, heard + delay + moment() - time.monotonic()))
        sent = player.send(word + "\n")
        time.sleep(0.5)
        if word == "stop":
            # Enter goes on with the next track; the exit command must come
            # as a line of its own.
            player.send("\n")
            time.sleep(0.3)
    player.send("exit\n")
    runner.finish_tamblo(player, f"{word}, {what}")
    if sent is None:
        return heard, None, None
    quiet = clock.silence(sent - SEARCH_BACK)
    # A sound that stopped before the command would pass for one that
    # stopped at once.
    first_quiet = clock.silence(heard)
    if first_quiet is None or first_quiet < sent - SEARCH_BACK:
        runner.problems.append(f"Tamblo's sound paused or ended before its {word} ({runner.where(what)})")
        quiet = None
    return heard, sent, quiet


def _mpg123(runner, clock, folder, output, word):
    player = runner.mpg123_run(folder, output, "-R")
    start = player.send("LOAD 01 noise.mp3\n")
    heard = clock.wait_sound(start, timeout=5)
    sent = None
    if heard is not None:
        time.sleep(max(0.0, heard + 1.0 + moment() - time.monotonic()))
        sent = player.send("LOAD 02 silence.mp3\n" if word == "load" else "STOP\n")
        time.sleep(0.5)
    player.send("QUIT\n")
    runner.finish_other(player, f"mpg123 -o {output} -R", word.upper(), 5)
    quiet = None if sent is None else clock.silence(sent - SEARCH_BACK)
    return runner.elapsed(sent, quiet, f"silence after mpg123 -o {output}'s {word.upper()}")


def rows(result, title):
    suffix = "" if title == "PulseAudio" else f", {title}"
    lines = []
    for word, peer in (("n", "load"), ("stop", "stop")):
        lines.append(row(f"\"{word}\" to silence, mid-track (mpg123: {peer.upper()}){suffix}",
                         result["tamblo_" + word], result[MPG123["alsa"] + "_" + peer],
                         result[MPG123["pulse"] + "_" + peer], **MS))
    for word in ("n", "stop"):
        lines.append(row(f"\"{word}\" to silence, last second of a track (its end draining){suffix}",
                         result[f"tamblo_{word}_end"], **MS))
    return lines


def notes(results):
    lines = [
        "Commands: mpg123 runs in remote-control mode (`-R`) and reads LOAD of a silent track or STOP from its "
        "input, as Tamblo reads \"n\" (a silent track comes next) or \"stop\". Mid-track, the command comes 1 s "
        f"after the first sound of a 60 s track; in the last second, Tamblo's comes {BEFORE_END:g} s before the "
        f"end of a {SHORT_TRACK:g} s track, when all of it has been written and the server plays out its queue.",
    ]
    for title, result in results.items():
        if median(result["before_end"]) is not None:
            lines.append(f"{title}: commands in the last second came "
                         f"{spread(result['before_end'], 1, 's', 2)} before the end of the sound.")
    return lines
