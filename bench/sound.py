"""The sound servers the players are measured through, and the clock that
tells when a sample left their sink.

The servers are the tests' own (tests/e2e/servers.py): a private PulseAudio,
or a private PipeWire reached through pipewire-pulse, each with one null
sink. Here they get the players' side of the set-up (a home of their own,
ALSA's PCM `default` routed to the same server through its pulse plugin) and
a recorder of the sink's monitor only while a latency is measured, so that
nothing but the players' own streams drives the sink while CPU and memory
are."""

import array
import bisect
import contextlib
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from servers import RATE, Server  # noqa: E402

CHANNELS = 2
FRAME_BYTES = 2 * CHANNELS
# Above this a sample is sound (-42 dBFS); at or below it, silence. The test
# tracks are pink noise at -6 dBFS, which never stays this quiet for long.
SOUND_LEVEL = 256
# Silence counts once it has lasted this long, so that a zero crossing of
# the noise is never taken for the end of the sound.
SILENCE_FRAMES = RATE * 5 // 1000
# The recorder's blocks. The sink renders in blocks of the smallest latency
# any client asks for, and a stream that arrives waits for the next block:
# every latency read at the monitor carries up to one block more, the same
# for every player, which pulls their ratios towards 1 (first_sound.py).
BLOCK_MS = 2
KINDS = {"pulseaudio": "PulseAudio", "pipewire": "PipeWire"}


class SoundServer:
    """A private server of `kind` and what a player needs to reach it:
    natively (PULSE_SERVER), or through ALSA's PCM `default` and its pulse
    plugin."""

    def __init__(self, folder, kind):
        self.kind, self.title = kind, KINDS[kind]
        os.makedirs(folder)
        self.server = Server(folder, kind, latency_msec=BLOCK_MS, record=False)
        home = os.path.join(folder, "players")
        os.mkdir(home)
        alsa_conf = os.path.join(folder, "asound.conf")
        with open(alsa_conf, "w") as f:
            f.write("pcm.!default { type pulse }\nctl.!default { type pulse }\n")
        client_conf = os.path.join(folder, "client.conf")
        with open(client_conf, "w") as f:
            f.write("autospawn = no\n")
        self.env = dict(self.server.env, HOME=home, PULSE_CLIENTCONFIG=client_conf, LC_ALL="C.UTF-8",
                        ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:" + alsa_conf)
        self.env.pop("PULSE_SINK", None)

    def stop(self):
        self.server.stop()

    @contextlib.contextmanager
    def recording(self):
        """The sink's monitor recorded, as a Clock, for the time of the block."""
        self.server.record()
        try:
            # Some recording before anything plays gives the first sound's
            # time blocks on both sides.
            clock = Clock(self.server)
            clock.wait_frames(Clock.WINDOW, timeout=10)
            yield clock
        finally:
            self.server.stop_recording()


class Clock:
    """Puts the samples the sink gave out on the driver's clock.

    The sink renders one block of frames after another in step with the
    clock, so the block that ends with frame n left it at about T0 + n / RATE
    and reaches the recorder some time later; the smallest such delay pins
    T0, up to the recorder's own latency, which is the same for every player.
    A frame's time is that of the block that carries it: when the monitor
    gave it out. The sink counts each block in whole microseconds and so runs
    a little fast (0.4 ms a second with 2 ms blocks): T0 is taken from the
    blocks around the frame in question."""

    WINDOW = RATE // 4  # frames either side of a frame whose time is wanted

    def __init__(self, server):
        self.server = server

    def _blocks(self):
        return list(self.server.times)  # (arrival time, frames recorded by then)

    def wait_frames(self, frames, timeout):
        deadline = time.monotonic() + timeout
        while len(self.server.data) // FRAME_BYTES < frames:
            if time.monotonic() > deadline:
                raise RuntimeError("the sink's monitor records nothing")
            time.sleep(0.01)

    def _zero_near(self, blocks, frame):
        near = [t - n / RATE for t, n in blocks if abs(n - frame) <= self.WINDOW]
        return min(near or [t - n / RATE for t, n in blocks])

    def time_of(self, frame):
        blocks = self._blocks()
        ends = [n for _, n in blocks]
        end = ends[min(bisect.bisect_right(ends, frame), len(ends) - 1)]
        return self._zero_near(blocks, frame) + end / RATE

    def frame_at(self, t):
        blocks = self._blocks()
        arrival, frames = min(blocks, key=lambda block: abs(block[0] - t))
        rough = frames + int((t - arrival) * RATE)
        return max(0, int((t - self._zero_near(blocks, rough)) * RATE))

    def samples(self, first_frame):
        data = self.server.data
        return array.array("h", bytes(data[first_frame * FRAME_BYTES:len(data) // FRAME_BYTES * FRAME_BYTES]))

    def first_sound(self, after):
        """Time of the first sample above the silence level from driver time
        `after` on, or None."""
        first = self.frame_at(after)
        for i, s in enumerate(self.samples(first)):
            if s > SOUND_LEVEL or s < -SOUND_LEVEL:
                return self.time_of(first + i // CHANNELS)
        return None

    def wait_sound(self, after, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            t = self.first_sound(after)
            if t is not None:
                return t
            time.sleep(0.02)
        return None

    def silence(self, after):
        """Time of the first frame from `after` on that begins a stretch of
        silence of SILENCE_FRAMES, or None."""
        first = self.frame_at(after)
        samples = self.samples(first)
        run = 0
        for i in range(0, len(samples), CHANNELS):
            if all(-SOUND_LEVEL <= s <= SOUND_LEVEL for s in samples[i:i + CHANNELS]):
                run += 1
                if run >= SILENCE_FRAMES:
                    return self.time_of(first + i // CHANNELS - run + 1)
            else:
                run = 0
        return None
