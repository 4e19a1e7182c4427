#!/usr/bin/env python3
"""Rhythm accuracy corpus: generate, render, analyse, compare.

Writes short pieces of music as MIDI files (our own writer, below) at known
tempi from 70 to 180 BPM, in 4/4 and 3/4, straight and swung, steady and
ramped, with and without drums; renders them with fluidsynth and the
General MIDI sound font from Debian; runs this system's rhythm analysis
(build/bench/bench_rhythm_corpus) and `aubio tempo` on each; prints the
tempo accuracy of both, downbeat and drift accuracy of ours, and the time
each takes per minute of audio.

Usage: scripts/rhythm-corpus.py [--build build] [--out DIR] [--keep]
Needs: fluidsynth, timgm6mb-soundfont, aubio-tools (test-only packages).
The rendered audio is not kept in the repository; the MIDI files are
deterministic, and their SHA-256 identifies the corpus.
"""
import argparse
import hashlib
import json
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

SOUND_FONT = "/usr/share/sounds/sf2/TimGM6mb.sf2"
PPQ = 480
RATE = 44100

# (bpm, end bpm or None, beats per bar, swing, style); style "band" has
# drums, bass and piano, "keys" only bass and piano, "strings" sustained
# pads with a plucked bass.
PIECES = [
    (70, None, 4, 0.0, "band"), (74, None, 3, 0.0, "keys"), (78, None, 4, 1 / 3, "band"),
    (84, None, 3, 0.0, "band"), (88, None, 4, 0.0, "keys"), (92, None, 4, 0.0, "strings"),
    (96, None, 4, 1 / 3, "band"), (100, None, 3, 0.0, "band"), (104, None, 4, 0.0, "band"),
    (108, None, 3, 0.0, "keys"), (112, None, 4, 0.0, "strings"), (118, None, 4, 1 / 3, "keys"),
    (120, None, 4, 0.0, "band"), (126, None, 3, 0.0, "band"), (132, None, 4, 0.0, "keys"),
    (138, None, 4, 1 / 3, "band"), (145, None, 3, 0.0, "band"), (150, None, 4, 0.0, "band"),
    (158, None, 4, 0.0, "keys"), (165, None, 3, 0.0, "band"), (172, None, 4, 0.0, "band"),
    (180, None, 4, 0.0, "band"),
    (96, 100, 4, 0.0, "band"), (118, 123, 4, 0.0, "keys"), (100, 112, 4, 0.0, "band"),
    (140, 128, 3, 0.0, "band"),
]
SECONDS = 30.0


def vlq(n):
    out = [n & 0x7F]
    n >>= 7
    while n:
        out.append(0x80 | (n & 0x7F))
        n >>= 7
    return bytes(reversed(out))


def midi_file(events):
    """events: (tick, bytes) pairs; one track, format 0."""
    events.sort(key=lambda e: (e[0], e[1][0] & 0xF0 == 0x90))  # note-offs before note-ons
    body, last = bytearray(), 0
    for tick, data in events:
        body += vlq(tick - last) + data
        last = tick
    body += vlq(0) + b"\xFF\x2F\x00"
    return b"MThd" + struct.pack(">IHHH", 6, 0, 1, PPQ) + b"MTrk" + struct.pack(">I", len(body)) + body


