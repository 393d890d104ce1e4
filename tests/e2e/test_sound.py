"""What the player sends to the sound card, compared with an independent decode."""

import array
import os
import subprocess
import unittest

from harness import PlayerTest, listing, prompt


def wav_samples(path):
    """The 16-bit samples of a WAV file and its (rate, channels)."""
    with open(path, "rb") as f:
        data = f.read()
    fmt = data.find(b"fmt ")
    channels = int.from_bytes(data[fmt + 10:fmt + 12], "little")
    rate = int.from_bytes(data[fmt + 12:fmt + 16], "little")
    start = data.find(b"data") + 8
    samples = array.array("h")
    samples.frombytes(data[start:start + (len(data) - start) // 2 * 2])
    return samples, rate, channels


class Sound(PlayerTest):

    def test_played_samples_equal_the_reference_decode(self):
        cases = [
            ("stereo.mp3", dict(seconds=2, freq=440, rate=44100, channels=2, lame_args=("-b", "192"))),
            ("mono.mp3", dict(seconds=2, freq=660, rate=22050, channels=1, lame_args=("-V", "5"))),
        ]
        for name, sound in cases:
            with self.subTest(name=name):
                folder = self.folder()
                folder.mp3(name, **sound)
                capture = os.path.join(folder.path, "played.wav")
                player = self.start(folder, capture=capture)
                player.expect_output(listing([name]) + prompt(name), timeout=4)
                player.send("loop\n")  # off: the player ends after the track
                self.assertEqual(player.wait(6), 0)
                self.assertQuietStderr(player)

                reference = os.path.join(folder.path, "reference.wav")
                # The encoder's delay and padding are cut, as lame's tag says.
                subprocess.run(["mpg123", "-q", "-w", reference, folder.file_path(name)], check=True)
                played, rate, channels = wav_samples(capture)
                expected, ref_rate, ref_channels = wav_samples(reference)
                self.assertEqual((rate, channels), (ref_rate, ref_channels))
                self.assertEqual(len(played), len(expected))
                worst = max(abs(a - b) for a, b in zip(played, expected))
                self.assertLessEqual(worst, 1)
                # The tone is really there, not silence.
                self.assertGreater(max(played), 8000)


if __name__ == "__main__":
    unittest.main()
