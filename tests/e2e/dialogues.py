"""The player's dialogue as one table, run through a pipe, a pseudo-terminal
and (tests/windows) a Windows console.

A case: the folder's tracks, (name, seconds) each (None: an empty file; a
name ending in "/": a folder), what is typed ahead of the start, a shell
redirection for the player, the modes it runs in, its locale and that
locale's character set, and the steps:
    ("out", b"...")       the output goes on with exactly these bytes
    ("out", re.compile(b"..."))  ... with text this pattern matches there
    ("type", "ls\\n")      this is typed; "\\n" is Enter
    ("wait", 1.5)         this many seconds pass
    ("quiet", 0.5)        nothing new is printed for this long
    ("eof",)              the input ends
    ("idle", 2.5)         for this long the player sleeps, waking about once a second
    ("exit", 0)           the program ends with this status, nothing more printed
    ("kill",)             the program is killed, nothing more printed
The outputs are the whole of what the player prints, and a case lets a turn
end after its last command, so that an answer printed again later shows.
Expected text ends lines in "\\n" and holds the page pause as PAUSE, the
bytes the program has (code page 932); a runner converts both to what its
console shows."""
import re
import string

# The pause, before entries PAGE, 2 * PAGE and 3 * PAGE of the 50.
PAUSE = bytes.fromhex("91b18d7382b782e982c982cd89bd82a9834c815b82f0899f82b582c482ad82be82b382a2") + b"...\n"
PAGE = 15
SLOTS = 50


class Case:
    def __init__(self, name, tracks, steps, windows=True, ahead="", shell="", modes=("pipe", "pty"), locale=None,
                 charset="utf-8"):
        self.name, self.tracks, self.steps, self.windows, self.ahead = name, tracks, steps, windows, ahead
        self.shell, self.modes, self.locale, self.charset = shell, modes, locale, charset


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


def windows_order(names):
    """The order of doc/behaviour.md: bytes, ASCII letters as upper case, a
    name before those it begins; names equal so by their own bytes."""
    return sorted(names, key=lambda name: (name.encode().upper(), name.encode()))


def tracks(*names, seconds=2):
    return [(name, seconds) for name in names]


ABC = tracks("a.mp3", "b.mp3", "c.mp3")
AB, START_AB = tracks("a.mp3", "b.mp3", seconds=3), ("out", listing(["a.mp3", "b.mp3"]) + prompt("a.mp3"))
START_ABC = ("out", listing(["a.mp3", "b.mp3", "c.mp3"]) + prompt("a.mp3"))
NAMES = ["t%02d.mp3" % i for i in range(60)]
MANY = tracks(*NAMES[:17])
START_MANY = listing(NAMES[:17]).split(PAUSE)
LONG = (string.ascii_letters * 5)[:251] + ".mp3"  # as long as a slot holds: 255 bytes
# "time" at once on a 3 s track: 0 s, or 1 s when the clock's second turned.
TIME_3 = re.compile(b"\n0 min 0 s  / 0 min 3 s\n>" + b"." * 29 + b"\n|\n0 min 1 s  / 0 min 3 s\n" + b">" * 11 +
                    b"." * 19 + b"\n")
# Names in an order that only the whole rule gives: prefixes, case, digits,
# punctuation between and around the letters, bytes above 0x7F.
ORDER = ["a.mp3", "a.mp3.mp3", "A.MP3", "a.Mp3", "ab.mp3", "a b.mp3", "a_.mp3", "a[.mp3", "a~.mp3", "b.MP3",
         "_.mp3", "`.mp3", "{.mp3", "1.mp3", "10.mp3", "9.mp3", "Z.mp3", "é.mp3", "É.mp3", "x.mp3/", "else no.mp3"]
