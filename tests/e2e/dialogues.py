"""The player's dialogue as one table, run through a pipe, a pseudo-terminal
and (tests/windows) a Windows console.

A case: the folder's tracks, (name, seconds) each (None: an empty file; a
name ending in "/": a folder), and the steps in order:
    ("out", b"...")       the output goes on with exactly these bytes
    ("out", re.compile(b"..."))  ... with text this pattern matches there
    ("type", "ls\\n")      this is typed; "\\n" is Enter
    ("wait", 1.5)         this many seconds pass
    ("quiet", 0.5)        nothing new is printed for this long
    ("eof",)              the input ends
    ("exit", 0)           the program ends with this status, nothing more printed
Expected text ends lines in "\\n" and holds the page pause as PAUSE, the
bytes the program has (code page 932); a runner converts both to what its
console shows.
"""
import re
import string

# The pause between pages, and the page's length: the pauses come before
# entries PAGE, 2 * PAGE and 3 * PAGE of the 50.
PAUSE = bytes.fromhex("91b18d7382b782e982c982cd89bd82a9834c815b82f0899f82b582c482ad82be82b382a2") + b"...\n"
PAGE = 15
SLOTS = 50


class Case:
    def __init__(self, name, tracks, steps, windows=True):
        self.name, self.tracks, self.steps, self.windows = name, tracks, steps, windows


def listing(names):
    out = b""
    for i, name in enumerate(names[:SLOTS]):
        out += (PAUSE if i > 0 and i % PAGE == 0 else b"") + b"%-2d | %s\n" % (i, name.encode())
    return out


def prompt(name):
    return b"\nTamblo0~ " + name.rsplit(".", 1)[0].encode() + b"~$ "


def pages(names, answer="\n"):
    """Steps for the start-up list of `names`: each page, its pause answered."""
    parts = listing(names).split(PAUSE)
    steps = [step for part in parts[:-1] for step in (("out", part + PAUSE), ("quiet", 0.3), ("type", answer))]
    return steps + [("out", parts[-1] + prompt(names[0]))]


def tracks(*names, seconds=30):
    return [(name, seconds) for name in names]


