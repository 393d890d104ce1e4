#!/usr/bin/env bash
# Renders the sound files that the MCI tests open, each with an independent
# reference decode (name.ref.wav, 16-bit PCM) whose sample count is the truth.
#   make_sounds.sh OUTPUT_DIR
# MP3s are made with lame and decoded with the mpg123 program; WAVs are made
# and converted with sox. Nothing here uses the code under test.
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"
# A half-made set from an interrupted run must not pass for a whole one.
rm -f ./*.mp3 ./*.wav ./*.txt ./*.done

lame_q() { lame --quiet "$@"; }
# With gapless trimming: the player cuts the encoder's delay and padding
# that lame's tag declares, as mpg123 does; of a truncated file only the
# delay (its end never comes), and of a file without the tag nothing.
ref_mp3() { mpg123 -q -w "${1%.mp3}.ref.wav" "$1"; }

# Sources. Two different tones per channel, so a swapped or dropped channel
# shows; a sweep and noise, so every frame differs from the last. The VBR
# source opens with half a second of silence: its first frame is the
# smallest there is, so a length guessed from it is far off.
sox -R -n -r 44100 -c 2 -b 16 src_stereo.wav synth 3 sine 440 sine 660 gain -4
sox -R -n -r 44100 -c 2 -b 16 src_vbr.wav \
    synth 4 sine 100-5000 pinknoise gain -6 pad 0.5 0
sox -R -n -r 48000 -c 2 -b 16 src_48k.wav synth 3 sine 1000 sine 1500 gain -4
sox -R -n -r 8000 -c 1 -b 16 src_8k.wav synth 3 sine 300-1200 gain -3
sox -R -n -r 44100 -c 2 -b 16 src_long.wav synth 60 sine 220 sine 330 gain -6
sox -R -n -r 44100 -c 2 -b 16 src_short.wav synth 0.25 sine 880 sine 990 gain -4

# MP3s.
lame_q -b 128 src_stereo.wav cbr.mp3
lame_q -V 2 src_vbr.wav vbr_xing.mp3
lame_q -V 2 -t src_vbr.wav vbr_noxing.mp3
lame_q -m m -b 24 src_8k.wav mono_8k.mp3
lame_q -b 192 src_48k.wav rate_48k.mp3
lame_q -b 128 src_long.wav long.mp3
# Shorter than a sound card's buffer.
lame_q -b 128 src_short.wav short.mp3

# A 200 KB picture in an ID3v2.3 tag before the audio. The picture is made of
# valid-looking MPEG frame headers, so a reader that hunts for the first sync
# word instead of skipping the tag finds "frames" there.
python3 - <<'EOF'
import struct

def syncsafe(n):
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])

picture = b"\xff\xfb\x90\x64" + bytes(413)  # one 128 kbps 44.1 kHz frame each
picture = (picture * (200 * 1024 // len(picture) + 1))[: 200 * 1024]
# Unsynchronisation is off, so the header bytes stay as they are.
body = b"\x00" + b"image/jpeg\x00" + b"\x03" + b"cover\x00" + picture
frame = b"APIC" + struct.pack(">I", len(body)) + b"\x00\x00" + body
title = b"\x00" + b"Tagged"
frame += b"TIT2" + struct.pack(">I", len(title)) + b"\x00\x00" + title
tag = b"ID3\x03\x00\x00" + syncsafe(len(frame)) + frame
with open("cbr.mp3", "rb") as f:
    audio = f.read()
with open("big_id3.mp3", "wb") as f:
    f.write(tag + audio)
EOF

# 600 bytes zeroed in the middle: the decoder loses the frames there and
# resyncs, and libmpg123 would have its say about it on standard error.
python3 - <<'EOF'
with open("cbr.mp3", "rb") as f:
    audio = bytearray(f.read())
audio[20000:20600] = bytes(600)
with open("damaged.mp3", "wb") as f:
    f.write(audio)
EOF

# Cut in the middle of a frame, at about half: the Xing header still
# promises the whole file.
size=$(stat -c %s vbr_xing.mp3)
head -c $((size / 2 + 77)) vbr_xing.mp3 >truncated.mp3

for f in cbr vbr_xing vbr_noxing mono_8k rate_48k big_id3 truncated long short; do
    ref_mp3 "$f.mp3"
done

# WAVs: 16-bit, 24-bit and 32-bit float from one source; the references are
# sox's conversion to 16 bits without dither, so they are deterministic.
sox -R -n -r 44100 -c 2 -b 16 pcm16.wav synth 3 sine 523 sine 784 gain -4
sox -R -n -r 44100 -c 2 -b 24 pcm24.wav synth 3 sine 523 sine 784 gain -4
sox -R -n -r 44100 -c 2 -e floating-point -b 32 float32.wav synth 3 sine 523 sine 784 gain -4
sox -R -n -r 44100 -c 2 -e floating-point -b 64 float64.wav synth 3 sine 523 sine 784 gain -4
# Floating point may go beyond full scale: a sine of amplitude 1.5, which
# plays clipped. sox cannot make one (it clips as it renders).
python3 - <<'EOF'
import math, struct

rate, frames = 22050, 22050
data = b"".join(struct.pack("<f", 1.5 * math.sin(2 * math.pi * 441 * i / rate)) for i in range(frames))
fmt = struct.pack("<HHIIHHH", 3, 1, rate, rate * 4, 4, 32, 0)
chunks = b"fmt " + struct.pack("<I", len(fmt)) + fmt
chunks += b"fact" + struct.pack("<II", 4, frames)
chunks += b"data" + struct.pack("<I", len(data)) + data
with open("float_loud.wav", "wb") as f:
    f.write(b"RIFF" + struct.pack("<I", 4 + len(chunks)) + b"WAVE" + chunks)
EOF
for f in pcm16 pcm24 float32 float64 float_loud; do
    # -V1: sox warns of the samples it clips, which is what is asked here.
    sox -V1 -R -D "$f.wav" -b 16 -e signed-integer "$f.ref.wav"
done
# A long WAV, for closing while it plays.
sox -R -n -r 44100 -c 2 -b 16 long_wave.wav synth 60 sine 350 sine 450 gain -6
cp long_wave.wav long_wave.ref.wav

rm -f src_*.wav
touch sounds.done
