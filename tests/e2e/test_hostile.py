"""Strange folders and strange input: the player lists everything, moves on
from what it cannot play, and never blocks, crashes or prints noise."""

import os
import random
import signal
import subprocess
import time
import unittest

from harness import PlayerTest, listing, make_wav, prompt


def id3_tag_with_picture(size):
    """An ID3v2.3 tag holding one picture frame of `size` bytes of noise."""
    body = b"\x00image/jpeg\x00\x03\x00" + random.Random(7).randbytes(size)
    frame = b"APIC" + len(body).to_bytes(4, "big") + b"\x00\x00" + body
    n = len(frame)
    syncsafe = bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])
    return b"ID3\x03\x00\x00" + syncsafe + frame


def windows_order(names):
    return sorted(names, key=lambda n: (n.upper(), n))


class HostileFolder(PlayerTest):

    def test_every_entry_gets_its_turn(self):
        folder = self.folder()
        # Playable, 1 s each: given up to 2 s.
        playable = {
            b"-rf.mp3": None,
            "\u65e5\u672c\u8a9e.mp3".encode("utf-8"): None,
            "\u65e5\u672c.mp3".encode("cp932"): None,
            b"n" * 251 + b".mp3": None,
            b"picture.mp3": None,
            b"truncated.mp3": None,
        }
        for name in playable:
            folder.mp3(name, 1, freq=500)
        with open(folder.file_path(b"picture.mp3"), "rb") as f:
            sound = f.read()
        folder.write(b"picture.mp3", id3_tag_with_picture(200 * 1024) + sound)
        # Half of a 2 s track: its true length is about 1 s.
        folder.mp3(b"truncated.mp3", 2, freq=500)
        with open(folder.file_path(b"truncated.mp3"), "rb") as f:
            whole = f.read()
        folder.write(b"truncated.mp3", whole[:len(whole) // 2])

        # Unplayable: each given about a second.
        os.mkfifo(folder.file_path(b"fifo.mp3"))
        os.symlink("/dev/zero", folder.file_path(b"zero.mp3"))
        os.symlink("/nonexistent/file.mp3", folder.file_path(b"dangling.mp3"))
        folder.write(b"empty.mp3")
        folder.write(b"text.mp3", b"just some words\n" * 100)
        make_wav(folder.file_path(b"wave.mp3"), 1)
        os.mkdir(folder.file_path(b"dir.mp3"))
        folder.write(b"unreadable.mp3", sound)
        os.chmod(folder.file_path(b"unreadable.mp3"), 0)
        os.chmod(folder.path, 0o755)
        unplayable = [b"fifo.mp3", b"zero.mp3", b"dangling.mp3", b"empty.mp3", b"text.mp3", b"wave.mp3",
                      b"dir.mp3", b"unreadable.mp3"]

        names = windows_order(list(playable) + unplayable)
        self.assertEqual(len(names), 14)
        player = self.start(folder, unprivileged=True)
        transcript = listing(names) + prompt(names[0])
        last = player.expect_output(transcript, timeout=5)
        player.send("loop\n")
        transcript += prompt(names[0])
        player.expect_output(transcript)
        for before, name in zip(names, names[1:]):
            transcript += prompt(name)
            now = player.expect_output(transcript, timeout=4)
            allowed = 2.3 if before in playable else 1.3
            self.assertLessEqual(now - last, allowed, "%r took too long" % before)
            last = now
        self.assertEqual(player.wait(4), 0)
        self.assertEqual(player.output, transcript)
        self.assertQuietStderr(player)

    def test_file_gone_or_replaced_before_its_turn(self):
        folder = self.folder()
        names = ["a.mp3", "b.mp3", "c.mp3", "d.mp3"]
        for name in names:
            folder.mp3(name, 1)
        player = self.start(folder)
        transcript = listing(names) + prompt("a.mp3")
        player.expect_output(transcript, timeout=4)
        os.unlink(folder.file_path("b.mp3"))
        folder.write("c.mp3", b"not a sound any more")
        os.unlink(folder.file_path("d.mp3"))
        os.mkfifo(folder.file_path("d.mp3"))
        player.send("loop\n")
        transcript += prompt("a.mp3") + prompt("b.mp3") + prompt("c.mp3") + prompt("d.mp3")
        player.expect_output(transcript, timeout=8)
        self.assertEqual(player.wait(4), 0)
        self.assertEqual(player.output, transcript)
        self.assertQuietStderr(player)


class HostileInput(PlayerTest):

    def test_binary_and_very_long_input(self):
        folder = self.folder()
        folder.mp3("a.mp3", 30)
        folder.mp3("b.mp3", 30)
        player = self.start(folder)
        transcript = listing(["a.mp3", "b.mp3"]) + prompt("a.mp3")
        player.expect_output(transcript, timeout=4)
        noise = bytes(range(256)) * 40
        player.send(noise.replace(b"\n", b"") + b"\n")           # binary bytes
        player.send(b"y" * 100000 + b"\n")                        # one very long word
        player.send(b" ".join([b"zz"] * 5000) + b"\n")            # many words on one line
        self.assertTrue(player.quiet_for(0.8))
        player.expect_output(transcript)
        # Still listening, and nothing of the long words was taken for a command.
        player.send("1\n")
        transcript += prompt("b.mp3")
        player.expect_output(transcript)
        player.send("exit\n")
        self.assertEqual(player.wait(5), 0)
        self.assertEqual(player.output, transcript)
        self.assertQuietStderr(player)

    def test_closed_standard_streams(self):
        folder = self.folder()
        for name in ("a.mp3", "b.mp3"):
            folder.mp3(name, 1)
        # No standard input at all: the list and the tracks still come, the
        # player does not spin, and no track's bytes are read as commands.
        player = self.start(folder, stdin=subprocess.DEVNULL, argv_prefix=["sh", "-c", 'exec <&- "$0"'])
        transcript = listing(["a.mp3", "b.mp3"]) + prompt("a.mp3") + prompt("b.mp3") + prompt("a.mp3")
        player.expect_output(transcript, timeout=8)
        self.assertLess(player.cpu_seconds(), 0.5)
        player.proc.send_signal(signal.SIGTERM)
        player.wait(5)
        self.assertQuietStderr(player)

        # No standard output: nothing to print to, nothing goes wrong.
        player = self.start(folder, stdout=subprocess.DEVNULL, argv_prefix=["sh", "-c", 'exec >&- "$0"'])
        player.send("loop\n")
        player.proc.stdin.close()
        self.assertEqual(player.wait(8), 0)
        self.assertQuietStderr(player)

    def test_closed_output_pipe_ends_quietly(self):
        folder = self.folder()
        folder.mp3("a.mp3", 5)
        read_end, write_end = os.pipe()
        os.close(read_end)
        player = self.start(folder, stdout=write_end)
        os.close(write_end)
        rc = player.wait(5)
        self.assertEqual(rc, -signal.SIGPIPE)
        self.assertQuietStderr(player)

    def test_ctrl_c_ends_at_once_and_leaves_the_terminal(self):
        folder = self.folder()
        folder.mp3("a.mp3", 30)
        player = self.start(folder, mode="pty")
        before = player.terminal_attrs()
        player.expect_output(listing(["a.mp3"]) + prompt("a.mp3"), timeout=4)
        sent = time.monotonic()
        player.send(b"\x03")
        rc = player.proc.wait(3)
        self.assertLess(time.monotonic() - sent, 0.5)
        player.wait(1)
        self.assertEqual(rc, -signal.SIGINT)
        self.assertEqual(player.terminal_attrs(), before)
        self.assertQuietStderr(player)


if __name__ == "__main__":
    unittest.main()
