"""A sound server on a bad day: stopped, let go, killed and started again on
its socket, at chosen moments of a track, with commands typed meanwhile.
Every command answers at once in every state, and the sound comes back by
itself where the track's clock is; the home stays as it was."""
import os
import re
import signal
import subprocess
import tempfile
import time
import unittest

from dialogues import listing, prompt
from harness import Player, make_sound
from servers import RATE, Server

ANSWER = 0.2  # the longest any command may take, whatever the server does
BACK = 1.0  # from a server answering again to the sound, at the clock's position
CLOCK = 0.5  # how far the sound may be from the track's clock
TIME_A = re.compile(rb"\n0 min \d s  / 0 min 10 s\n>+\.*\n" + re.escape(prompt("a.mp3")))
SWEEPS = {"a.mp3": "100-3000", "b.mp3": "3000-100"}
# (seconds after the first prompt, what happens, what a typed word must bring)
STOPPED = [(1.0, "stop"), (1.3, "time\n", TIME_A), (4.0, "go on"),  # longer than the server's queue
           (5.0, "stop"), (5.3, "n\n", prompt("b.mp3")), (6.0, "go on"),  # b opens while the server is stopped
           (8.0, "stop"), (8.3, "exit\n", 0), (8.5, "go on")]
KILLED = [(1.0, "kill"), (1.3, "time\n", TIME_A), (2.0, "start"),
          (3.5, "kill"), (3.8, "n\n", prompt("b.mp3")), (5.0, "start"),  # b opens while nobody listens
          (6.5, "kill"), (6.8, "exit\n", 0)]


class Faults(unittest.TestCase):
    kind = "pulseaudio"

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="tamblo-e2e-")
        self.addCleanup(self.dir.cleanup)
        self.server = Server(self.dir.name, self.kind)
        self.addCleanup(self.server.stop)

    def play(self, steps, alsa=False, named=False):
        """Plays two 10 s sweeps through `steps`, natively (the server found in
        the runtime folder, or `named` by PULSE_SERVER) or through ALSA's pulse
        plugin; returns when each prompt came and each event."""
        folder = os.path.join(self.dir.name, "music")
        os.mkdir(folder)
        for name, sweep in SWEEPS.items():
            make_sound(os.path.join(folder, name), 10, sweep)
        env = {"PULSE_SERVER": "unix:" + self.server.socket} if named else {"XDG_RUNTIME_DIR": self.server.run}
        if alsa:  # no server to be found natively; the plugin told where it is
            with open(os.path.join(self.dir.name, "asound.conf"), "w") as f:
                f.write('pcm.!default { type pulse server "unix:%s" }\n' % self.server.socket)
            env = {"ALSA_CONFIG_PATH": f.name, "PULSE_COOKIE": "/dev/zero"}
        player = Player(folder, env=env)
        self.addCleanup(player.close)
        player.expect(listing(list(SWEEPS)) + prompt("a.mp3"))
        start = time.monotonic()
        prompts, events = [start], []
        actions = {"stop": lambda: self.server.signal(signal.SIGSTOP), "go on": lambda: self.server.signal(signal.SIGCONT),
                   "kill": self.server.kill, "start": self.server.start}
        for at, what, *answer in steps:
            time.sleep(max(0.0, start + at - time.monotonic()))
            if what in actions:
                actions[what]()
                events.append((time.monotonic(), what, player.cpu_seconds() if player.proc.returncode is None else 0))
                continue
            sent = time.monotonic()
            player.send(what)
            if answer[0] == 0:
                self.assertEqual(player.wait(ANSWER), 0)
            else:
                player.expect(answer[0], timeout=ANSWER)
            if answer[0] == prompt("b.mp3"):
                prompts.append(time.monotonic())
            self.assertLess(time.monotonic() - sent, ANSWER, what)
        return prompts, events

    def assert_back_on_clock(self, prompts, events):
        """After each time the server answers again, the track of the moment
        is heard within BACK, at its clock's position, until the next fault."""
        heard = self.server.frames().tobytes()
        refs = {}
        for name in SWEEPS:
            out = os.path.join(self.dir.name, name + ".wav")
            subprocess.run(["mpg123", "-q", "--stereo", "-w", out, os.path.join(self.dir.name, "music", name)], check=True)
            with open(out, "rb") as f:
                refs[name] = f.read()[44:]
        for (since, what, cpu), (until, _, cpu_then) in zip(events, events[1:]):
            # Trying again costs nothing measurable while nobody answers.
            self.assertLess(cpu_then - cpu, 0.1 * (until - since), what)  # once ended, 0: less
            if what not in ("go on", "start"):
                continue
            track = len([p for p in prompts if p < since]) - 1
            ref, began = refs[list(SWEEPS)[track]], prompts[track]
            # A tenth of a second at a time: where in the track it lies.
            windows = [(t, ref.find(heard[4 * n:4 * n + 800]) / 4 / RATE)
                       for t, n in self.server.times[::10] if since <= t < until - 0.1 and 4 * n + 800 <= len(heard)]
            # What the server still held may come first, and then only the
            # track where its clock is.
            on_clock = [abs(position - (t - began)) <= CLOCK for t, position in windows]
            first = len(on_clock) - on_clock[::-1].index(False) if False in on_clock else 0
            self.assertLess(first, len(windows), "not on the clock after %s at %.1f: %r" % (what, since - began, windows))
            self.assertLessEqual(windows[first][0] - since, BACK, windows)

    def test_a_stopped_server(self):
        self.assert_back_on_clock(*self.play(STOPPED))

    def test_a_killed_server_started_again(self):
        self.assert_back_on_clock(*self.play(KILLED, named=True))

    def test_a_stopped_server_behind_alsa(self):
        # ALSA's plugin blocks inside libpulse while the server is stopped;
        # the devices it holds are left to end by themselves.
        self.play([(1.0, "stop"), (1.3, "n\n", prompt("b.mp3")), (1.6, "exit\n", 0), (1.8, "go on")], alsa=True)

    def test_alsa_as_debian_configures_it(self):
        # Its pulse hook connects while the configuration is read, and would
        # leave a runtime folder in a home without XDG_RUNTIME_DIR, or a
        # cookie where the server is stopped; as would a default that is
        # the bare plugin, whose fallback plays instead. No cookie of the user's.
        self.server.signal(signal.SIGSTOP)
        make_sound(os.path.join(self.dir.name, "a.mp3"), 3)
        conf, capture = (os.path.join(self.dir.name, name) for name in ("asound.conf", "fallback.wav"))
        with open(conf, "w") as f:
            f.write('pcm.!default { type pulse fallback "f" }\n'
                    'pcm.f { type file slave.pcm { type null } format "wav" file "%s" }\n' % capture)
        for env in ({"XDG_RUNTIME_DIR": None}, {"PULSE_SERVER": "unix:" + self.server.socket},
                    {"XDG_RUNTIME_DIR": None, "ALSA_CONFIG_PATH": conf}):
            player = Player(self.dir.name, env={"ALSA_CONFIG_PATH": None, **env})
            self.addCleanup(player.close)
            player.expect(listing(["a.mp3"]) + prompt("a.mp3"))
            time.sleep(0.3)
            player.send("exit\n")
            self.assertEqual(player.wait(ANSWER), 0)
        self.assertGreater(os.path.getsize(capture), 3 * RATE)


class PipeWireFaults(Faults):
    kind = "pipewire"
    test_a_stopped_server_behind_alsa = test_alsa_as_debian_configures_it = None
