"""Private sound servers for the tests: PulseAudio, or PipeWire through
pipewire-pulse, with a null sink "t" that renders in real time at 44.1 kHz
and never rewinds, its socket at RUN/pulse/native as a desktop's is in the
runtime folder, and the sink's monitor recorded with each block's arrival
time. The faults a desktop's server has are real signals: stopped, let go,
killed, started again on the same socket."""
import array
import ctypes
import os
import signal
import subprocess
import threading
import time

RATE = 44100
# The null sink of PipeWire's own, at the rate of every test track, so that
# nothing converts a sample on its way to the monitor.
PIPEWIRE_CONF = """context.properties = { default.clock.rate = %d default.clock.allowed-rates = [ %d ] }
context.objects = [ { factory = adapter args = { factory.name = support.null-audio-sink node.name = t
  media.class = Audio/Sink object.linger = true audio.position = [ FL FR ] audio.rate = %d } } ]
""" % (RATE, RATE, RATE)


def die_with_test():
    """A server ends with the test that started it, also one killed at its
    time limit (PR_SET_PDEATHSIG)."""
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)


class Server:
    def __init__(self, folder, kind="pulseaudio", latency_msec=10, record=True):
        """`latency_msec`: the recorder's blocks; `record` False: none until
        record() is called, so that nothing but the players' own streams
        drives the sink."""
        self.kind, self.run = kind, os.path.join(folder, "run")
        self.latency_msec, self.recording, self.recorder = latency_msec, record, None
        self.socket = os.path.join(self.run, "pulse", "native")
        self.data, self.times, self.procs, self.parec = bytearray(), [], [], None  # times: (arrival, frames by then)
        home = os.path.join(folder, "server")
        for made in (home, self.run, os.path.dirname(self.socket)):
            os.mkdir(made, 0o700)
        self.env = dict(os.environ, HOME=home, XDG_RUNTIME_DIR=self.run, PIPEWIRE_RUNTIME_DIR=self.run,
                        XDG_CONFIG_HOME=os.path.join(home, "config"), XDG_STATE_HOME=home,
                        DBUS_SESSION_BUS_ADDRESS="unix:path=" + os.path.join(self.run, "bus"),
                        PULSE_SERVER="unix:" + self.socket)
        self.bus = None
        if kind == "pipewire":
            conf = os.path.join(home, "config", "pipewire", "pipewire.conf.d")
            os.makedirs(conf)
            with open(os.path.join(conf, "sink.conf"), "w") as f:
                f.write(PIPEWIRE_CONF)
            self.bus = self._spawn(["dbus-daemon", "--session", "--address=" + self.env["DBUS_SESSION_BUS_ADDRESS"],
                                    "--nofork", "--nopidfile"])
        self.start()

    def _spawn(self, argv):
        return subprocess.Popen(argv, env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                preexec_fn=die_with_test)

    def start(self):
        """Starts the server on its socket, and a recorder of its sink."""
        if self.kind == "pulseaudio":
            self.procs = [self._spawn(["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disable-shm=yes",
                                       "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + self.socket,
                                       "-L", "module-null-sink sink_name=t norewinds=1 rate=%d" % RATE])]
        else:  # each part once the one it talks to listens
            self._wait_for(lambda: os.path.exists(os.path.join(self.run, "bus")))
            self.procs = [self._spawn(["pipewire"])]
            self._wait_for(lambda: os.path.exists(os.path.join(self.run, "pipewire-0")))
            self.procs += [self._spawn(["wireplumber"]), self._spawn(["pipewire-pulse"])]
        self._wait_for(lambda: b"\tt\t" in subprocess.run(["pactl", "list", "short", "sinks"], env=self.env,
                                                            capture_output=True).stdout)
        if self.recording:
            self.record()

    def record(self):
        """Starts the recorder of the sink's monitor, adding to data and times."""
        self.recording = True
        while True:  # a recorder that the server let in too early is turned away
            blocks = len(self.times)
            self.parec = subprocess.Popen(["parec", "-d", "t.monitor", "--raw", "--rate=%d" % RATE, "--channels=2",
                                           "--latency-msec=%g" % self.latency_msec], env=self.env,
                                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, preexec_fn=die_with_test)
            self.recorder = threading.Thread(target=self._record, args=(self.parec,), daemon=True)
            self.recorder.start()
            self._wait_for(lambda: len(self.times) > blocks or self.parec.poll() is not None)
            if len(self.times) > blocks:
                break

    def stop_recording(self):
        """Ends the recorder and forgets what it recorded."""
        if self.parec:
            self.parec.kill()
            self.parec.wait()
            self.recorder.join()
        self.parec, self.recording, self.data, self.times = None, False, bytearray(), []

    def _wait_for(self, ready):
        deadline = time.monotonic() + 10
        while not ready():
            if time.monotonic() > deadline or any(p.poll() is not None for p in self.procs + [self.bus] if p):
                self.stop()
                raise AssertionError("the sound server did not start")
            time.sleep(0.02)

    def _record(self, parec):
        while piece := os.read(parec.stdout.fileno(), 65536):
            self.data += piece
            self.times.append((time.monotonic(), len(self.data) // 4))
        parec.stdout.close()

    def signal(self, sig):
        for proc in self.procs:
            proc.send_signal(sig)

    def kill(self):
        for proc in filter(None, self.procs + [self.parec]):
            proc.kill()
            proc.wait()
        self.procs, self.parec = [], None
        for left in ("pipewire-0", "pipewire-0.lock"):  # so that a new start waits for the new one
            if os.path.exists(os.path.join(self.run, left)):
                os.unlink(os.path.join(self.run, left))

    def stop(self):
        self.signal(signal.SIGCONT)
        self.kill()
        if self.bus:
            self.bus.kill()
            self.bus.wait()

    def frames(self):
        return array.array("h", self.data[:len(self.data) // 4 * 4])

    def heard_at(self, frame):
        """When the monitor gave out `frame`."""
        return next(t for t, n in self.times if n > frame)

    def first(self, since, silent):
        """When the monitor gave out the first frame, from time `since` on,
        of sound (silent False) or of 50 ms of silence (silent True)."""
        times, heard = list(self.times), self.frames()
        run, frame = 0, next((n for t, n in times if t >= since), len(heard) // 2)
        for frame in range(frame, len(heard) // 2):
            run = run + 1 if (max(abs(heard[2 * frame]), abs(heard[2 * frame + 1])) <= 300) == silent else 0
            if run == (RATE // 20 if silent else 1):
                return self.heard_at(frame - run + 1)
        return float("inf")
