"""Where a player's resident memory lies mid-track, by mapping, from
/proc/PID/smaps: anonymous memory (heap, stacks, arenas, and the pages of a
library's data once written), shared memory (the server's pool, through
memfd or /dev/shm), the files mapped (programs and libraries), and the
largest mappings. Tamblo, mpg123 in both its modes and the native floor
play the 60 s track side by side and are read at the same moment; memory,
unlike time, does not suffer from the others' company."""

import collections
import os
import time

from players import MPG123, PULSE_FLOOR, TAMBLO, TITLES, log
from report import median
from tracks import make_folder

NAME = "memory"
# Seconds after the start: the server's queue of two seconds has been
# filled and drained several times over.
MID_TRACK = 10
TOP = 8
KINDS = ("anonymous", "shared memory", "files", "other")
LABELS = {"Rss": "resident in all (Rss)", "Pss": "proportional share (Pss)"}


def lineup(kind):
    return (TAMBLO, *MPG123.values(), PULSE_FLOOR)


def read_smaps(pid):
    """The mappings of `pid`: (name, size, fields in KiB), in order."""
    maps = []
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            first = line.split(None, 1)[0]
            if not first.endswith(":"):
                parts = line.split(None, 5)
                start, end = (int(a, 16) for a in parts[0].split("-"))
                name = parts[5].strip() if len(parts) > 5 else ""
                maps.append((name, (end - start) // 1024, {}))
            else:
                value = line.split()
                if len(value) >= 2 and value[1].isdigit():
                    maps[-1][2][first[:-1]] = int(value[1])
    return maps


def kind_of(name):
    if name.startswith(("/memfd:", "/dev/shm/", "/SYSV")) or name == "[anon_shmem]":
        return "shared memory"
    if name.startswith("/"):
        return "files"
    if name in ("", "[heap]", "[stack]") or name.startswith("[anon"):
        return "anonymous"
    return "other"  # [vdso], [vvar]


def split(maps):
    """Resident KiB by kind, with Rss and Pss in all, and the largest
    mappings: the files' (a file's segments together) and the anonymous
    ones (each by itself, with the size mapped)."""
    totals = collections.Counter()
    files = collections.Counter()
    anonymous = collections.Counter()
    for i, (name, size, fields) in enumerate(maps):
        rss, anon = fields.get("Rss", 0), fields.get("Anonymous", 0)
        totals["Rss"] += rss
        totals["Pss"] += fields.get("Pss", 0)
        kind = kind_of(name)
        if kind in ("files", "shared memory"):
            # A private file mapping once written holds anonymous pages.
            totals["anonymous"] += anon
            totals[kind] += rss - anon
            label = os.path.basename(name.split(" (deleted)")[0])
            if anon:
                anonymous[f"{label}, written"] += anon
            files[label] += rss - anon
        else:
            totals[kind] += rss
            anonymous[f"{name or 'anonymous'} #{i} of {size}"] += rss
    return totals, (files.most_common(TOP), anonymous.most_common(TOP))


def measure(runner, runs):
    folder = make_folder(runner.tmp + "/one-track", {"01 noise.mp3": runner.tracks["noise-60s.mp3"]})
    names = lineup(runner.server.kind)
    result = {name: {"totals": [], "largest": None} for name in names}
    for run in range(runs):
        log(f"memory map, {runner.server.title}, run {run + 1} of {runs}")
        players = {}
        for name in names:
            if name == TAMBLO:
                players[name] = runner.tamblo_run(folder)
            elif name == PULSE_FLOOR:
                players[name] = runner.floor_run(name, folder, 60)
            else:
                output = "alsa" if name == MPG123["alsa"] else "pulse"
                players[name] = runner.mpg123_run(folder, output, "-q", "01 noise.mp3")
        time.sleep(MID_TRACK)
        for name, player in players.items():
            if player.proc.poll() is None:
                totals, largest = split(read_smaps(player.proc.pid))
                result[name]["totals"].append(totals)
                result[name]["largest"] = largest
            else:
                runner.problems.append(f"{name} ended before its memory was read ({runner.server.title})")
        for name, player in players.items():
            if name == TAMBLO:
                player.send("exit\n")
                runner.finish_tamblo(player, "memory map")
            else:
                runner.finish_other(player, name, "memory map", 5, stop=True)
    return result


def tables(result, title):
    """Markdown: the split, medians in KiB, one column a player; then each
    player's largest mappings in the last run, KiB resident."""
    names = [name for name in result if result[name]["totals"]]
    head = [f"{title}, {MID_TRACK} s into the track, KiB"] + [TITLES[name] for name in names]
    lines = ["| " + " | ".join(head) + " |", "|" + "|".join("---" for _ in head) + "|"]
    for kind in ("Rss",) + KINDS + ("Pss",):
        cells = [f"{median([t[kind] for t in result[name]['totals']]):,.0f}" for name in names]
        lines.append(f"| {LABELS.get(kind, kind)} | " + " | ".join(cells) + " |")
    text = "\n".join(lines) + "\n"
    for name in names:
        files, anonymous = result[name]["largest"]
        text += (f"\n{TITLES[name]}, the largest files: " + "; ".join(f"{label} {kib:,}" for label, kib in files)
                 + ". Anonymous (# the mapping, of KiB mapped): "
                 + "; ".join(f"{label} {kib:,}" for label, kib in anonymous) + ".\n")
    return text