ABC = tracks("a.mp3", "b.mp3", "c.mp3")
START_ABC = ("out", listing(["a.mp3", "b.mp3", "c.mp3"]) + prompt("a.mp3"))
NAMES = ["t%02d.mp3" % i for i in range(60)]
MANY = tracks(*NAMES[:17], seconds=20)
LONG = (string.ascii_letters * 5)[:251] + ".mp3"  # as long as a slot holds: 255 bytes
TIME_62 = re.compile(b"\n0 min [01] s  / 1 min 2 s\n>" + b"." * 29 + b"\n")
CASES = [
    Case("a number, next past the last track, back early", ABC, [
        START_ABC, ("type", "2\n"), ("out", prompt("c.mp3")),
        ("type", "next\n"), ("out", prompt("a.mp3")),
        ("type", "b\n"), ("out", prompt("c.mp3")),
        ("type", "before\n"), ("out", prompt("b.mp3")),
        ("type", "exit\n"), ("exit", 0)]),
    Case("the end marker's number: loop on wraps, loop off ends", ABC, [
        START_ABC, ("type", "3\n"), ("out", prompt("a.mp3")),
        ("type", "loop\n"), ("out", prompt("a.mp3")),
        ("type", "3\n"), ("exit", 0)]),
    Case("back late restarts the track; words that mean nothing", ABC, [
        START_ABC, ("type", "1\n"), ("out", prompt("b.mp3")), ("wait", 3.6),
        ("type", "b\n"), ("out", prompt("b.mp3")),
        ("type", "LS\n"), ("quiet", 0.3), ("type", "50\n"), ("quiet", 0.3), ("type", "exitx\n"), ("quiet", 0.3),
        ("type", "x" * 300 + "\n"), ("quiet", 0.3),
        ("type", "exit\n"), ("exit", 0)]),
    Case("stop waits for a line, then the next track", ABC, [
        START_ABC, ("type", "stop\n"), ("quiet", 0.6),
        ("type", "\n"), ("out", prompt("b.mp3")),
        ("type", "exit\n"), ("exit", 0)]),
    Case("pages: the pause waits for a key, and ls's line feed answers it", MANY, pages(NAMES[:17]) + [
        ("type", "ls\n"), ("out", b"\n" + listing(NAMES[:17]) + prompt("t00.mp3")), ("quiet", 0.3),
        ("type", "16\n"), ("out", prompt("t16.mp3")),
        ("type", "exit\n"), ("exit", 0)]),
    # Time's and loop's answers come once: quiet follows each.
    Case("time, and the loop word's prompt", [("long.mp3", 62)], [
        ("out", listing(["long.mp3"]) + prompt("long.mp3")),
        ("type", "time\n"), ("out", TIME_62), ("out", prompt("long.mp3")), ("quiet", 0.3),
        ("type", "loop\n"), ("out", prompt("long.mp3")), ("quiet", 0.3),
        ("type", "exit\n"), ("exit", 0)]),
    # Whole in the list, without its extension in the prompt, and opened:
    # time shows its length. Too long a path for Windows' usual limit.
    Case("a name as long as a slot holds", [(LONG, 62)], [
        ("out", listing([LONG]) + prompt(LONG)),
        ("type", "time\n"), ("out", TIME_62), ("out", prompt(LONG)),
        ("type", "exit\n"), ("exit", 0)], windows=False),
    Case("tracks advance by themselves; loop off ends after the last", tracks("a.mp3", "b.mp3", seconds=1), [
        ("out", listing(["a.mp3", "b.mp3"]) + prompt("a.mp3")),
        ("type", "loop\n"), ("out", prompt("a.mp3")),
        ("out", prompt("b.mp3")), ("exit", 0)]),
    Case("at the end of input the tracks play on", tracks("a.mp3", "b.mp3", seconds=1), [
        ("out", listing(["a.mp3", "b.mp3"]) + prompt("a.mp3")),
        ("type", "loop\n"), ("out", prompt("a.mp3")), ("eof",),
        ("out", prompt("b.mp3")), ("exit", 0)]),
    Case("a word waits for more input when its line was read already", ABC, [
        START_ABC, ("type", "1 2\n"), ("out", prompt("b.mp3")), ("quiet", 0.5),
        ("type", "\n"), ("out", prompt("c.mp3")),
        ("type", "exit\n"), ("exit", 0)]),
    # Windows itself lists .a.mp3 (a leading dot hides nothing there) and
    # c.mp3x (its short 8.3 name ends in .MP3 and matches *.mp3).
    Case("an empty folder", [(".a.mp3", None), ("b.mp4", None), ("c.mp3x", None)], [
        ("out", b"There are no mp3s.\n"), ("exit", 0)], windows=False),
    Case("only *.mp3, in the order Windows lists them", [
        ("b.MP3", None), ("A.mp3", None), ("a.Mp3", None), ("_.mp3", None), ("a.b.mp3", None), ("Z.mp3", None),
        ("x.mp3/", None), (".hidden.mp3", None), ("c.mp3x", None), ("c.mp", None), ("else no.mp3", None),
        ("else.mp3", None)], [
        ("out", listing(["a.b.mp3", "A.mp3", "a.Mp3", "b.MP3", "else no.mp3", "else.mp3", "x.mp3", "Z.mp3",
                         "_.mp3"]) + prompt("a.b.mp3")),
        ("type", "4\n"), ("out", prompt("else no.mp3")),
        ("type", "exit\n"), ("exit", 0)], windows=False),
    # Files that do not play: each turn lasts a second. After the last slot
    # the player takes one character, here the line feed left after "49".
    Case("a full list: 50 of 60, and the end after its last slot", tracks(*NAMES, seconds=None), pages(NAMES) + [
        ("type", "49\n"), ("out", prompt("t49.mp3")), ("exit", 0)]),
]
