"""What the platform layer promises beyond the dialogue: descriptors,
threads and memory held flat over many turns, and a folder it may not list."""
import os
import pathlib
import re
import subprocess
import time
import unittest

from dialogues import listing, prompt
from harness import InFolder, Player, make_sound


def usage(pid):
    """Open descriptors, threads and resident KiB of a running process."""
    status = pathlib.Path("/proc/%d/status" % pid).read_text()
    field = lambda name: int(re.search("\n" + name + r":\s+(\d+)", status).group(1))
    return len(os.listdir("/proc/%d/fd" % pid)), field("Threads"), field("VmRSS")


class Platform(InFolder):
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
        sanitized = player.under("asan", "tsan")
        player.send("exit\n")
        self.assertEqual(player.wait(), 0)
        self.assertEqual([s[:2] for s in seen[1:]], [seen[0][:2]] * 2, seen)
        if not sanitized:
            self.assertLess(seen[2][2] - seen[0][2], 1024, seen)

    def test_started_with_input_and_error_closed(self):
        # As a launcher may start it. Their numbers would go to the next
        # files it opens (a track, the sound server's socket), and what comes
        # on them be read as typed words; they are kept on /dev/null instead,
        # and the tracks play on as at the end of input.
        names = [make_sound(self.path(name), 1) and name for name in ("a.mp3", "b.mp3")]
        player = Player(self.dir.name, argv=["sh", "-c", 'exec "$0" <&- 2>&-', os.environ["TAMBLO"]])
        self.addCleanup(player.close)
        player.expect(listing(names) + prompt("a.mp3"))
        held = set()  # a closed descriptor's own path, a socket's name under it
        for _ in range(30):
            held |= {os.path.realpath("/proc/%d/fd/%d" % (player.proc.pid, fd)) for fd in (0, 2)}
            time.sleep(0.05)
        self.assertEqual(held, {"/dev/null"})
        player.expect(prompt("b.mp3") + prompt("a.mp3"))

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
