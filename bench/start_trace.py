"""Where a player's time goes between its start and its first sound: each
contestant started under strace, which stamps the system calls that mark
the way (the program's exec, its folder read, the track opened once the list
is printed, the client configuration read, the server's socket connected,
the stream asked for, the first sound sent), and the first sound at the
sink.

strace stops the program at each call it traces, so every figure here is
longer than the program's own, and the more so the more calls a step
makes: loading a library takes several. Only the calls that mark the way
are traced (in the kernel's filter, --seccomp-bpf); writes are not, since
the player prints its list a line at a time and the client library wakes
its own thread with a write, which would stretch the steps they fall in.
The table is for finding where the time goes, not for judging it:
first_sound.py does that."""

import codecs
import re
import statistics
import time

import first_sound
from players import PULSE_FLOOR, TAMBLO, TITLES, log

NAME = "start-trace"
CALLS = "execve,openat,connect,sendto,sendmsg"
# The marks, in the order they come to the player; those of Tamblo's own
# way first, then the sound path's, which every contestant has.
MARKS = [
    ("folder", "the folder opened: the exec, the loader and the program's libraries before it"),
    ("track", "the track opened: the folder read, the list printed to the first prompt"),
    ("context", "the client configuration (client.conf) read"),
    ("connect", "the server's socket connected"),
    ("stream", "the stream asked for"),
    ("sound sent", "the first sound sent to the server"),
    ("sound heard", "the first sound at the sink"),
]
# A command's body starts with its code, tagged as a 32-bit number.
CREATE_PLAYBACK_STREAM = b"L\0\0\0\x03"
LINE = re.compile(r"(\d+) +(\d+\.\d+) (.*)")
CALL = re.compile(r"(\w+)\((.*)")


def lineup(kind):
    """Tamblo, and the native floor for the sound path's share. mpg123 is
    left out: it wakes its own main loop with a write for each thing it
    asks of the server, each one a stop under strace, which more than
    quadruples its time to the first sound."""
    return (TAMBLO, PULSE_FLOOR)


def measure(runner, runs):
    folder = first_sound.fifty(runner)
    result = {name: [] for name in lineup(runner.server.kind)}
    with runner.server.recording() as clock:
        for run in range(runs):
            log(f"start traced, {runner.server.title}, run {run + 1} of {runs}")
            for name in result:
                time.sleep(0.3)
                result[name].append(_one(runner, clock, name, folder))
    return result


def _one(runner, clock, name, folder):
    out = f"{runner.tmp}/strace.{name}"
    strace = ["strace", "-f", "-ttt", "--seccomp-bpf", "-s", "40", "-o", out, "-e", f"trace={CALLS}", "--"]
    # strace stamps the wall clock; the recorder, the monotonic one.
    offset = time.time() - time.monotonic()
    _, heard = first_sound.play(runner, clock, name, folder, wrapper=strace, what="start traced")
    with open(out) as f:
        marks = marks_of(f.read().splitlines())
    if heard is not None and "exec" in marks:
        marks["sound heard"] = heard + offset
    return {mark: (t - marks["exec"]) for mark, t in marks.items() if mark != "exec"} if "exec" in marks else {}


def _sent(argument):
    """The first bytes strace shows of what a call sent, as C writes them
    ("\\0\\0\\1\\24..."), and how many bytes it sent in all."""
    quoted = re.search(r'"((?:[^"\\]|\\.)*)"(?:\.\.\.)?(?:, (\d+))?', argument)
    if not quoted:
        return b"", 0
    lengths = re.findall(r"iov_len=(\d+)", argument)
    length = sum(map(int, lengths)) if lengths else int(quoted.group(2) or 0)
    return codecs.escape_decode(quoted.group(1))[0], length


def marks_of(lines):
    """Wall-clock times of the marks in one strace log."""
    marks = {}
    server_fd = None
    main = None
    # Bytes of the packet under way still to come: a client may send a
    # packet's head and its body in calls of their own.
    owed = 0
    fresh_body = False  # the next call sends the start of a body
    for line in lines:
        match = LINE.match(line)
        if not match:
            continue
        pid, t, rest = match.group(1), float(match.group(2)), match.group(3)
        call = CALL.match(rest)
        if not call:
            continue
        name, args = call.groups()
        if name == "execve" and main is None:
            main = pid
            marks["exec"] = t
        elif name == "openat":
            if "O_DIRECTORY" in args and pid == main and '".",' in args:
                marks.setdefault("folder", t)
            elif '"00 long.mp3"' in args:
                marks.setdefault("track", t)
            elif "/client.conf\"" in args:
                marks.setdefault("context", t)
        elif name == "connect" and "pulse/native" in args:
            server_fd = args.split(",", 1)[0]
            marks.setdefault("connect", t)
        elif name in ("sendto", "sendmsg", "write") and server_fd is not None and args.startswith(server_fd + ","):
            # A packet of the native protocol starts with a head of 20 bytes:
            # the body's length and the channel, all ones for a command and
            # a stream's own for sound.
            data, length = _sent(args)
            body = data if fresh_body else None
            head = owed == 0 and len(data) >= 8
            if head:
                if data[4:8] != b"\xff\xff\xff\xff":
                    marks.setdefault("sound sent", t)
                owed = 20 + int.from_bytes(data[:4], "big")
                body = data[20:] if length > 20 else None
            if body is not None and body[:5] == CREATE_PLAYBACK_STREAM:
                marks.setdefault("stream", t)
            owed = max(0, owed - length)
            fresh_body = head and length == 20 and owed > 0
    return marks


def tables(result, title):
    names = [name for name in result if any(result[name])]
    head = [f"{title}, ms from the exec, under strace"] + [TITLES[name] for name in names]
    lines = ["| " + " | ".join(head) + " |", "|" + "|".join("---" for _ in head) + "|"]
    for mark, label in MARKS:
        cells = []
        for name in names:
            times = [run[mark] * 1000 for run in result[name] if mark in run]
            cells.append(f"{statistics.median(times):.1f}" if times else "–")
        if any(cell != "–" for cell in cells):
            lines.append(f"| {label} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"
