#!/usr/bin/env python3
"""Writes a music-like PCM WAVE file for demonstrations and tests.

Several harmonic voices play notes with attack/decay/release envelopes and a little vibrato,
panned across the stereo field, over a quiet background of filtered noise; one passage is
driven into clipping. The result is deterministic for a given seed. Standard library only.
"""

import argparse
import math
import random
import struct
import sys
import wave
from array import array

TABLE_BITS = 11
TABLE_SIZE = 1 << TABLE_BITS

# Relative amplitudes of the first harmonics: a flute-like, a string-like, a reed-like and a bass timbre.
TIMBRES = [
    [1.0, 0.25, 0.08, 0.03],
    [1.0, 0.5, 0.33, 0.25, 0.2, 0.16, 0.12, 0.1],
    [1.0, 0.05, 0.45, 0.04, 0.3, 0.03, 0.18],
    [1.0, 0.6, 0.2, 0.1, 0.05],
]

# MIDI-like note ranges per voice (lowest, highest).
RANGES = [(72, 88), (60, 76), (55, 70), (36, 48)]
PANS = [0.25, 0.7, 0.45, 0.5]  # 0 left, 1 right
LEVELS = [0.2, 0.18, 0.16, 0.28]
SCALE = [0, 2, 4, 5, 7, 9, 11]  # major scale steps


def wavetable(harmonics):
    total = sum(harmonics)
    return [
        sum(a * math.sin(2 * math.pi * (h + 1) * i / TABLE_SIZE) for h, a in enumerate(harmonics)) / total
        for i in range(TABLE_SIZE)
    ]


def scale_notes(low, high):
    return [n for n in range(low, high + 1) if (n % 12) in SCALE]


def add_note(left, right, table, start, length, frequency, level, pan, rate, rng):
    """Adds one enveloped note to the float buffers."""
    end = min(start + length, len(left))
    if end <= start:
        return
    attack = max(1, int(0.015 * rate))
    decay = max(1, int(0.12 * rate))
    release = max(1, min(int(0.2 * rate), (end - start) // 3))
    sustain = 0.55 + 0.2 * rng.random()
    gain_left = level * math.cos(pan * math.pi / 2)
    gain_right = level * math.sin(pan * math.pi / 2)
    step = frequency * TABLE_SIZE / rate
    vibrato_rate = 2 * math.pi * (4.5 + rng.random()) / rate
    vibrato_depth = step * 0.004
    mask = TABLE_SIZE - 1
    phase = rng.random() * TABLE_SIZE
    note_end = end - start
    release_start = note_end - release
    for k in range(note_end):
        if k < attack:
            envelope = k / attack
        elif k < attack + decay:
            envelope = 1.0 - (1.0 - sustain) * (k - attack) / decay
        else:
            envelope = sustain
        if k >= release_start:
            envelope *= (note_end - k) / release
        value = table[int(phase) & mask] * envelope
        phase += step + vibrato_depth * math.sin(vibrato_rate * k)
        i = start + k
        left[i] += value * gain_left
        right[i] += value * gain_right


def add_noise(left, right, level, rng):
    """Quiet low-passed noise, partly correlated between the channels."""
    state_left = state_right = 0.0
    gauss = rng.gauss
    for i in range(len(left)):
        common = gauss(0.0, 1.0)
        state_left = 0.9 * state_left + 0.1 * (common + 0.5 * gauss(0.0, 1.0))
        state_right = 0.9 * state_right + 0.1 * (common + 0.5 * gauss(0.0, 1.0))
        left[i] += level * state_left
        right[i] += level * state_right


def synthesize(frames, rate, seed):
    rng = random.Random(seed)
    left = array("d", bytes(8 * frames))
    right = array("d", bytes(8 * frames))
    beat = int(rate * 60 / 96)  # 96 beats per minute
    for voice, timbre in enumerate(TIMBRES):
        table = wavetable(timbre)
        notes = scale_notes(*RANGES[voice])
        position = rng.randrange(0, beat)
        index = rng.randrange(len(notes))
        while position < frames:
            beats = rng.choice([1, 1, 2, 2, 3, 4]) if voice != 3 else rng.choice([2, 4])
            length = beats * beat
            if rng.random() < 0.15:  # a rest
                position += length
                continue
            index = max(0, min(len(notes) - 1, index + rng.choice([-2, -1, -1, 0, 1, 1, 2])))
            frequency = 440.0 * 2 ** ((notes[index] - 69) / 12)
            add_note(left, right, table, position, length - beat // 8, frequency, LEVELS[voice], PANS[voice],
                     rate, rng)
            position += length
    add_noise(left, right, 0.004, rng)
    # A passage driven far into clipping, as over-loud masters have.
    clip_start, clip_end = int(frames * 0.6), int(frames * 0.68)
    for i in range(clip_start, clip_end):
        left[i] *= 8.0
        right[i] *= 8.0
    return left, right


def to_bytes(channels, bits):
    full = (1 << (bits - 1)) - 1
    low = -full - 1
    samples = []
    for pair in zip(*channels):
        for value in pair:
            samples.append(max(low, min(full, int(round(value * full)))))
    if bits == 8:
        return bytes(s + 128 for s in samples)
    if bits == 16:
        data = array("h", samples)
        if sys.byteorder == "big":
            data.byteswap()
        return data.tobytes()
    if bits == 24:
        out = bytearray()
        for s in samples:
            out += struct.pack("<i", s)[:3]
        return bytes(out)
    data = array("i", samples)
    if sys.byteorder == "big":
        data.byteswap()
    return data.tobytes()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", help="WAVE file to write")
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--rate", type=int, default=44100)
    parser.add_argument("--channels", type=int, choices=[1, 2], default=2)
    parser.add_argument("--bits", type=int, choices=[8, 16, 24, 32], default=16)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    frames = int(args.seconds * args.rate)
    left, right = synthesize(frames, args.rate, args.seed)
    if args.channels == 1:
        channels = [array("d", ((a + b) * 0.5 for a, b in zip(left, right)))]
    else:
        channels = [left, right]
    with wave.open(args.output, "wb") as out:
        out.setnchannels(args.channels)
        out.setsampwidth(args.bits // 8)
        out.setframerate(args.rate)
        out.writeframes(to_bytes(channels, args.bits))


if __name__ == "__main__":
    main()
