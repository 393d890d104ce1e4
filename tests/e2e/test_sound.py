"""The MCI devices, driven by mci_probe: the samples they send to ALSA
against an independent decode, in every format and layout they take, exact
lengths, hostile files, and the devices' own rules."""
import os
import pathlib
import struct
import subprocess
import time
import unittest

from harness import InFolder, alsa_config, make_sound, wav_samples

PROBE = os.environ.get("MCI_PROBE", "mci_probe")
# The encoder's delay and padding that the file declares are cut, as mpg123 cuts them.
REFERENCE_MP3 = ["mpg123", "-q", "-w"]


def float_wav(path, amplitude, channels=1, rate=22050, frames=22050):
    """A 32-bit float WAV of four levels up to `amplitude`, which may lie
    beyond full scale (sox would clip it); the second channel mirrors the first."""
    levels = [amplitude * ((i * 441 * 4 // rate) % 4 - 1.5) / 1.5 for i in range(frames)]
    data = b"".join(struct.pack("<f", level * (1 - 2 * c)) for level in levels for c in range(channels))
    fmt = struct.pack("<HHIIHHH", 3, channels, rate, rate * 4 * channels, 4 * channels, 32, 0)
    body = b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(data)) + data
    pathlib.Path(path).write_bytes(b"RIFF" + struct.pack("<I", 4 + len(body)) + b"WAVE" + body)


def pcm_wav(path, channels, bits):
    """A tone as 16-bit WAV, or widened to 24 bits (its low byte zero, so
    that every reader agrees on its 16-bit value)."""
    make_sound(path + ".16", 1, 523, rate=32000, channels=channels, lame=None)
    subprocess.run(["sox", "-R", "-D", "-t", "wav", path + ".16", "-b", str(bits), path], check=True)


def reference(path, out):
    """The file decoded by programs other than ours, as 16-bit PCM."""
    if path.endswith(".mp3"):
        subprocess.run(REFERENCE_MP3 + [out, path], check=True)
    else:
        subprocess.run(["sox", "-V1", "-R", "-D", path, "-b", "16", "-e", "signed-integer", out], check=True)
    return wav_samples(out)


class Sound(InFolder):
    def probe(self, *steps, capture=None, pcm="null", env_too=None):
        """Runs the MCI probe's steps without a sound server to be found;
        its answers, split. Each run must leave no descriptor open."""
        env = dict(os.environ, ALSA_CONFIG_PATH=alsa_config(self.dir.name, capture, pcm),
                   XDG_RUNTIME_DIR=self.dir.name)
        env.pop("PULSE_SERVER", None)
        env.update(env_too or {})
        run = subprocess.run([PROBE, *steps], env=env, capture_output=True, timeout=20)
        self.assertEqual((run.returncode, run.stderr), (0, b""))
        lines = run.stdout.decode().splitlines()
        self.assertEqual(lines[-1], "descriptors 0")
        return [line.split() for line in lines[:-1]]

    def test_devices_play_what_an_independent_decoder_hears(self):
        mp3 = lambda *a, **k: (lambda p: make_sound(p, *a, **k))
        audio = pathlib.Path(make_sound(self.path("cbr.mp3"), 2, 440, lame=("-b", "128"))).read_bytes()
        damaged = bytearray(audio)
        damaged[12000:12600] = bytes(600)
        files = {
            "cbr.mp3": None,
            "vbr.mp3": mp3(2.5, 700, rate=48000, lame=("-V", "2")),
            "vbr_no_tag.mp3": mp3(2.5, 900, rate=32000, lame=("-V", "4", "-t")),
            "mono_8k.mp3": mp3(1.5, 300, rate=8000, channels=1, lame=("-m", "m", "-b", "24")),
            "short.mp3": mp3(0.25, 880, lame=("-b", "128")),  # shorter than the sound card's buffer
            "truncated.mp3": lambda p: pathlib.Path(p).write_bytes(audio[:len(audio) // 2 + 77]),
            "damaged.mp3": lambda p: pathlib.Path(p).write_bytes(damaged),
            "float_loud.wav": lambda p: float_wav(p, 1.5),
            "float_stereo.wav": lambda p: float_wav(p, 0.7, channels=2),
            **{"pcm%d_%d.wav" % (bits, channels): lambda p, c=channels, b=bits: pcm_wav(p, c, b)
               for bits in (16, 24) for channels in (1, 2)},
        }
        for name, make in files.items():
            with self.subTest(name):
                path = self.path(name)
                if make:
                    make(path)
                capture = self.path("played.wav")
                kind = "MPEGVideo" if name.endswith(".mp3") else "waveaudio"
                lines = self.probe("open", kind, path, "play", "1", "wait", "400", "close", "1", capture=capture)
                expected, rate, channels = reference(path, self.path("ref.wav"))
                length_ms = len(expected) // channels * 1000 // rate
                self.assertEqual(lines[0], ["0", "1", str(length_ms)])
                played, played_rate, played_channels = wav_samples(capture)
                self.assertEqual((played_rate, played_channels), (rate, channels))
                self.assertTrue(played == expected, "%d samples played, %d expected" % (len(played), len(expected)))
                self.assertGreater(max(played), 4000)  # not silence

    def test_lengths_of_joined_streams_and_refusals(self):
        # Two streams, mono and then stereo at another rate, one after the
        # other: each part lasts as its own rate says, and the second plays
        # in more channels than the first left room for.
        parts = [make_sound(self.path(n), 1.3, 500, rate=r, channels=c, lame=("-b", "64", "-t"))
                 for n, r, c in (("p1.mp3", 44100, 1), ("p2.mp3", 22050, 2))]
        length_ms = 0
        for part in parts:
            samples, rate, channels = reference(part, self.path("ref.wav"))
            length_ms += len(samples) // channels * 1000 // rate
        pathlib.Path(self.path("joined.mp3")).write_bytes(b"".join(pathlib.Path(p).read_bytes() for p in parts))
        joined = self.probe("open", "MPEGVideo", self.path("joined.mp3"), "play", "1", "wait", "600", "close", "1")
        self.assertEqual(joined[0], ["0", "1", str(length_ms)])

        # Refused quickly, each with its error; what is not refused gets the
        # lowest free device.
        os.mkfifo(self.path("fifo.mp3"))
        os.symlink("/dev/zero", self.path("zero.mp3"))
        os.mkdir(self.path("folder.mp3"))
        pathlib.Path(self.path("empty.mp3")).touch()
        pathlib.Path(self.path("text.mp3")).write_text("not sound\n" * 500)
        subprocess.run(["sox", "-R", "-n", "-r", "8000", "-t", "flac", self.path("flac.wav"), "synth", "1", "sine",
                        "300"], check=True)
        opens = [("MPEGVideo", name + ".mp3") for name in ("fifo", "zero", "folder", "empty", "text")] + [
            ("waveaudio", "flac.wav"), ("MPEGVideo", "missing.mp3"), ("cdaudio", parts[0]), ("MPEGVideo", parts[0]),
            ("waveaudio", parts[0]), ("mpegvideo", parts[1])]
        started = time.monotonic()
        lines = self.probe(*[word for kind, name in opens for word in ("open", kind, self.path(name))], "close", "1",
                           "close", "2")
        self.assertLess(time.monotonic() - started, 3)
        self.assertEqual([" ".join(line[:2]) for line in lines],
                         ["296 0"] * 6 + ["275 0", "263 0", "0 1", "296 0", "0 2", "0 0", "0 0"])

        # No sound card at all: the track still opens, tells its length and
        # plays (in silence), and ALSA keeps quiet about it.
        self.assertEqual(self.probe("open", "MPEGVideo", parts[1], "play", "1", "wait", "400", "close", "1",
                                    pcm="unplugged")[0][:2], ["0", "1"])

    def test_mci_devices_keep_their_own_rules(self):
        # What the player never shows on POSIX: the lowest free identifiers,
        # reused after a close; a device left whole when another closes; a
        # refusal of what is not there or not supported, harming nothing.
        a = make_sound(self.path("a.wav"), 0.5, rate=22050, channels=1, lame=None)
        b = make_sound(self.path("b.wav"), 3, lame=None)
        script = [("open waveaudio " + a, "0 1 500"), ("open waveaudio " + b, "0 2 3000"),
                  ("open waveaudio " + a, "0 3 500"), ("close 2", "0 0"), ("open waveaudio " + b, "0 2 3000"),
                  ("close 1", "0 0"), ("play 2", "0 0"), ("play 3", "0 0"), ("close 3", "0 0"), ("length 2", "0 3000"),
                  ("close 0", "257 0"), ("close 1", "257 0"), ("play 3", "257 0"), ("length 4", "257 0"),
                  ("play-wait 2", "274 0"), ("position 2", "274 0"), ("stop 2", "261 0"),
                  # Device 2 has played to its end long before, and closed its output.
                  ("wait 2000", None), ("length 2", "0 3000"), ("close 2", "0 0")]
        # ALSA's default, each format to a capture of its own; no sound server.
        lines = self.probe(*" ".join(step for step, _ in script).split(), capture=self.path("%r-%c.wav"),
                           env_too={"PULSE_SERVER": "unix:/nonexistent/tamblo-test"})
        self.assertEqual([" ".join(line) for line in lines], [answer for _, answer in script if answer])
        self.assertTrue(wav_samples(self.path("44100-2.wav"))[0] == wav_samples(b)[0])


if __name__ == "__main__":
    unittest.main()
