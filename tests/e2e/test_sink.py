"""The sound as a sound server hears it, PulseAudio's and PipeWire's: what
their null sink plays, reached by the player natively or through ALSA's
pulse plugin, against an independent decode, and the commands in the last
second of a track."""
import array
import os
import pathlib
import re
import subprocess
import tempfile
import time
import unittest

from dialogues import listing, prompt
from harness import TAMBLO, Player, make_sound, wav_samples
from servers import RATE, Server
from test_sound import REFERENCE_MP3, reference


class PulseAudio(unittest.TestCase):
    kind = "pulseaudio"

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory(prefix="tamblo-e2e-")
        cls.server = Server(cls.dir.name, cls.kind)
        cls.runtime = sorted(os.listdir(os.path.dirname(cls.server.socket)))

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.dir.cleanup()

    def player(self, tracks, native=True, sink=None, env_too=None):
        """The player among `tracks` ((name, seconds, tone...), None seconds:
        a file that does not play), reaching the server natively, found the
        way libpulse finds a desktop's, or only through ALSA's pulse plugin
        (to `sink`, or the server's default); the home and runtime folder
        are left as they were either way."""
        folder = tempfile.mkdtemp(dir=self.dir.name)
        for name, seconds, *tone in tracks:
            make_sound(os.path.join(folder, name), seconds, *tone) if seconds else open(os.path.join(folder, name), "w")
        home = os.path.join(folder, "home")
        env = {"HOME": home, "XDG_RUNTIME_DIR": self.server.run}
        os.mkdir(home)
        self.addCleanup(lambda: self.assertEqual((os.listdir(home), sorted(os.listdir(
            os.path.dirname(self.server.socket)))), ([], self.runtime)))
        if not native:  # no server in the runtime folder; the plugin, told where it is, makes no cookie
            with open(os.path.join(folder, "asound.conf"), "w") as f:
                f.write('pcm.!default { type pulse server "unix:%s" %s }\n'
                        % (self.server.socket, 'device "%s"' % sink if sink else ""))
            env = {"ALSA_CONFIG_PATH": f.name, "PULSE_COOKIE": "/dev/zero"}
        player = Player(folder, env={**env, **(env_too or {})})
        self.addCleanup(player.close)
        player.expect(listing([name for name, *_ in tracks]) + prompt(tracks[0][0]))
        return player, folder

    def test_the_sink_hears_every_sample(self):
        # Stereo at the sink's own rate and format, so that nothing between
        # the player and the monitor changes a sample: a track shorter than
        # the start of the sound, a longer one that fills the server's queue,
        # and one whose second part is mono, which the server spreads over
        # both channels; natively and through ALSA's plugin.
        lame = ("-b", "128", "--resample", "44.1", "-t")
        parts = [make_sound(os.path.join(self.dir.name, name), 0.6, freq, channels=channels, lame=lame)
                 for name, freq, channels in (("p1.mp3", 500, 2), ("p2.mp3", 700, 1))]
        for native in (True, False):
            with self.subTest(native=native):
                at = len(self.server.data) // 2
                player, folder = self.player([("a.mp3", 0.05, 800), ("b.mp3", 2.5, 300, RATE, 2, ("-V", "2")),
                                              ("c.mp3", None)], native)
                with open(os.path.join(folder, "c.mp3"), "wb") as joined:
                    joined.write(b"".join(open(part, "rb").read() for part in parts))
                player.send("loop\n")
                player.expect(prompt("a.mp3") + prompt("b.mp3") + prompt("c.mp3"), timeout=10)
                self.assertEqual(player.wait(), 0)
                heard, ref = self.server.frames(), os.path.join(folder, "ref.wav")
                expected = [reference(os.path.join(folder, name), ref)[0] for name in ("a.mp3", "b.mp3")]
                # The joined file decoded whole, as stereo; its parts come
                # apart at the sink, where the mono stream follows the stereo one.
                first = len(reference(parts[0], ref)[0])
                subprocess.run(REFERENCE_MP3[:2] + ["--stereo", "-w", ref, joined.name], check=True)
                expected += [wav_samples(ref)[0][:first], wav_samples(ref)[0][first:]]
                self.assert_heard_in_order(heard, expected, at)

    def assert_heard_in_order(self, heard, expected, at):
        """Every sample of each of `expected`, in order, from sample `at` of
        `heard` on, with only silence before, between and after."""
        for samples in expected:
            mid = len(samples) // 4 * 2
            start = heard.tobytes().find(samples[mid:mid + 100].tobytes(), at * 2) // 2 - mid
            self.assertGreaterEqual(start, at)
            self.assertEqual(max(map(abs, heard[at:start]), default=0), 0)
            self.assertTrue(heard[start:start + len(samples)] == samples)
            at = start + len(samples)
        self.assertEqual(max(map(abs, heard[at:]), default=0), 0)

    def test_alsa_at_other_rates(self):
        # Through ALSA's plugin to a sink at 48 or 22.05 kHz, a mono track
        # and a stereo one. A chunk of the player's is a quarter second at
        # 44.1 kHz, and a whole number of ALSA's periods only there: at
        # 22.05 kHz ALSA takes some writes in part, as the write counter
        # shows, and what follows must go on from where it stopped.
        writes = os.path.join(self.dir.name, "writes")
        # ThreadSanitizer's runtime finds no room in the static TLS block
        # beside an audit module: there the writes go uncounted.
        counted = b"libtsan" not in subprocess.run(["ldd", TAMBLO], capture_output=True).stdout
        for rate in (48000, 22050):
            with self.subTest(rate=rate):
                sink, lame = "r%d" % rate, ("-b", "64", "--resample", "%g" % (rate / 1000))
                module = subprocess.run(["pactl", "load-module", "module-null-sink", "sink_name=" + sink,
                                         "rate=%d" % rate, "norewinds=1"], env=self.server.env, check=True,
                                        capture_output=True).stdout.strip()
                self.addCleanup(subprocess.run, ["pactl", "unload-module", module], env=self.server.env)
                recording = os.path.join(self.dir.name, sink)
                with open(recording, "wb") as out:
                    parec = subprocess.Popen(["parec", "-d", sink + ".monitor", "--raw", "--rate=%d" % rate,
                                              "--channels=2", "--latency-msec=10"], env=self.server.env, stdout=out)
                self.addCleanup(parec.kill)
                while os.path.getsize(recording) == 0:
                    time.sleep(0.02)
                player, folder = self.player([("m.mp3", 2, 500, rate, 1, lame), ("s.mp3", 2, 700, rate, 2, lame)],
                                             False, sink, {"LD_AUDIT": os.environ["WRITE_COUNTER"], "TAMBLO_WRITES": writes} if counted else {})
                player.send("loop\n")
                player.expect(prompt("m.mp3") + prompt("s.mp3"), timeout=10)
                self.assertEqual(player.wait(), 0)
                time.sleep(0.3)
                parec.terminate()
                parec.wait()
                ref, expected = os.path.join(folder, "ref.wav"), []
                for name in ("m.mp3", "s.mp3"):
                    subprocess.run(REFERENCE_MP3[:2] + ["--stereo", "-w", ref, os.path.join(folder, name)], check=True)
                    expected.append(wav_samples(ref)[0])
                heard = array.array("h", pathlib.Path(recording).read_bytes())
                self.assert_heard_in_order(heard[:len(heard) // 2 * 2], expected, 0)
        if counted:
            with open(writes) as f:
                taken = [[int(n) for n in line.split()] for line in f]
            self.assertTrue(any(0 < took < asked for asked, took in taken), taken)

    def test_commands_never_wait_for_the_sound(self):
        # Inside the last second of a track, while its end drains: "n" and
        # "exit" answer at once and the sink falls silent, natively and
        # through ALSA's plugin (which drains blocking); "stop" is silent
        # before its Enter.
        for native in (True, False):
            for word in ("time", "n", "stop", "exit"):
                with self.subTest(native=native, word=word):
                    player, _ = self.player([("a.mp3", 2.0, 440), ("b.mp3", None)], native)
                    shown = time.monotonic()
                    if word != "time":
                        player.send("loop\n")  # off: no track follows the silent one
                        player.expect(prompt("a.mp3"))
                    time.sleep(shown + (0.2 if word == "time" else 1.4) - time.monotonic())
                    sent = time.monotonic()
                    player.send(word + "\n")
                    if word == "time":
                        player.expect(re.compile(b"\n0 min [01] s  / 0 min 2 s\n>"), timeout=0.2)
                    elif word == "n":
                        player.expect(prompt("b.mp3"), timeout=0.2)
                    elif word == "exit":
                        self.assertEqual(player.wait(0.2), 0)
                    if word != "time":
                        time.sleep(0.3)
                        self.assertTrue(player.quiet(0))
                        self.assertLess(self.server.first(sent, silent=True) - sent, 0.2)
                    player.close()  # before the next one plays


class PipeWire(PulseAudio):
    kind = "pipewire"
    test_alsa_at_other_rates = None  # its graph runs at one rate, and would convert
