"""The whole dialogue end to end: every command word, through a pipe and a terminal."""

import re
import unittest

from harness import PlayerTest, listing, prompt

NAMES = ["t%02d.mp3" % i for i in range(17)]


def time_lines(elapsed, length):
    filled = min(30, int(elapsed * 30 / length) + 1)
    return b"\n%d min %d s  / %d min %d s\n" % (elapsed // 60, elapsed % 60, length // 60, length % 60) + \
        b">" * filled + b"." * (30 - filled) + b"\n"


class Dialogue(PlayerTest):

    def setUp(self):
        super().setUp()
        self.music = self.folder()
        for name in NAMES:
            self.music.mp3(name, 12)

    def run_dialogue(self, mode):
        player = self.start(self.music, mode=mode)
        echo = mode == "pty"  # a terminal shows what is typed

        def typed(text):
            player.send(text)
            return text.encode() if echo else b""

        # Start-up: the first page, the pause, the rest of the list.
        transcript = listing(NAMES).split(b"\n15 |")[0] + b"\n"
        player.expect_output(transcript, timeout=5)
        transcript += typed("\n") + b"15 | t15.mp3\n16 | t16.mp3\n" + prompt(NAMES[0])
        player.expect_output(transcript)

        # time: elapsed and total, then the prompt again.
        transcript += typed("time\n")
        player.expect_output(transcript)
        player.expect(re.compile(rb"\n0 min [0-2] s  / 0 min 12 s\n>{1,6}\.{24,29}\n"))
        elapsed = int(re.search(rb"\n0 min ([0-2]) s  /", player.output[len(transcript):]).group(1))
        transcript += time_lines(elapsed, 12) + prompt(NAMES[0])
        player.expect_output(transcript)

        # n, b (early: back to the previous track), a number.
        transcript += typed("n\n") + prompt(NAMES[1])
        player.expect_output(transcript)
        transcript += typed("b\n") + prompt(NAMES[0])
        player.expect_output(transcript)
        transcript += typed("2\n") + prompt(NAMES[2])
        player.expect_output(transcript)

        # ls: a line feed, the list, whose pause takes the line feed left
        # after the word, and the prompt.
        transcript += typed("ls\n") + b"\n" + listing(NAMES) + prompt(NAMES[2])
        player.expect_output(transcript)

        # Nothing for words that mean nothing, or numbers past the list.
        transcript += typed("LS\n") + typed("50\n") + typed("x" * 1000 + "\n")
        player.expect_output(transcript)
        self.assertTrue(player.quiet_for(0.4))

        # loop: off, the prompt again.
        transcript += typed("loop\n") + prompt(NAMES[2])
        player.expect_output(transcript)

        # stop: the sound ends, and nothing happens until the next line.
        transcript += typed("stop\n")
        player.expect_output(transcript)
        self.assertTrue(player.quiet_for(0.5), "stop did not wait for a new line")
        transcript += typed("\n") + prompt(NAMES[3])
        player.expect_output(transcript)

        # Two words on a line: the second waits for more input.
        transcript += typed("16 time\n") + prompt(NAMES[16])
        player.expect_output(transcript)
        self.assertTrue(player.quiet_for(0.5), "a buffered word was taken for a key")
        transcript += typed("\n")
        player.expect_output(transcript)
        player.expect(re.compile(rb"\n0 min [0-2] s  / 0 min 12 s\n>{1,6}\.{24,29}\n"))
        player.expect(prompt(NAMES[16]))

        player.send("exit\n")
        self.assertEqual(player.wait(5), 0)
        self.assertQuietStderr(player)

    def test_through_a_pipe(self):
        self.run_dialogue("pipe")

    def test_through_a_terminal(self):
        self.run_dialogue("pty")


if __name__ == "__main__":
    unittest.main()
