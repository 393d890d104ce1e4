"""How the player answers in each state of the sound server: the time from a
typed word to its answer ("time", "n", "exit"), and from the server answering
again to the sound back at the track's clock (within half a second of it).
The servers and the faults are the tests' own (tests/e2e/servers.py): a
stopped server is SIGSTOPped, a killed one SIGKILLed and started again on its
socket; "absent" leaves neither a server nor a sound card. Medians of the
runs; the player is Release, as installed.
    bench/server_states.py [--runs N] [--tamblo PATH]"""
import argparse
import os
import re
import statistics
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/e2e"))
import harness  # noqa: E402
from dialogues import listing, prompt  # noqa: E402
from harness import Player, make_sound  # noqa: E402
from servers import RATE, Server  # noqa: E402

TRACKS = {"a.mp3": "100-3000", "b.mp3": "3000-100"}
TIME = re.compile(rb"\n0 min \d+ s  / 0 min 20 s\n[>.]+\n" + re.escape(prompt("a.mp3")))


def run(kind, state, word):
    with tempfile.TemporaryDirectory() as tmp:
        server = Server(tmp, kind)
        try:
            folder = os.path.join(tmp, "music")
            os.mkdir(folder)
            for name, sweep in TRACKS.items():
                make_sound(os.path.join(folder, name), 20, sweep)
            if state == "absent":  # nobody, nothing left where the server lives
                server.kill()
                os.unlink(server.socket)
            env = {"XDG_RUNTIME_DIR": server.run}
            if state == "absent":  # and no ALSA device either
                env["ALSA_CONFIG_PATH"] = os.path.join(tmp, "asound.conf")
                with open(env["ALSA_CONFIG_PATH"], "w") as f:
                    f.write("pcm.!default { type hw card Unplugged }\n")
            player = Player(folder, env=env)
            player.expect(listing(list(TRACKS)) + prompt("a.mp3"))
            began = time.monotonic()
            fault = {"stopped mid-track": lambda: server.signal(signal.SIGSTOP),
                     "stopped before the open": lambda: server.signal(signal.SIGSTOP),
                     "killed": server.kill}.get(state)
            fix = {"stopped mid-track": lambda: server.signal(signal.SIGCONT),
                   "stopped before the open": lambda: server.signal(signal.SIGCONT),
                   "killed": server.start, "absent": server.start}.get(state)
            time.sleep(1.0)
            if fault:
                fault()
            time.sleep(0.3)
            track = "a.mp3"
            if state == "stopped before the open" and word != "n":  # b opens while the server is stopped
                player.send("n\n")
                player.expect(prompt("b.mp3"))
                began, track = time.monotonic(), "b.mp3"
                time.sleep(0.3)
            sent = time.monotonic()
            player.send(word + "\n")
            if word == "exit":
                player.wait(5)
                answer = time.monotonic() - sent
                player.close()
                return answer, None
            if word == "time":
                player.expect(re.compile(TIME.pattern.replace(re.escape(prompt("a.mp3")), re.escape(prompt(track)))))
            else:
                player.expect(prompt("b.mp3"))
                began, track = time.monotonic(), "b.mp3"
            answer = time.monotonic() - sent
            back = None
            if fix:
                time.sleep(0.5)
                fixed = time.monotonic()
                fix()
                answered = time.monotonic()  # start() returns once the server answers
                time.sleep(2.5)
                ref = os.path.join(tmp, "ref.wav")
                subprocess.run(["mpg123", "-q", "--stereo", "-w", ref, os.path.join(folder, track)], check=True)
                reference = open(ref, "rb").read()[44:]
                heard = server.frames().tobytes()
                windows = [(t, reference.find(heard[4 * n:4 * n + 800]) / 4 / RATE)
                           for t, n in server.times[::5] if t >= fixed and 4 * n + 800 <= len(heard)]
                on = [abs(p - (t - began)) <= 0.5 for t, p in windows]
                first = len(on) - on[::-1].index(False) if False in on else 0
                back = windows[first][0] - answered if first < len(windows) else float("inf")
            player.close()
            return answer, back
        finally:
            server.stop()


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--tamblo", default=os.path.join(root, "build/release/tamblo"))
    args = parser.parse_args()
    harness.TAMBLO = args.tamblo
    states = [("pulseaudio", s) for s in ("healthy", "stopped mid-track", "stopped before the open", "killed",
                                          "absent")] + [("pipewire", "healthy"), ("pipewire", "killed")]
    print("| Server | State | `time` | `n` | `exit` | Sound back after the server answers |")
    print("|---|---|---|---|---|---|")
    for kind, state in states:
        figures = {word: [run(kind, state, word) for _ in range(args.runs)] for word in ("time", "n", "exit")}
        answers = {word: statistics.median(a for a, _ in runs) for word, runs in figures.items()}
        backs = [b for runs in figures.values() for _, b in runs if b is not None]
        back = "%.2f s (at most %.2f s)" % (statistics.median(backs), max(backs)) if backs else "–"
        print("| %s | %s | %s | %s |" % (kind, state, " | ".join("%.1f ms" % (1000 * answers[w]) for w in answers),
                                         back), flush=True)


if __name__ == "__main__":
    main()
