"""The sound as a sound server hears it, PulseAudio's and PipeWire's: what
their null sink plays, reached by the player natively or through ALSA's
pulse plugin, against an independent decode, and the commands in the last
second of a track."""
import os
import re
import subprocess
import tempfile
import time
import unittest

from dialogues import listing, prompt
from harness import TAMBLO, Player, make_sound, until, wav_samples
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

    def player(self, tracks, native=True, pcm=None, env_too=None):
        """The player among `tracks` ((name, seconds, tone...), None seconds:
        a file that does not play), reaching the server natively, found the
        way libpulse finds a desktop's, or only through ALSA (`pcm`, by
        default the pulse plugin); the home and runtime folder are left as
        they were either way."""
        folder = tempfile.mkdtemp(dir=self.dir.name)
        for name, seconds, *tone in tracks:
            make_sound(os.path.join(folder, name), seconds, *tone) if seconds else open(os.path.join(folder, name), "w").close()
        home = os.path.join(folder, "home")
        env = {"HOME": home, "XDG_RUNTIME_DIR": self.server.run}
        os.mkdir(home)
        self.addCleanup(lambda: self.assertEqual((os.listdir(home), sorted(os.listdir(
            os.path.dirname(self.server.socket)))), ([], self.runtime)))
        if not native:  # no server in the runtime folder; the plugin, told where it is, makes no cookie
            with open(os.path.join(folder, "asound.conf"), "w") as f:
                f.write("pcm.!default %s\n" % (pcm or '{ type pulse server "unix:%s" }' % self.server.socket))
            env = {"ALSA_CONFIG_PATH": f.name, "PULSE_COOKIE": "/dev/zero"}
        player = Player(folder, env={**env, **(env_too or {})})
        self.addCleanup(player.close)
        player.expect(listing([name for name, *_ in tracks]) + prompt(tracks[0][0]))
        return player, folder

    def test_the_sink_hears_every_sample(self):
        # Stereo at the sink's own rate and format, so that nothing between
        # the player and the monitor changes a sample: a track shorter than
        # the start of the sound, a longer one that fills the server's queue
        # and then follows its requests for more, and one whose second part
        # is mono, which the server spreads over both channels; natively and
        # through ALSA's plugin.
        lame = ("-b", "128", "--resample", "44.1", "-t")
        parts = [make_sound(os.path.join(self.dir.name, name), 0.6, freq, channels=channels, lame=lame)
                 for name, freq, channels in (("p1.mp3", 500, 2), ("p2.mp3", 700, 1))]
        for native in (True, False):
            with self.subTest(native=native):
                # What an earlier player left in the server's queue is heard
                # first, and reaches the recorder a little later still.
                until(lambda: not any(self.server.data[-RATE // 5 * 4:]), 5)
                at = len(self.server.data) // 2
                # The first track's turn ends when the clock's second turns
                # after it: started just after one turns, it has time to play.
                time.sleep(1.02 - time.time() % 1)
                player, folder = self.player([("a.mp3", 0.05, 800), ("b.mp3", 5, 300, RATE, 2, ("-V", "2")),
                                              ("c.mp3", None)], native)
                with open(os.path.join(folder, "c.mp3"), "wb") as joined:
                    for part in parts:
                        with open(part, "rb") as f:
                            joined.write(f.read())
                player.send("loop\n")
                player.expect(prompt("a.mp3") + prompt("b.mp3") + prompt("c.mp3"), timeout=12)
                self.assertEqual(player.wait(), 0)
                heard, ref = self.server.frames(), os.path.join(folder, "ref.wav")
                expected = [reference(os.path.join(folder, name), ref)[0] for name in ("a.mp3", "b.mp3")]
                # The joined file decoded whole, as stereo; its parts come
                # apart at the sink, where the mono stream follows the stereo one.
                first = len(reference(parts[0], ref)[0])
                subprocess.run(REFERENCE_MP3[:2] + ["--stereo", "-w", ref, joined.name], check=True)
                expected += [wav_samples(ref)[0][:first], wav_samples(ref)[0][first:]]
                for samples in expected:
                    at = self.heard_whole(heard, at, samples)
                self.assertEqual(max(map(abs, heard[at:]), default=0), 0)

    def heard_whole(self, heard, at, samples):
        """Where `samples` end in `heard`, found from `at` on, after silence
        only: every sample, in order. On a loaded machine PipeWire's graph
        may miss a cycle of its own (256 frames here); the sink plays that
        cycle silent and everything after it a cycle late, none of it lost."""
        cycle, gaps = 512, 0
        start = next(i for i in range(at, len(heard)) if heard[i]) - next(i for i, v in enumerate(samples) if v)
        self.assertGreaterEqual(start, at)
        checked = 0
        while True:
            got = heard[start:start + len(samples)]
            wrong = next((i for i in range(checked, len(got)) if got[i] != samples[i]), len(got))
            if wrong == len(samples):
                return start + len(samples)
            gap = wrong
            while gap > checked and samples[gap - 1] == 0:
                gap -= 1
            missed = (self.server.kind == "pipewire" and gaps < 3 and gap % 2 == 0 and
                      not any(heard[start + gap:start + gap + cycle]) and
                      heard[start + gap + cycle:start + gap + cycle + 64] == samples[gap:gap + 64])
            self.assertTrue(missed, "track of %d samples differs from sample %d on: %r"
                            % (len(samples), wrong, got[wrong:wrong + 8]))
            start, gaps, checked = start + cycle, gaps + 1, gap

    def test_alsa_at_other_rates(self):
        # A chunk of the player's is a whole number of ALSA's periods at 44.1
        # kHz only. At 22.05 kHz ALSA takes writes in part, as the write
        # counter shows (not under ThreadSanitizer, whose runtime finds no
        # room beside it); what ALSA is given, kept by its file plugin in
        # front of the pulse plugin, must be the decode sample for sample.
        writes = os.path.join(self.dir.name, "writes")
        counted = b"libtsan" not in subprocess.run(["ldd", TAMBLO], capture_output=True).stdout
        tracks = [("%d-%d.mp3" % (rate, channels), 2, 500, rate, channels,
                   ("-b", "64", "--resample", "%g" % (rate / 1000))) for rate in (22050, 48000) for channels in (1, 2)]
        pcm = '{ type file slave.pcm { type pulse server "unix:%s" } file "%s/%%r-%%c.wav" format "wav" }'
        counter = {"LD_AUDIT": os.environ["WRITE_COUNTER"], "TAMBLO_WRITES": writes} if counted else {}
        player, folder = self.player(tracks, False, pcm % (self.server.socket, self.dir.name), counter)
        player.send("loop\n")
        player.expect(b"".join(prompt(name) for name, *_ in tracks), timeout=20)
        self.assertEqual(player.wait(), 0)
        for name, *_ in tracks:
            expected = reference(os.path.join(folder, name), os.path.join(folder, "ref.wav"))[0]
            self.assertTrue(wav_samples(os.path.join(self.dir.name, name[:-3] + "wav"))[0] == expected, name)
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

    def test_the_stream_goes_where_it_is_sent(self):
        # As a desktop's own clients do: to the sink the user names, to a new
        # default sink, and where it is moved by hand; and a hundred tracks
        # leave no client behind.
        def pactl(*args):
            return subprocess.run(["pactl", *args], env=self.server.env, capture_output=True, text=True).stdout

        def on(sink):
            names = dict(line.split()[:2] for line in pactl("list", "short", "sinks").splitlines())
            return [names.get(line.split()[1]) for line in pactl("list", "short", "sink-inputs").splitlines()] == [sink]

        def goes_to(sink, again=None):
            # `again`: done once more, twice at most, when the stream is not
            # there within 2 s: PipeWire's policy now and then drops a move
            # handed to it just after a change of the default.
            for _ in range(3 if again else 1):
                if until(lambda: on(sink), 2):
                    return
                if again:
                    again()
            self.fail("not played on %s: %s" % (sink, pactl("list", "short", "sink-inputs")))

        module = pactl("load-module", "module-null-sink", "sink_name=other").strip()
        self.addCleanup(pactl, "unload-module", module)
        # PipeWire makes the sink a moment later.
        self.assertTrue(until(lambda: "\tother\t" in pactl("list", "short", "sinks"), 5))
        self.addCleanup(pactl, "set-default-sink", "t")
        def clients():
            return pactl("list", "short", "clients").count("\n")

        named, _ = self.player([("c.mp3", 3, 600)], env_too={"PULSE_SINK": "other"})
        goes_to("other")
        named.close()
        # Long enough that one stream lives through the moves.
        player, _ = self.player([("a.mp3", 20, 440), ("b.mp3", 5, 500)])
        for sink in ("other", "t"):
            pactl("set-default-sink", sink)
            goes_to(sink)
        def move():
            pactl("move-sink-input", pactl("list", "short", "sink-inputs").split()[0], "other")

        move()
        goes_to("other", move)
        # Counted once the stream is up, so the player's own client is in it;
        # a server may take a moment to forget a client that has gone.
        before = clients()
        for turn in range(100):
            player.send("n\n")
            player.expect(prompt("ab"[(turn + 1) % 2] + ".mp3"))
        until(lambda: clients() == before, 2)
        self.assertEqual(clients(), before)


class PipeWire(PulseAudio):
    kind = "pipewire"
