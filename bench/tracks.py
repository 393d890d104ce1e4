"""The benchmark's test tracks and the folders the players are started in."""

import os
import subprocess

from players import log
from sound import CHANNELS, RATE

# The short track of the commands in the last second.
SHORT_TRACK = 4.0


def make_audio(cache):
    """The test tracks, made once and kept in `cache`: pink noise at -6 dBFS,
    320 kbit/s CBR, so that the decoder does the work of real music and no
    stretch of it is silent."""
    # The tracks are linked into the players' folders from elsewhere.
    cache = os.path.abspath(cache)
    os.makedirs(cache, exist_ok=True)
    recipes = {
        "noise-60s.mp3": ["synth", "60", "pinknoise", "gain", "-6"],
        "noise-600s.mp3": ["synth", "600", "pinknoise", "gain", "-6"],
        "noise-4s.mp3": ["synth", f"{SHORT_TRACK:g}", "pinknoise", "gain", "-6"],
        "silence-5s.mp3": ["trim", "0", "5"],
    }
    paths = {}
    for name, effects in recipes.items():
        path = os.path.join(cache, name)
        if not os.path.exists(path):
            log(f"making {name} ...")
            wav = path + ".wav"
            subprocess.run(["sox", "-q", "-n", "-r", str(RATE), "-c", str(CHANNELS), "-b", "16", wav] + effects,
                           check=True)
            subprocess.run(["lame", "--quiet", "-b", "320", wav, path + ".part"], check=True)
            os.remove(wav)
            os.rename(path + ".part", path)
        paths[name] = path
    return paths


def make_folder(path, tracks, empty_files=0):
    """A folder holding `tracks` (name -> file, as symbolic links) and
    `empty_files` files that do not match *.mp3; made once per run of the
    benchmark, the same for every server."""
    if os.path.isdir(path):
        return path
    os.makedirs(path)
    for name, target in tracks.items():
        os.symlink(target, os.path.join(path, name))
    for i in range(empty_files):
        open(os.path.join(path, f"note{i:05d}.txt"), "w").close()
    return path