def compose(bpm, end_bpm, per_bar, swing, style):
    """Returns (midi bytes, beat times, downbeat times)."""
    events = []
    tempo_at = lambda frac: bpm + ((end_bpm or bpm) - bpm) * frac
    # Beat times, with a tempo event on every beat of a ramp.
    beats, t, k = [], 0.0, 0
    total_beats = None
    while t < SECONDS:
        beats.append(t)
        b = tempo_at(min(t / SECONDS, 1.0))
        if k == 0 or end_bpm:
            events.append((k * PPQ, b"\xFF\x51\x03" + struct.pack(">I", round(60e6 / b))[1:]))
        t += 60.0 / b
        k += 1
    total_beats = len(beats)
    events.append((0, b"\xFF\x58\x04" + bytes([per_bar, 2, 24, 8])))
    events += [(0, bytes([0xC0, 33])), (0, bytes([0xC1, 0])), (0, bytes([0xC2, 48]))]

    def note(ch, tick, key, vel, length):
        events.append((tick, bytes([0x90 | ch, key, vel])))
        events.append((tick + length, bytes([0x80 | ch, key, 0])))

    roots = [36, 45, 41, 43]  # C, A, F, G
    chords = [(60, 64, 67), (57, 60, 64), (53, 57, 60), (55, 59, 62)]
    for beat in range(total_beats):
        tick, in_bar, bar = beat * PPQ, beat % per_bar, beat // per_bar
        root, chord = roots[bar % 4], chords[bar % 4]
        eighth2 = tick + PPQ // 2 + round(swing * PPQ / 2)
        if style == "band":
            if in_bar == 0:
                note(9, tick, 36, 118, 100)
            elif per_bar == 4 and in_bar == 2:
                note(9, tick, 36, 90, 100)
            if (per_bar == 4 and in_bar % 2 == 1) or (per_bar == 3 and in_bar > 0):
                note(9, tick, 38, 100 if per_bar == 4 else 70, 100)
            note(9, tick, 42, 80, 60)
            note(9, eighth2, 42, 55, 60)
        if in_bar == 0:
            note(0, tick, root, 110, PPQ * per_bar - 40 if style == "strings" else PPQ - 20)
        elif style != "strings":
            note(0, tick, root + (7 if in_bar == 2 else 12), 85, PPQ - 40)
        if style == "strings":
            if in_bar == 0:
                for key in chord:
                    note(2, tick, key, 70, PPQ * per_bar - 10)
        elif style == "keys":
            # Arpeggiated eighths.
            note(1, tick, chord[in_bar % 3] + (12 if in_bar == 0 else 0), 95 if in_bar == 0 else 70, PPQ // 2)
            note(1, eighth2, chord[(in_bar + 1) % 3], 60, PPQ // 2 - 20)
        else:
            if in_bar in ((1, 3) if per_bar == 4 else (1, 2)):
                for key in chord:
                    note(1, tick, key, 75, PPQ // 2)
    downbeats = beats[::per_bar]
    return midi_file(events), beats, downbeats


def name_of(piece):
    bpm, end_bpm, per_bar, swing, style = piece
    n = f"{bpm}" + (f"-{end_bpm}" if end_bpm else "") + f"_{per_bar}-4_{style}"
    return n + ("_swing" if swing else "")


def run(cmd):
    start = time.monotonic()
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    return out, time.monotonic() - start


def aubio_bpm(wav):
    out, secs = run(["aubio", "tempo", "-i", wav])
    for line in reversed(out.strip().splitlines()):
        if line.strip().endswith("bpm"):
            return float(line.split()[0]), secs
    return None, secs


def related(found, truth, tol, factors):
    return found is not None and any(abs(found - truth * f) <= tol * truth * f for f in factors)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--out")
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    tool = os.path.join(args.build, "bench", "bench_rhythm_corpus")
    if not os.path.exists(tool):
        sys.exit(f"missing {tool}: build the project first")
    out_dir = args.out or tempfile.mkdtemp(prefix="rhythm-corpus-")
    os.makedirs(out_dir, exist_ok=True)

    digest = hashlib.sha256()
    rows = []
    for piece in PIECES:
        midi, beats, downbeats = compose(*piece)
        digest.update(midi)
        base = os.path.join(out_dir, name_of(piece))
        with open(base + ".mid", "wb") as f:
            f.write(midi)
        wav = base + ".wav"
        if not os.path.exists(wav):
            run(["fluidsynth", "-ni", "-g", "0.6", "-F", wav, "-r", str(RATE), SOUND_FONT, base + ".mid"])
        rows.append((piece, wav, beats, downbeats))

    audio_minutes = 0.0
    ours_time = aubio_time = 0.0
    tally = {"ours2": 0, "ours4": 0, "aubio4": 0, "ours_octave": 0, "bars": 0, "bars_of": 0, "drift": 0}
    print(f"{'piece':24} {'ours':>8} {'aubio':>8}  drift      bars on downbeats")
    for piece, wav, beats, downbeats in rows:
        bpm, end_bpm, per_bar, swing, style = piece
        truth = statistics.mean([bpm, end_bpm]) if end_bpm else bpm
        tol2 = 0.02 if not end_bpm else abs(end_bpm - bpm) / truth / 2 + 0.02
        tol4 = 0.04 if not end_bpm else abs(end_bpm - bpm) / truth / 2 + 0.04
        out, secs = run([tool, wav])
        res = json.loads(out.strip().splitlines()[-1])
        ours_time += secs
        ab, asecs = aubio_bpm(wav)
        aubio_time += asecs
        audio_minutes += SECONDS / 60
        ob = res.get("bpm")
        peer_factors = (1, 2, 0.5, 3, 1 / 3)
        right2 = related(ob, truth, tol2, (1,))
        tally["ours2"] += right2
        tally["ours_octave"] += (not right2) and related(ob, truth, 0.02 if not end_bpm else tol2, (2, 0.5, 3, 1 / 3, 1.5, 2 / 3))
        tally["ours4"] += related(ob, truth, tol4, peer_factors)
        tally["aubio4"] += related(ab, truth, tol4, peer_factors)
        want_drift = "STEADY" if not end_bpm else ("BREATHING" if abs(end_bpm - bpm) / bpm < 0.05 else "RUBATO")
        tally["drift"] += res.get("drift") == want_drift
        on = 0
        checked = [d for d in downbeats if d < SECONDS - 1]
        if right2:
            grid = res.get("downbeats", [])
            tol = 0.035 if res.get("steady") else 0.07
            on = sum(1 for d in checked if grid and min(abs(g - d) for g in grid) < tol)
            ok = on >= 0.9 * len(checked) and res.get("beatsPerBar") == per_bar
            tally["bars"] += ok
            tally["bars_of"] += 1
        print(f"{name_of(piece):24} {ob or 0:8.2f} {ab or 0:8.2f}  {res.get('drift', '-'):10} "
              f"{res.get('beatsPerBar', 0)}/bar {'steady' if res.get('steady') else 'tracked':7} "
              f"{on:2}/{len(checked) if right2 else 0:2}")
    n = len(rows)
    print()
    print(f"corpus: {n} pieces, {audio_minutes:.1f} min, MIDI SHA-256 {digest.hexdigest()}")
    print(f"tempo within 2 %:                          ours {tally['ours2']}/{n} "
          f"(plus {tally['ours_octave']} at a related tempo)")
    print(f"tempo within 4 % allowing x2, /2, x3, /3:  ours {tally['ours4']}/{n}   aubio {tally['aubio4']}/{n}")
    print(f"downbeats on the bar lines (where the tempo is right): {tally['bars']}/{tally['bars_of']}")
    print(f"drift class right: {tally['drift']}/{n}")
    print(f"time per minute of audio: ours {ours_time / audio_minutes:.3f} s, aubio {aubio_time / audio_minutes:.3f} s, "
          f"ratio ours/aubio {ours_time / aubio_time:.3f}")
    if not args.keep and not args.out:
        shutil.rmtree(out_dir)


if __name__ == "__main__":
    main()
