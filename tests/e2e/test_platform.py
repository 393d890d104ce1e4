"""What the platform layer costs and promises beyond the dialogue: the
console (its locales, closed and mixed standard streams, how soon a command
is seen), and descriptors, threads, memory and CPU time over many turns."""
import os
import pathlib
import re
import subprocess
import tempfile
import time
import unittest

from dialogues import PAUSE, listing, prompt
from harness import TAMBLO, Player, make_sound


def usage(pid):
    """Open descriptors, threads and resident KiB of a running process, and
    how often its main thread has slept."""
    status = pathlib.Path("/proc/%d/status" % pid).read_text()
    field = lambda name: int(re.search("\n" + name + r":\s+(\d+)", status).group(1))
    return len(os.listdir("/proc/%d/fd" % pid)), field("Threads"), field("VmRSS"), field("voluntary_ctxt_switches")


class Platform(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="tamblo-e2e-")
        self.addCleanup(self.dir.cleanup)
        self.path = lambda name: os.path.join(self.dir.name, name)

    def test_many_turns_leave_nothing_behind(self):
        # Tracks that play (one cut short) and files the devices refuse. A
        # turn closes a device, with its threads, output and decoder, and
        # opens the next: after hundreds, nothing may have stayed behind.
        make_sound(self.path("a.mp3"), 1.5, lame=("-b", "32"))
        make_sound(self.path("b.mp3"), 2, rate=22050, channels=1, lame=("-b", "24"))
        pathlib.Path(self.path("c.mp3")).write_bytes(pathlib.Path(self.path("a.mp3")).read_bytes()[:3077])
        os.mkfifo(self.path("d.mp3"))
        os.symlink("/dev/zero", self.path("e.mp3"))
        pathlib.Path(self.path("f.mp3")).write_text("not sound\n" * 300)
        pathlib.Path(self.path("g.mp3")).touch()
        os.mkdir(self.path("h.mp3"))
        names = sorted(os.listdir(self.dir.name))
        player = Player(self.dir.name)
        self.addCleanup(player.close)
        player.expect(listing(names) + prompt(names[0]))

        def turn(word, track):
            # A file of no length gets a turn until the clock's next second:
            # it may end by itself before the word comes.
            player.send(word)
            player.expect(re.compile(b"(?:\nTamblo0~ [a-h]~\\$ )*?" + re.escape(prompt(names[track]))))
            return track

        track, seen = 0, []
        for n in range(1, 901):
            # "n" after a track that plays, numbers after the others.
            track = turn("n\n", track + 1) if track < 2 else turn("%d\n" % (n * 5 % 8), n * 5 % 8)
            if n % 300 == 0:
                # On the refused text file, once "loop" is answered (its open
                # is over), no device is open. Taken just after the clock's
                # second turns, on the way from b, whose turn outlasts the wait.
                turn("1\n", 1)
                time.sleep(1.02 - time.time() % 1)
                track = turn("5\n", 5)
                turn("loop\n", 5)
                seen.append(usage(player.proc.pid))
                turn("loop\n", 5)
        # Sanitizers keep freed memory aside for a while: under them only
        # descriptors and threads are counted.
        sanitized = re.search(r"/lib[at]san", pathlib.Path("/proc/%d/maps" % player.proc.pid).read_text())
        player.send("exit\n")
        self.assertEqual(player.wait(), 0)
        self.assertEqual([s[:2] for s in seen[1:]], [seen[0][:2]] * 2, seen)
        if not sanitized:
            self.assertLess(seen[2][2] - seen[0][2], 1024, seen)

    def test_ended_or_mixed_streams_cost_no_cpu(self):
        # Input that ends (a pipe, a terminal's Ctrl-D), is closed or is
        # /dev/null, with output to a pipe, a terminal or a file: the tracks
        # play on without spinning, and a terminal takes commands again.
        for name in ("a.mp3", "b.mp3"):  # long enough for the sleeps to tell
            make_sound(self.path(name), 4, lame=("-b", "32"))
        start, out = listing(["a.mp3", "b.mp3"]) + prompt("a.mp3"), pathlib.Path(self.path("out"))
        for mode, redirect in (("pipe", ""), ("pipe", "<&-"), ("pty", "</dev/null"), ("pty", '>"$1"')):
            out.write_bytes(b"")
            player = Player(self.dir.name, mode, argv=["sh", "-c", 'exec "$0" ' + redirect, TAMBLO, str(out)])
            self.addCleanup(player.close)

            def printed(text):  # on the player's standard output, wherever that goes
                deadline, shown = time.monotonic() + 8, lambda: out.read_bytes() if ">" in redirect else player.out
                while shown() != text and time.monotonic() < deadline:
                    time.sleep(0.02)
                self.assertEqual(shown(), text)

            printed(start)
            if redirect in ("", '>"$1"'):
                player.end_input()
            cpu, slept, began = player.cpu_seconds(), usage(player.proc.pid)[3], time.monotonic()
            printed(start + prompt("b.mp3"))
            self.assertLess(player.cpu_seconds() - cpu, 0.3, redirect)
            # Asleep until a key or the turn's end, looking at the clock once a second meanwhile.
            slept = usage(player.proc.pid)[3] - slept
            self.assertLess(slept, 5 * (time.monotonic() - began) + 10, redirect)
        player.send("exit\n")
        player.expect(b"exit\n")  # the terminal's echo; what is printed goes to the file
        self.assertEqual(player.wait(), 0)

    def test_console_around_the_player(self):
        names = ["t%02d.mp3" % i for i in range(16)]
        for name in names:
            make_sound(self.path(name), 2, lame=("-b", "32"))
        first, rest = listing(names).split(PAUSE)
        # The pause text in the terminal's own character set.
        locales = self.path("locales")
        os.mkdir(locales)
        for charmap, name in (("SHIFT_JIS", "ja_JP.SJIS"), ("EUC-JP", "ja_JP.EUC-JP")):
            subprocess.run(["localedef", "-c", "-f", charmap, "-i", "ja_JP", os.path.join(locales, name)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        text = PAUSE.decode("cp932")
        for locale, pause in (("C", text.encode()), ("ja_JP.SJIS", PAUSE), ("ja_JP.EUC-JP", text.encode("euc_jp"))):
            player = Player(self.dir.name, env={"LC_ALL": locale, "LOCPATH": locales})
            self.addCleanup(player.close)
            player.expect(first + pause)
            player.send("\n")
            player.expect(rest + prompt(names[0]))
            player.send("exit\n")
            self.assertEqual(player.wait(), 0)

    def test_a_command_takes_effect_at_once(self):
        # Not at the next tick of the key test: typed input ends the wait.
        make_sound(self.path("a.mp3"), 30, lame=("-b", "32"))
        player = Player(self.dir.name)
        self.addCleanup(player.close)
        player.expect(listing(["a.mp3"]) + prompt("a.mp3"))
        took = []
        for _ in range(11):
            time.sleep(0.13)
            started = time.monotonic()
            player.send("loop\n")
            player.expect(prompt("a.mp3"))
            took.append(time.monotonic() - started)
        self.assertLess(sorted(took)[5], 0.02, took)

    def test_a_folder_it_may_not_list(self):
        os.mkdir(self.path("locked"), 0o311)
        os.chmod(self.dir.name, 0o755)
        make_sound(self.path("locked/a.mp3"), 1)
        subprocess.run(["cp", os.environ["TAMBLO"], self.path("tamblo")], check=True)
        player = Player(self.path("locked"), argv=["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                                  self.path("tamblo")])
        self.addCleanup(player.close)
        player.expect(b"There are no mp3s.\n")
        self.assertEqual(player.wait(), 0)


if __name__ == "__main__":
    unittest.main()
