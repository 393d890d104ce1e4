"""Tracks advancing by the clock, the loop flag, and the end of input."""

import time
import unittest

from harness import PlayerTest, listing, prompt


class Timing(PlayerTest):

    def three_tracks(self, seconds=1):
        folder = self.folder()
        names = ["a.mp3", "b.mp3", "c.mp3"]
        for i, name in enumerate(names):
            folder.mp3(name, seconds, freq=300 + 100 * i)
        return folder, names

    def test_tracks_advance_by_themselves_and_wrap(self):
        # A track of 1 s is given until the clock seconds since its start
        # reach 2: between 1 and 2 s of wall time, plus at most one poll.
        folder, names = self.three_tracks(1)
        player = self.start(folder)
        transcript = listing(names)
        starts = []
        for name in names + names[:2]:
            transcript += prompt(name)
            starts.append(player.expect_output(transcript, timeout=4))
        for before, after in zip(starts, starts[1:]):
            self.assertGreaterEqual(after - before, 0.95)
            self.assertLessEqual(after - before, 2.25)
        player.send("exit\n")
        self.assertEqual(player.wait(5), 0)
        self.assertQuietStderr(player)

    def test_loop_off_ends_after_the_last_track_and_input_ends_quietly(self):
        folder, names = self.three_tracks(1)
        player = self.start(folder)
        transcript = listing(names) + prompt(names[0])
        player.expect_output(transcript, timeout=4)
        player.send("loop\n")
        # After the loop word the input ends: the player goes on by itself.
        player.close_input()
        transcript += prompt(names[0]) + prompt(names[1]) + prompt(names[2])
        player.expect_output(transcript, timeout=8)
        status, cpu = player.wait_usage(timeout=5)
        self.assertEqual(status, 0)
        self.assertEqual(player.output, transcript)
        # Three short tracks decoded; no spinning on the ended input.
        self.assertLess(cpu, 0.5)
        self.assertQuietStderr(player)

    def test_ended_input_does_not_spin_while_playing_on(self):
        for mode in ("pipe", "pty"):
            with self.subTest(mode=mode):
                folder, names = self.three_tracks(1)
                player = self.start(folder, mode=mode)
                player.expect_output(listing(names) + prompt(names[0]), timeout=4)
                player.close_input()
                start_cpu = player.cpu_seconds()
                time.sleep(2.5)
                self.assertIsNone(player.proc.poll(), "the player ended with its input")
                self.assertLess(player.cpu_seconds() - start_cpu, 0.25)
                # It went on to the next track, and in a terminal it still
                # takes commands after Ctrl-D.
                player.expect(prompt(names[1]))
                if mode == "pty":
                    player.send("exit\n")
                    self.assertEqual(player.wait(5), 0)
                self.assertQuietStderr(player)

    def test_back_late_restarts_the_track(self):
        folder = self.folder()
        folder.mp3("a.mp3", 10)
        folder.mp3("b.mp3", 10)
        player = self.start(folder)
        transcript = listing(["a.mp3", "b.mp3"]) + prompt("a.mp3")
        player.expect_output(transcript, timeout=4)
        player.send("1\n")
        transcript += prompt("b.mp3")
        player.expect_output(transcript)
        time.sleep(3.2)
        player.send("b\n")
        transcript += prompt("b.mp3")
        player.expect_output(transcript)
        player.send("exit\n")
        self.assertEqual(player.wait(5), 0)
        self.assertEqual(player.output, transcript)


if __name__ == "__main__":
    unittest.main()
