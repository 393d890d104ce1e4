#!/usr/bin/env python3
"""The whole Windows player under Wine, on real MP3 files, without keys.

    player_run.py EMULATOR TAMBLO_EXE

Makes a folder of short MP3 files (sox and lame), starts the player there
with a pipe for standard input and PCM "default" on ALSA's null device, and
checks what it prints: the exact list, the prompts, and the tracks following
each other and wrapping to the first. Wine's _kbhit never sees piped input,
so no command can be given; the run is stopped once the list has wrapped.

How long each track lasts shows what MCI's MPEGVideo device did: a track is
left when the clock seconds since its start reach its length plus one, so a
file that opened and reported its length L takes more than L and at most
L + 1 seconds after the open; one that did not open (MCI error 277: no
GStreamer plugin of the right bitness, no sound device, ...) reports no
length and takes at most one second after the open, which may itself be
slow to fail. Hence a window on both sides.

Wine is taken as set up by the caller (WINEPREFIX, a running wineserver).
"""

import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

# The folder's files: name, seconds of sound (None: not a sound file of its
# own, a copy of the first). Wine lists them sorted without regard to case.
# "03 Alias.mp3x" matches "*.mp3" only by its short 8.3 name; the player
# lists it and the playback device refuses it at play time.
TRACKS = [
    ("01 Short.mp3", 2),
    ("02 Long.MP3", 3),
    ("03 Alias.mp3x", None),
]

# Turns of playable tracks may take this much longer than length plus one
# second: the time to open the file (GStreamer builds its pipeline) and to
# print, on a busy machine. A refused name is not opened.
OPEN_SLACK = 1.5
REFUSED_SLACK = 0.6
# The first open in a fresh Wine prefix also has GStreamer look through its
# plugins. A file that does not open at all can take longer still: with no
# sound device, Wine waits about ten seconds before it gives up.
FIRST_OPEN_SLACK = OPEN_SLACK + 3.0
# A turn lasts more than its length; timestamps are taken on arrival.
EARLY = 0.05

RUN_TIMEOUT = 90


def make_tracks(folder):
    first = None
    for name, seconds in TRACKS:
        path = os.path.join(folder, name)
        if seconds is None:
            shutil.copyfile(first, path)
            continue
        wav = os.path.join(folder, "tone.wav")
        subprocess.run(["sox", "-q", "-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth", str(seconds),
                        "sine", "440"], check=True)
        subprocess.run(["lame", "--quiet", "-b", "128", wav, path], check=True)
        os.remove(wav)
        first = first or path


def expected_output():
    listing = "".join(f"{i:<2d} | {name}\r\n" for i, (name, _) in enumerate(TRACKS))
    return listing + "".join(prompt(i) for i in order_of_play())


def order_of_play():
    # Each track once, then the first again: the list has wrapped.
    return list(range(len(TRACKS))) + [0]


def prompt(i):
    name = TRACKS[i][0]
    # The player shows the name up to its last '.'; the console turns "\n"
    # into "\r\n".
    return f"\r\nTamblo0~ {name[:name.rindex('.')]}~$ "


def run_player(emulator, exe, folder, env):
    """Runs the player until its output holds the whole expected text (or the
    time runs out); returns the output and the arrival time of each byte's
    chunk as (offset, seconds) pairs."""
    want = expected_output().encode()
    proc = subprocess.Popen([emulator, exe], cwd=folder, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, start_new_session=True)
    output = bytearray()
    errors = bytearray()
    arrivals = []
    deadline = time.monotonic() + RUN_TIMEOUT
    streams = {proc.stdout.fileno(): output, proc.stderr.fileno(): errors}
    try:
        while len(output) < len(want) and time.monotonic() < deadline and streams:
            ready, _, _ = select.select(list(streams), [], [], 0.05)
            for fd in ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    del streams[fd]
                    continue
                if fd == proc.stdout.fileno():
                    arrivals.append((len(output), time.monotonic()))
                streams[fd] += chunk
            if proc.poll() is not None and not ready:
                break
        # Anything printed right after the wrap would show up now.
        settle = time.monotonic() + 0.3
        while time.monotonic() < settle and proc.stdout.fileno() in streams:
            ready, _, _ = select.select([proc.stdout.fileno()], [], [], 0.05)
            if ready:
                chunk = os.read(proc.stdout.fileno(), 65536)
                if not chunk:
                    break
                arrivals.append((len(output), time.monotonic()))
                output += chunk
    finally:
        ended_by_itself = proc.poll() is not None
        if not ended_by_itself:
            os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        proc.stdin.close()
    return bytes(output), bytes(errors), arrivals, ended_by_itself


def arrival_of(offset, arrivals):
    """The time at which the byte at `offset` arrived."""
    at = None
    for start, when in arrivals:
        if start > offset:
            break
        at = when
    return at


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    emulator, exe = argv[0], os.path.abspath(argv[1])

    with tempfile.TemporaryDirectory(prefix="tamblo-wine-") as tmp:
        folder = os.path.join(tmp, "music")
        os.mkdir(folder)
        make_tracks(folder)
        alsa_conf = os.path.join(tmp, "asound.conf")
        with open(alsa_conf, "w") as conf:
            # No sound card is needed: the device opens, takes the sound and
            # throws it away.
            conf.write("pcm.!default { type null }\n")
        env = dict(os.environ, ALSA_CONFIG_PATH=alsa_conf)

        output, errors, arrivals, ended = run_player(emulator, exe, folder, env)

    failures = []
    want = expected_output().encode()
    if ended:
        failures.append("the player ended by itself; with looping on it plays on")
    if output != want:
        failures.append(f"output differs\n  expected: {want!r}\n  got:      {output!r}")
    else:
        # The length of each turn, from its prompt to the next prompt.
        starts = []
        offset = want.index(b"\r\nTamblo0~ ")
        for i in order_of_play():
            starts.append(arrival_of(offset, arrivals))
            offset += len(prompt(i).encode())
        for turn, i in enumerate(order_of_play()[:-1]):
            name, seconds = TRACKS[i]
            took = starts[turn + 1] - starts[turn]
            if seconds is None:
                low, high = 0.0, 1.0 + REFUSED_SLACK
            else:
                slack = FIRST_OPEN_SLACK if turn == 0 else OPEN_SLACK
                low, high = seconds - EARLY, seconds + 1.0 + slack
            verdict = "ok" if low <= took <= high else "WRONG"
            print(f"{name}: {took:.2f} s (expected {low:.2f} to {high:.2f} s) {verdict}")
            if verdict != "ok":
                failures.append(f"{name} lasted {took:.2f} s, not {low:.2f} to {high:.2f} s")

    if failures:
        print("player_run.py: FAILED", file=sys.stderr)
        for failure in failures:
            print("  " + failure, file=sys.stderr)
        if errors:
            print("  Wine's standard error:\n" + errors.decode(errors="replace"), file=sys.stderr)
        return 1
    print("player_run.py: the list, the prompts, the track lengths and the wrap are as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