CASES = [
    Case("a number, next past the last track, back early", ABC, [
        START_ABC, ("type", "2\n"), ("out", prompt("c.mp3")),
        ("type", "next\n"), ("out", prompt("a.mp3")),
        ("type", "b\n"), ("out", prompt("c.mp3")),
        ("type", "before\n"), ("out", prompt("b.mp3")),
        ("out", prompt("c.mp3")), ("type", "exit\n"), ("exit", 0)]),
    Case("the end marker's number: loop on wraps, loop off ends", ABC, [
        START_ABC, ("type", "3\n"), ("out", prompt("a.mp3")),
        ("type", "loop\n"), ("out", prompt("a.mp3")),
        ("type", "3\n"), ("exit", 0)]),
    Case("back late restarts the track; words that mean nothing", tracks("a.mp3", "b.mp3", "c.mp3", seconds=4), [
        ("out", listing(["a.mp3", "b.mp3", "c.mp3"]) + prompt("a.mp3")), ("type", "1\n"), ("out", prompt("b.mp3")),
        ("wait", 3.6), ("type", "b\n"), ("out", prompt("b.mp3")),
        ("type", "LS\n"), ("quiet", 0.2), ("type", "50\n"), ("quiet", 0.2), ("type", "exitx\n"), ("quiet", 0.2),
        ("type", "x" * 300 + "\n"), ("quiet", 0.2), ("out", prompt("c.mp3")), ("type", "exit\n"), ("exit", 0)]),
    Case("stop waits for a line, then the next track", ABC, [
        START_ABC, ("type", "stop\n"), ("quiet", 0.6),
        ("type", "\n"), ("out", prompt("b.mp3")), ("out", prompt("c.mp3")),
        ("type", "exit\n"), ("exit", 0)]),
    # Time's and loop's answers come once, up to the turn's end.
    Case("time, and the loop word's prompt", [("three.mp3", 3)], [
        ("out", listing(["three.mp3"]) + prompt("three.mp3")),
        ("type", "time\n"), ("out", TIME_3), ("out", prompt("three.mp3")),
        ("type", "loop\n"), ("out", prompt("three.mp3")), ("exit", 0)]),
    # Whole in the list, without its extension in the prompt, and opened:
    # time shows its length. Too long a path for Windows' usual limit.
    Case("a name as long as a slot holds", [(LONG, 3)], [
        ("out", listing([LONG]) + prompt(LONG)),
        ("type", "time\n"), ("out", TIME_3), ("out", prompt(LONG)), ("out", prompt(LONG)),
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
        ("type", "\n"), ("out", prompt("c.mp3")), ("type", "exit\n"), ("exit", 0)]),
    # Windows itself lists .a.mp3 (a leading dot hides nothing there) and
    # c.mp3x (its short 8.3 name ends in .MP3 and matches *.mp3).
    Case("an empty folder", [(".a.mp3", None), ("b.mp4", None), ("c.mp3x", None)], [
        ("out", b"There are no mp3s.\n"), ("exit", 0)], windows=False),
    # Only *.mp3 names, in any case; a folder too, and no dot-file. The
    # first plays (its turn outlasts what is typed); a.mp3.mp3 is number 7.
    Case("the names in the order Windows lists them",
         [(name, 3 if name == "1.mp3" else None) for name in ORDER + [".a.mp3", "c.mp3x", "c.mp"]],
         pages(windows_order([name.rstrip("/") for name in ORDER])) + [
             ("type", "7\n"), ("out", prompt("a.mp3.mp3")), ("type", "exit\n"), ("exit", 0)], windows=False),
    # Files that do not play: each turn lasts a second. After the last slot
    # the player takes one character, here the line feed left after "49".
    Case("a full list: 50 of 60, and the end after its last slot", tracks(*NAMES, seconds=None), pages(NAMES) + [
        ("type", "49\n"), ("out", prompt("t49.mp3")), ("exit", 0)]),
]
# The page pause reads one character, whatever waits or comes. What is left
# of a line waits, as after any word, for more input; an Enter then brings
# it, and the reader waits on for the word after it.
CASES += [
    Case("the pause: Enter alone, and ls's own line feed", MANY, pages(NAMES[:17]) + [
        ("type", "ls\n"), ("out", b"\n" + listing(NAMES[:17]) + prompt("t00.mp3")), ("out", prompt("t01.mp3")),
        ("type", "exit\n"), ("exit", 0)]),
    Case("the pause: a word typed before it", MANY, [
        ("out", START_MANY[0] + PAUSE + START_MANY[1] + prompt("t00.mp3")), ("quiet", 0.3),
        ("type", "\n"), ("out", prompt("t03.mp3")), ("type", "exit\n"), ("exit", 0)],
         windows=False, ahead="13\n"),
    Case("the pause: a line of several characters", MANY, [
        ("out", START_MANY[0] + PAUSE), ("type", "x12\n"), ("out", START_MANY[1] + prompt("t00.mp3")),
        ("quiet", 0.3), ("type", "\n"), ("out", prompt("t12.mp3")), ("type", "exit\n"), ("exit", 0)]),
    Case("the pause: the end of input", MANY, [
        ("out", START_MANY[0] + PAUSE), ("eof",), ("out", START_MANY[1] + prompt("t00.mp3")),
        ("idle", 2), ("out", prompt("t01.mp3")), ("kill",)], windows=False),
    Case("the pause: ls, in a list of 16 or more", MANY, pages(NAMES[:17]) + [
        ("type", "ls 13\n"), ("out", b"\n" + listing(NAMES[:17]) + prompt("t00.mp3")), ("quiet", 0.3),
        ("type", "\n"), ("out", prompt("t13.mp3")), ("type", "16\n"), ("out", prompt("t16.mp3")),
        ("out", prompt("t00.mp3")), ("type", "exit\n"), ("exit", 0)]),
    # The pause in the terminal's own characters (UTF-8 where the locale names none).
    *[Case("the pause in the locale " + locale, MANY, pages(NAMES[:17]) + [("type", "exit\n"), ("exit", 0)],
           windows=False, locale=locale, charset=charset)
      for locale, charset in (("C", "utf-8"), ("ja_JP.SJIS", "cp932"), ("ja_JP.EUC-JP", "euc_jp"))],
    # Input closed, or /dev/null on a terminal, or ended on a terminal whose
    # output goes elsewhere: the tracks play on asleep, and a terminal takes
    # commands again. Closed input is no track's either: a's tag says "exit".
    Case("input closed", [("a.mp3", 3, "--tt", " exit "), ("b.mp3", 3)], [
        START_AB, ("idle", 2.5), ("out", prompt("b.mp3")), ("kill",)], windows=False, shell="<&-", modes=("pipe",)),
    Case("a terminal's input from /dev/null", AB, [START_AB, ("idle", 2.5), ("out", prompt("b.mp3")), ("kill",)],
         windows=False, shell="</dev/null", modes=("pty",)),
    Case("a terminal's input ended, its output elsewhere", AB, [
        ("wait", 0.5), ("eof",), ("idle", 2.5), ("type", "exit\n"), ("exit", 0)], windows=False,
         shell=">/dev/null", modes=("pty",)),
]
