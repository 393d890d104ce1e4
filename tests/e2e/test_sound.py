"""What only the real parts can show: the samples sent to ALSA against an
independent decode, exact lengths, hostile files, the console around the
player (locales, closed descriptors, ended input)."""
import os
import pathlib
import struct
import subprocess
import tempfile
import time
import unittest

from dialogues import PAUSE, listing, prompt
from harness import Player, alsa_config, make_sound, wav_samples

PROBE = os.environ.get("MCI_PROBE", "mci_probe")
# The encoder's delay and padding that the file declares are cut, as mpg123 cuts them.
REFERENCE_MP3 = ["mpg123", "-q", "-w"]


def float_wav(path, amplitude, rate=22050, frames=22050):
    """A 32-bit float WAV of four levels up to `amplitude`, which may lie
    beyond full scale (sox would clip it)."""
    data = b"".join(struct.pack("<f", amplitude * ((i * 441 * 4 // rate) % 4 - 1.5) / 1.5) for i in range(frames))
    fmt = struct.pack("<HHIIHHH", 3, 1, rate, rate * 4, 4, 32, 0)
    body = b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(data)) + data
    pathlib.Path(path).write_bytes(b"RIFF" + struct.pack("<I", 4 + len(body)) + b"WAVE" + body)


def reference(path, out):
    """The file decoded by programs other than ours, as 16-bit PCM."""
    if path.endswith(".mp3"):
        subprocess.run(REFERENCE_MP3 + [out, path], check=True)
    else:
        subprocess.run(["sox", "-V1", "-R", "-D", path, "-b", "16", "-e", "signed-integer", out], check=True)
    return wav_samples(out)


class Sound(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="tamblo-e2e-")
        self.addCleanup(self.dir.cleanup)
        self.path = lambda name: os.path.join(self.dir.name, name)

    def probe(self, *args, wait_ms=400, capture=None, pcm="null", env=None):
        """Runs the MCI probe on (type, file) pairs; its lines, split."""
        env = dict(env or os.environ, ALSA_CONFIG_PATH=alsa_config(self.dir.name, capture, pcm),
                   XDG_RUNTIME_DIR=self.dir.name)  # no sound server to be found there
        env.pop("PULSE_SERVER", None)
        run = subprocess.run([PROBE, str(wait_ms), *args], env=env, capture_output=True, timeout=20)
        self.assertEqual((run.returncode, run.stderr), (0, b""))
        return [line.split() for line in run.stdout.decode().splitlines()]

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
            "pcm16.wav": mp3(1, 523, lame=None),
            "float.wav": lambda p: float_wav(p, 0.7),
            "float_loud.wav": lambda p: float_wav(p, 1.5),
        }
        for name, make in files.items():
            with self.subTest(name):
                path = self.path(name)
                if make:
                    make(path)
                capture = self.path("played.wav")
                kind = "MPEGVideo" if name.endswith(".mp3") else "waveaudio"
                lines = self.probe(kind, path, capture=capture)
                expected, rate, channels = reference(path, self.path("ref.wav"))
                length_ms = len(expected) // channels * 1000 // rate
                self.assertEqual(lines[0], ["open", "0", "1", str(length_ms)])
                played, played_rate, played_channels = wav_samples(capture)
                self.assertEqual((played_rate, played_channels), (rate, channels))
                self.assertTrue(played == expected, "%d samples played, %d expected" % (len(played), len(expected)))
                self.assertGreater(max(played), 4000)  # not silence

    def test_lengths_of_joined_streams_and_refusals(self):
        # Two streams at different rates, one after the other: each part
        # lasts as its own rate says.
        parts = [make_sound(self.path(n), 1.3, 500, rate=r, lame=("-b", "64", "-t"))
                 for n, r in (("p1.mp3", 44100), ("p2.mp3", 22050))]
        length_ms = 0
        for part in parts:
            samples, rate, channels = reference(part, self.path("ref.wav"))
            length_ms += len(samples) // channels * 1000 // rate
        pathlib.Path(self.path("joined.mp3")).write_bytes(b"".join(pathlib.Path(p).read_bytes() for p in parts))
        self.assertEqual(self.probe("MPEGVideo", self.path("joined.mp3"))[0], ["open", "0", "1", str(length_ms)])

        # Refused quickly, each with its error; what is not refused gets the
        # lowest free device.
        os.mkfifo(self.path("fifo.mp3"))
        os.symlink("/dev/zero", self.path("zero.mp3"))
        os.mkdir(self.path("folder.mp3"))
        pathlib.Path(self.path("empty.mp3")).touch()
        pathlib.Path(self.path("text.mp3")).write_text("not sound\n" * 500)
        subprocess.run(["sox", "-R", "-n", "-r", "8000", "-t", "flac", self.path("flac.wav"), "synth", "1", "sine",
                        "300"], check=True)
        started = time.monotonic()
        lines = self.probe("MPEGVideo", self.path("fifo.mp3"), "MPEGVideo", self.path("zero.mp3"),
                           "MPEGVideo", self.path("folder.mp3"), "MPEGVideo", self.path("empty.mp3"),
                           "MPEGVideo", self.path("text.mp3"), "waveaudio", self.path("flac.wav"),
                           "MPEGVideo", self.path("missing.mp3"), "cdaudio", parts[0], "MPEGVideo", parts[0],
                           "waveaudio", parts[0], "mpegvideo", parts[1], wait_ms=0)
        self.assertLess(time.monotonic() - started, 3)
        self.assertEqual([" ".join(line[:3]) for line in lines[:-1]],
                         ["open 296 0"] * 6 + ["open 275 0", "open 263 0", "open 0 1", "open 296 0", "open 0 2"])

        # No sound card at all: the track still opens, tells its length and
        # plays (in silence), and ALSA keeps quiet about it.
        self.assertEqual(self.probe("MPEGVideo", parts[1], pcm="unplugged")[0][:3], ["open", "0", "1"])

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
