#!/usr/bin/env python3
"""Key, tempo and meter accuracy corpus: generate, render, analyse, score.

Writes 120 pieces of music as MIDI files (our own writer, below), five in
each of the 24 keys, in 4/4, 3/4 and 6/8, from 60 to 180 BPM, straight and
swung, with and without drums, and six pieces that have no pulse (sustained
pads, near-silence, noise); renders them at 44.1 kHz stereo with fluidsynth
through the two General MIDI fonts of scripts/setup.sh; runs this system's
whole analysis on every file (build/bench/bench_music_corpus) and, when
given, a peer analyser on the same files; prints per part and per font the
key exact share, the MIREX key score, tempo Acc1 and Acc2, the meter, the
"none" answers, and the time per file. `--part calibration` writes,
renders and scores, apart from the rounds, the 72 pieces in 4/4 on which
the tempo octave's thresholds were set (see calibration_plan()).

Six wide parts of 48 pieces each (see wide_plan()) hold the kinds the
rounds lack: drumless ballads with sparse accompaniment (chords every half
bar, legato strings changing on the beat, arpeggios), walking bass, 12/8
shuffles, fast waltzes, slow swung pieces, 6/8 and 3/4 ballads, a melody
over the chords from the first bar, pickups and drum fills before bar 1,
secondary dominants and borrowed chords, pieces closing on V, IV or vi and
excerpts cut from the middle that end there. "tuning-2" and "held-out-4"
to "held-out-7" (each scored once, then tuned on) are for tuning;
"held-out-8", with seeds of its own, is scored once, at the end of a pass.
They are rendered through the stereo font of fluid-soundfont-gm as well
when it is installed. The figures are printed per material class
(drumless, 3/4, 6/8, 12/8, slow, fast, ending off the tonic), with
`aubio tempo` beside the peer when --aubio is given.

The first two rounds are the tuning part. The third, fourth and fifth
rounds (24 pieces each, one per key) are held out: the analysis is never
tuned on them, and their figures are printed apart. The third
("held-out-1") has been looked at while the analysis was tuned, so it is no
longer a clean test, nor, after it was scored, is the fourth
("held-out-2"); the fifth ("held-out-3") was added later still and is kept
for judging only. A piece's tempo is the pulse a musician counts: quarter notes in 4/4
and 3/4, dotted quarters in 6/8.

Usage: scripts/music-corpus.py [--build build] [--out DIR] [--peer DIR] [--aubio]
         [--part tuning|held-out-1|held-out-2|held-out-3|tuning-2|held-out-4|held-out-5|held-out-6|held-out-7|held-out-8|wide|all]
         [--list]
--peer names a folder holding node_modules/essentia.js (made with
`npm install --prefix DIR essentia.js@0.1.3`; never a dependency of the
program); scripts/music-corpus-peer.js drives it with node. Its answers are
kept beside the renders, as peer.json in the --out folder.
Needs: fluidsynth, timgm6mb-soundfont, fluidr3mono-gm-soundfont (test-only),
aubio-tools for --aubio.
The rendered audio is not kept; the MIDI files are deterministic, and the
SHA-256 of them, in order, names the corpus: one digest for the first
three rounds with the two pads (the corpus as it was first published), one
for the fourth round, one for the fifth, one for each wide part.
"""
import argparse
import hashlib
import json
import math
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import wave
from concurrent.futures import ThreadPoolExecutor

FONTS = [
    ("TimGM6mb", "/usr/share/sounds/sf2/TimGM6mb.sf2"),
    ("FluidR3Mono", "/usr/share/sounds/sf3/FluidR3Mono_GM.sf3"),
]
# The stereo font of fluid-soundfont-gm, used for the wide parts when it is
# installed.
STEREO_FONT = ("FluidR3_GM", "/usr/share/sounds/sf2/FluidR3_GM.sf2")
NOTES = ["C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"]
PPQ = 480
RATE = 44100
SECONDS = 30.0
DRUMS = 9

MAJOR = [0, 2, 4, 5, 7, 9, 11]
NATURAL_MINOR = [0, 2, 3, 5, 7, 8, 10]
HARMONIC_MINOR = [0, 2, 3, 5, 7, 8, 11]

# Progressions as (root above the tonic, chord quality) per bar; every piece
# closes on its tonic chord. Minor ones marked True use the raised seventh.
MAJOR_LOOPS = [
    [(0, "M"), (7, "M"), (9, "m"), (5, "M")],   # I V vi IV
    [(0, "M"), (5, "M"), (7, "M"), (0, "M")],   # I IV V I
    [(0, "M"), (9, "m"), (5, "M"), (7, "M")],   # I vi IV V
    [(9, "m"), (5, "M"), (0, "M"), (7, "M")],   # vi IV I V
    [(0, "M"), (2, "m"), (7, "M"), (0, "M")],   # I ii V I
    [(0, "M"), (5, "M"), (0, "M"), (7, "M")],   # I IV I V
]
MINOR_LOOPS = [
    ([(0, "m"), (8, "M"), (3, "M"), (10, "M")], False),  # i VI III VII
    ([(0, "m"), (5, "m"), (7, "m"), (0, "m")], False),   # i iv v i
    ([(0, "m"), (8, "M"), (10, "M"), (0, "m")], False),  # i VI VII i
    ([(0, "m"), (5, "m"), (7, "M"), (0, "m")], True),    # i iv V i
    ([(0, "m"), (10, "M"), (8, "M"), (7, "M")], True),   # i VII VI V
    ([(0, "m"), (3, "M"), (10, "M"), (5, "m")], False),  # i III VII iv
]
CHORD_PROGRAMS = [0, 4, 25, 16, 48, 89, 2, 26]
BASS_PROGRAMS = [32, 33, 34, 38, 35]
LEAD_PROGRAMS = [73, 65, 40, 80, 11, 56, 71]
METERS = ["4/4", "3/4", "6/8"]


def _rhythm_corpus():
    """The rhythm corpus script, whose MIDI writing this one shares."""
    import importlib.util
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "rhythm-corpus.py")
    found = importlib.util.spec_from_file_location("rhythm_corpus", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


vlq = _rhythm_corpus().vlq


class Song:
    """Notes timed in quarter notes; one tempo; format-0 file."""

    def __init__(self, bpm_quarter, numerator, denominator):
        self.bpm = bpm_quarter
        self.sig = (numerator, denominator)
        self.programs = {}
        self.notes = []

    def note(self, ch, at, length, key, vel):
        if 0 <= key < 128:
            self.notes.append((at, max(length, 0.05), key, max(1, min(127, int(vel))), ch))

    def midi(self):
        events = [(0, 0, b"\xFF\x51\x03" + struct.pack(">I", round(60e6 / self.bpm))[1:]),
                  (0, 0, b"\xFF\x58\x04" + bytes([self.sig[0], {4: 2, 8: 3}[self.sig[1]], 24, 8]))]
        for ch, prog in sorted(self.programs.items()):
            events.append((0, 0, bytes([0xC0 | ch, prog])))
        end = 0
        for at, length, key, vel, ch in self.notes:
            on, off = round(at * PPQ), round((at + length) * PPQ)
            events.append((on, 2, bytes([0x90 | ch, key, vel])))
            events.append((off, 1, bytes([0x80 | ch, key, 0])))
            end = max(end, off)
        events.sort(key=lambda e: (e[0], e[1]))
        body, last = bytearray(), 0
        for tick, _, data in events:
            body += vlq(tick - last) + data
            last = tick
        body += vlq(max(end - last, 0) + PPQ) + b"\xFF\x2F\x00"
        return b"MThd" + struct.pack(">IHHH", 6, 0, 1, PPQ) + b"MTrk" + struct.pack(">I", len(body)) + body


def chord_tones(tonic, root, quality):
    third = 3 if quality == "m" else 4
    return [(tonic + root) % 12, (tonic + root + third) % 12, (tonic + root + 7) % 12]


def place(low, pc):
    """The pitch of pitch class pc in the octave starting at low."""
    return low + (pc - low) % 12


def compose(piece):
    """MIDI bytes of one tonal piece described by `piece` (see plan())."""
    rng = random.Random(piece["seed"])
    tonic, minor, meter = piece["tonic"], piece["minor"], piece["meter"]
    compound = meter == "6/8"
    # Quarter-note tempo of the file; in 6/8 the counted beat is a dotted quarter.
    quarter_bpm = piece["bpm"] * 1.5 if compound else piece["bpm"]
    song = Song(quarter_bpm, 6 if compound else int(meter[0]), 8 if compound else 4)
    bar_len = 3.0 if meter in ("3/4", "6/8") else 4.0
    beats = 2 if compound else int(meter[0])  # counted beats per bar
    beat_len = bar_len / beats
    if minor:
        loop, raised = MINOR_LOOPS[piece["loop"]]
        scale = HARMONIC_MINOR if raised else NATURAL_MINOR
    else:
        loop, scale = MAJOR_LOOPS[piece["loop"]], MAJOR
    style, swing = piece["style"], piece["swing"]
    chords_ch, bass_ch, lead_ch = 0, 1, 2
    song.programs = {chords_ch: piece["chords"], bass_ch: piece["bass"], lead_ch: piece["lead"]}
    pad_low = 52 + rng.randrange(7)
    bass_low = 33 + rng.randrange(6)
    lead_low = 67 + rng.randrange(5)

    def swung(at):
        """Delays an off-beat eighth of a simple meter."""
        frac = at % 1.0
        if swing and abs(frac - 0.5) < 1e-6:
            return at + swing * 0.5
        return at

    bars = max(8, int(SECONDS / (bar_len * 60 / quarter_bpm)) - 1)
    bars -= (bars - 2) % 4  # a count-in bar, whole loops, a closing bar
    for bar in range(bars):
        t0 = bar * bar_len
        last = bar == bars - 1
        if bar == 0:
            for b in range(beats):  # count-in on the hi-hat
                song.note(DRUMS, t0 + b * beat_len, 0.1, 42, 70 if b else 90)
            continue
        root, quality = (0, "m" if minor else "M") if last else loop[(bar - 1) % 4]
        tones = chord_tones(tonic, root, quality)
        if last:
            for pc in tones:
                song.note(chords_ch, t0, bar_len, place(pad_low, pc), 80)
                song.note(lead_ch, t0, bar_len * 0.8, place(lead_low, pc), 60)
            song.note(bass_ch, t0, bar_len, place(bass_low, tones[0]), 100)
            if style != "keys":
                song.note(DRUMS, t0, 0.2, 36, 110)
                song.note(DRUMS, t0, 1.5, 49, 100)
            continue
        second_pass = bar > 4
        # Chords: the comping figure of the meter.
        if style == "pads":
            for pc in tones:
                song.note(chords_ch, t0, bar_len - 0.05, place(pad_low, pc), 70)
        elif meter == "4/4":
            hits = [0, 1, 2, 3] if piece["comp"] == 0 else [0, 1.5, 2.5, 3.5] if piece["comp"] == 1 else [0, 2]
            for h in hits:
                for pc in tones:
                    song.note(chords_ch, t0 + swung(h), 0.45 if piece["comp"] < 2 else 1.9,
                              place(pad_low, pc), 72 if h == 0 else 62)
        elif meter == "3/4":
            for h in ([1, 2] if piece["comp"] != 2 else [0, 1, 2]):
                for pc in tones:
                    song.note(chords_ch, t0 + h, 0.45, place(pad_low, pc), 64)
        else:  # 6/8: broken chords on the eighths
            figure = [0, 1, 2, 1, 2, 1] if piece["comp"] != 2 else [0, 2, 1, 0, 2, 1]
            for e, idx in enumerate(figure):
                song.note(chords_ch, t0 + e * 0.5, 0.5, place(pad_low, tones[idx]) + (12 if e == 3 and idx == 0 else 0),
                          74 if e in (0, 3) else 58)
        # Bass: root on the downbeat, the fifth or the root on the other strong beats.
        root_key = place(bass_low, tones[0])
        if meter == "4/4":
            song.note(bass_ch, t0, 1.4, root_key, 100)
            song.note(bass_ch, t0 + 2, 1.4, root_key + (7 if bar % 2 else 0), 90)
            if style == "band" and second_pass:
                song.note(bass_ch, t0 + swung(3.5), 0.4, root_key + 12, 70)
        elif meter == "3/4":
            song.note(bass_ch, t0, 0.9, root_key, 100)
            if style == "pads":
                song.note(bass_ch, t0 + 2, 0.9, root_key + 7, 70)
        else:
            song.note(bass_ch, t0, 1.4, root_key, 100)
            song.note(bass_ch, t0 + 1.5, 1.4, root_key + 7 if bar % 2 else root_key, 85)
        # Melody from the second pass on: chord tones on the counted beats,
        # steps of the scale between.
        if second_pass and style != "pads":
            steps = int(bar_len / 0.5)
            for e in range(steps):
                at = e * 0.5
                strong = abs((at / beat_len) - round(at / beat_len)) < 1e-6
                if not strong and rng.random() < 0.45:
                    continue
                pc = tones[rng.randrange(3)] if strong else (tonic + scale[rng.randrange(7)]) % 12
                song.note(lead_ch, t0 + swung(at), 0.45 if not strong else min(beat_len, 1.0) * 0.9,
                          place(lead_low, pc), 78 if strong else 64)
        # Drums.
        if style in ("band", "pads") and (second_pass or style == "band"):
            soft = style == "pads"
            if meter == "4/4":
                song.note(DRUMS, t0, 0.1, 36, 80 if soft else 115)
                song.note(DRUMS, t0 + 2, 0.1, 36, 70 if soft else 100)
                if not soft:
                    song.note(DRUMS, t0 + 1, 0.1, 38, 100)
                    song.note(DRUMS, t0 + 3, 0.1, 38, 100)
                for e in range(8):
                    song.note(DRUMS, t0 + swung(e * 0.5), 0.1, 42, (75 if e % 2 == 0 else 50) * (0.7 if soft else 1))
            elif meter == "3/4":
                song.note(DRUMS, t0, 0.1, 36, 80 if soft else 112)
                if not soft:
                    song.note(DRUMS, t0 + 1, 0.1, 38, 70)
                    song.note(DRUMS, t0 + 2, 0.1, 38, 70)
                for e in range(6):
                    song.note(DRUMS, t0 + swung(e * 0.5), 0.1, 42, (72 if e % 2 == 0 else 48) * (0.7 if soft else 1))
            else:
                song.note(DRUMS, t0, 0.1, 36, 80 if soft else 112)
                if not soft:
                    song.note(DRUMS, t0 + 1.5, 0.1, 38, 96)
                for e in range(6):
                    song.note(DRUMS, t0 + e * 0.5, 0.1, 42, (80 if e % 3 == 0 else 50) * (0.7 if soft else 1))
    return song.midi()


# The wide parts: the kinds of music the rounds lack. Progressions with
# secondary dominants and borrowed chords beside the loops above; "7" is a
# dominant seventh, "d" a diminished triad.
WIDE_MAJOR = MAJOR_LOOPS + [
    [(0, "M"), (2, "M"), (7, "7"), (0, "M")],    # I V/V V7 I
    [(0, "M"), (5, "m"), (0, "M"), (7, "7")],    # I iv(borrowed) I V7
    [(0, "M"), (4, "m"), (5, "M"), (7, "M")],    # I iii IV V
    [(2, "m"), (7, "7"), (0, "M"), (9, "m")],    # ii V7 I vi
    [(0, "M"), (5, "M"), (2, "m"), (7, "M")],    # I IV ii V
    [(0, "M"), (9, "7"), (2, "m"), (7, "7")],    # I V/ii ii V7
]
# i VI III VII is left out: cut before its close, it is the very cycle of
# I V vi IV in the relative major, and no listener could tell the two keys.
WIDE_MINOR = MINOR_LOOPS[1:] + [
    ([(0, "m"), (8, "M"), (5, "m"), (7, "7")], True),    # i VI iv V7
    ([(2, "d"), (7, "7"), (0, "m"), (0, "m")], True),    # ii° V7 i i
    ([(0, "m"), (7, "m"), (8, "M"), (5, "m")], False),   # i v VI iv
    ([(0, "m"), (10, "M"), (8, "M"), (10, "M")], False),  # i VII VI VII
]
QUALITY = {"M": (0, 4, 7), "m": (0, 3, 7), "7": (0, 4, 7, 10), "d": (0, 3, 6)}
# Where a piece ends: the closing chord, as (root above the tonic, quality)
# in major and in minor.
ENDINGS = {"I": ((0, "M"), (0, "m")), "V": ((7, "M"), (7, "M")), "IV": ((5, "M"), (5, "m")),
           "vi": ((9, "m"), (8, "M"))}
# Beats of the bar in quarter notes (bar length, counted beats), per meter.
BARS = {"4/4": (4.0, 4), "3/4": (3.0, 3), "6/8": (3.0, 2), "12/8": (6.0, 4)}
# (kind, meter, lowest and highest counted tempo, drums, texture, bass); the
# wide parts cycle through these.
WIDE_KINDS = [
    ("ballad", "4/4", 50, 90, False, "half", "root"),
    ("ballad", "4/4", 56, 100, False, "strings", "root"),
    ("ballad", "4/4", 60, 140, False, "arp", "half"),
    ("ballad", "4/4", 120, 150, False, "half", "half"),
    ("walking", "4/4", 90, 180, None, "sparse", "walk"),
    ("shuffle", "12/8", 50, 100, None, "triplets", "half"),
    ("waltz", "3/4", 150, 200, None, "oompah", "root"),
    ("swing", "4/4", 50, 80, None, "comp", "half"),
    ("band", "4/4", 80, 180, True, "comp", "half"),
    ("ballad", "6/8", 48, 80, False, "arp", "half"),
    ("ballad", "3/4", 60, 160, False, "oompah", "root"),
    ("excerpt", "4/4", 70, 170, None, "comp", "half"),
]


def wide_plan(part, seed_base, first_id, count=48):
    """Pieces of the wide kinds, two of each of the 24 keys: each kind four
    times; closing chords, lead-ins and cuts drawn per piece."""
    pieces = []
    for i in range(count):
        rng = random.Random(seed_base + i)
        kind, meter, lo, hi, drums, texture, bass = WIDE_KINDS[i % len(WIDE_KINDS)]
        key = (i * 7) % 24 if count <= 24 else (i * 7 + i // 24) % 24
        minor = key >= 12
        if drums is None:
            drums = rng.random() < 0.5
        cut = kind == "excerpt" or rng.random() < 0.2
        end = rng.choice(["V", "IV", "vi"]) if cut or rng.random() < 0.5 else "I"
        lead_in = rng.choice(["pickup", "fill", "count", "none"] if drums else ["pickup", "none", "pickup"])
        progressions = WIDE_MINOR if minor else WIDE_MAJOR
        pieces.append({
            "id": first_id + i, "part": part, "kind": kind, "tonic": key % 12, "minor": minor,
            "meter": meter, "bpm": rng.choice(range(lo, hi + 1, 2)), "drums": drums, "texture": texture,
            "bass_style": bass, "swing": 1 / 3 if kind in ("swing", "walking") else 0.0, "end": end, "cut": cut,
            "lead_in": lead_in, "loop": rng.randrange(len(progressions)),
            "rhythm": 2 if meter in ("4/4", "12/8") and rng.random() < 0.3 else 1, "start": rng.randrange(4),
            "seed": seed_base + 500 + i, "chords": rng.choice([0, 4, 48, 49, 89, 0, 2] if not drums else CHORD_PROGRAMS),
            "bass": rng.choice(BASS_PROGRAMS + [32, 42]), "lead": rng.choice(LEAD_PROGRAMS),
        })
    return pieces


def compose_wide(piece):
    """MIDI bytes of one piece of the wide parts (see wide_plan())."""
    rng = random.Random(piece["seed"])
    tonic, minor, meter = piece["tonic"], piece["minor"], piece["meter"]
    bar_len, beats = BARS[meter]
    beat_len = bar_len / beats
    compound = meter in ("6/8", "12/8")
    sub = 0.5  # eighths, straight or in threes
    quarter_bpm = piece["bpm"] * beat_len
    song = Song(quarter_bpm, *{"4/4": (4, 4), "3/4": (3, 4), "6/8": (6, 8), "12/8": (12, 8)}[meter])
    if minor:
        loop, raised = WIDE_MINOR[piece["loop"]]
        scale = HARMONIC_MINOR if raised else NATURAL_MINOR
    else:
        loop, scale = WIDE_MAJOR[piece["loop"]], MAJOR
    chords_ch, bass_ch, lead_ch, pad_ch = 0, 1, 2, 3
    song.programs = {chords_ch: piece["chords"], bass_ch: piece["bass"], lead_ch: piece["lead"], pad_ch: 49}
    texture, drums, swing = piece["texture"], piece["drums"], piece["swing"]
    pad_low, bass_low, lead_low = 52 + rng.randrange(7), 33 + rng.randrange(6), 67 + rng.randrange(5)

    def swung(at):
        frac = at % 1.0
        if swing and not compound and abs(frac - 0.5) < 1e-6:
            return at + swing * 0.5
        return at

    def tones_of(root, quality):
        return [(tonic + root + iv) % 12 for iv in QUALITY[quality]]

    bar_seconds = bar_len * 60 / quarter_bpm
    lead_beats = {"pickup": rng.choice([1, 2]) * beat_len, "fill": beat_len, "count": bar_len, "none": 0}[piece["lead_in"]]
    bars = max(4, int((SECONDS - lead_beats * 60 / quarter_bpm) / bar_seconds) - (0 if piece["cut"] else 1))
    shift = lead_beats
    # The lead-in before bar 1.
    first = tones_of(*loop[piece["start"] % 4])
    if piece["lead_in"] == "pickup":
        steps = int(round(lead_beats / sub))
        for e in range(steps):
            pc = (tonic + scale[(4 + e) % 7]) % 12
            song.note(lead_ch, e * sub, sub * 0.9, place(lead_low, pc), 70 + 6 * e)
    elif piece["lead_in"] == "fill":
        for e in range(4):
            song.note(DRUMS, e * beat_len / 4, 0.1, 38, 70 + 12 * e)
    elif piece["lead_in"] == "count":
        for b in range(beats):
            song.note(DRUMS, b * beat_len, 0.1, 42, 90 if b == 0 else 70)
    closing = ENDINGS[piece["end"]][1 if minor else 0]
    for bar in range(bars + (0 if piece["cut"] else 1)):
        t0 = shift + bar * bar_len
        held = not piece["cut"] and bar == bars
        if held:
            tones = tones_of(*closing)
            for pc in tones:
                song.note(chords_ch, t0, bar_len, place(pad_low, pc), 76)
            song.note(lead_ch, t0, bar_len * 0.8, place(lead_low, tones[0]), 66)
            song.note(bass_ch, t0, bar_len, place(bass_low, tones[0]), 96)
            if drums:
                song.note(DRUMS, t0, 0.2, 36, 110)
                song.note(DRUMS, t0, 1.5, 49, 96)
            continue
        span = bar_len / piece["rhythm"]
        heard = []
        for half in range(piece["rhythm"]):
            c0 = t0 + half * span
            step = piece["start"] + bar * piece["rhythm"] + half
            chord = loop[step % 4]
            if piece["cut"] and bar == bars - 1 and half == piece["rhythm"] - 1:
                chord = closing
            tones = tones_of(*chord)
            heard.append(tones)
            triad = tones[:3]
            # The accompaniment.
            if texture == "half":
                for h in [x for x in ([0, 2] if meter == "4/4" else [0, 1.5] if meter == "6/8" else [0]) if x < span]:
                    for pc in triad:
                        song.note(chords_ch, c0 + h, (2 if meter == "4/4" else span) - 0.1, place(pad_low, pc), 70)
            elif texture == "strings":
                for b in range(int(round(span / beat_len))):
                    voicing = triad[b % 3:] + triad[:b % 3]
                    for j, pc in enumerate(voicing):
                        song.note(pad_ch, c0 + b * beat_len, beat_len + 0.05, place(pad_low + 4 * j, pc), 62)
            elif texture in ("arp", "triplets"):
                figure = [0, 1, 2, 1] if not compound else [0, 1, 2]
                for e in range(int(round(span / sub))):
                    idx = figure[e % len(figure)]
                    up = 12 if (e // len(figure)) % 2 and idx == 0 else 0
                    song.note(chords_ch, c0 + swung(e * sub), sub, place(pad_low, triad[idx]) + up,
                              72 if (e * sub) % beat_len < 1e-6 else 56)
            elif texture == "oompah":
                for b in range(1, beats):
                    for pc in triad:
                        song.note(chords_ch, c0 + b * beat_len, 0.5, place(pad_low, pc), 60)
            elif texture == "sparse":
                for h in [0, 2.5] if span >= 4 else [0]:
                    for pc in tones:
                        song.note(chords_ch, c0 + swung(h), 0.4, place(pad_low, pc), 66)
            else:  # comp: chords on the beats, short
                for b in range(int(round(span / beat_len))):
                    for pc in tones:
                        song.note(chords_ch, c0 + b * beat_len, 0.4 * beat_len, place(pad_low, pc), 68 if b == 0 else 58)
            # The bass.
            root_key = place(bass_low, tones[0])
            style = piece["bass_style"]
            if style == "walk":
                nxt = tones_of(*loop[(step + 1) % 4])[0]
                line = [root_key, place(bass_low, tones[1]), place(bass_low, tones[2]),
                        place(bass_low, nxt) + rng.choice([-1, 1])]
                for b in range(int(round(span / beat_len))):
                    song.note(bass_ch, c0 + b * beat_len, 0.85 * beat_len, line[b % 4], 96 if b == 0 else 86)
            elif style == "half" and span >= 2 * beat_len:
                song.note(bass_ch, c0, span / 2 - 0.1, root_key, 100)
                song.note(bass_ch, c0 + span / 2, span / 2 - 0.1, root_key + (7 if bar % 2 else 0), 88)
            else:
                song.note(bass_ch, c0, span - 0.1, root_key, 100)
        # The melody: chord tones on the counted beats, steps between.
        for e in range(int(round(bar_len / sub))):
            at = e * sub
            tones = heard[int(at // span)]
            strong = abs(at / beat_len - round(at / beat_len)) < 1e-6
            if not strong and rng.random() < 0.5:
                continue
            pc = tones[rng.randrange(3)] if strong else (tonic + scale[rng.randrange(7)]) % 12
            song.note(lead_ch, t0 + swung(at), (0.9 * beat_len if strong else 0.45), place(lead_low, pc),
                      80 if strong else 64)
        # The drums.
        if drums:
            if meter == "4/4" and piece["kind"] in ("swing", "walking"):
                for b in range(4):
                    song.note(DRUMS, t0 + b, 0.1, 51, 80)
                    song.note(DRUMS, t0 + b + 0.5 + swing * 0.5, 0.1, 51, 52)
                    if b % 2:
                        song.note(DRUMS, t0 + b, 0.1, 44, 70)
                song.note(DRUMS, t0, 0.1, 36, 70)
            elif meter == "4/4":
                for b in range(4):
                    song.note(DRUMS, t0 + b, 0.1, 38 if b % 2 else 36, 100 if b % 2 else 112)
                for e in range(8):
                    song.note(DRUMS, t0 + swung(e * 0.5), 0.1, 42, 72 if e % 2 == 0 else 50)
            elif meter == "3/4":
                song.note(DRUMS, t0, 0.1, 36, 108)
                for b in (1, 2):
                    song.note(DRUMS, t0 + b, 0.1, 38, 64)
                for e in range(6):
                    song.note(DRUMS, t0 + e * 0.5, 0.1, 42, 70 if e % 2 == 0 else 46)
            else:  # 6/8 and the 12/8 shuffle
                for b in range(beats):
                    song.note(DRUMS, t0 + b * 1.5, 0.1, 38 if b % 2 else 36, 96 if b % 2 else 110)
                    for e in range(3):
                        if e != 1 or meter == "6/8":
                            song.note(DRUMS, t0 + b * 1.5 + e * 0.5, 0.1, 42, 74 if e == 0 else 52)
    return song.midi()


def wide_name(p):
    key = NOTES[p["tonic"]] + ("m" if p["minor"] else "")
    return (f"w{p['id']:03d}_{key}_{p['meter'].replace('/', '-')}_{p['bpm']}_{p['kind']}"
            f"{'' if p['drums'] else '_nodrums'}_{p['texture']}_end-{p['end']}{'_cut' if p['cut'] else ''}")


def classes(p):
    """The material classes a piece counts in."""
    out = []
    if not p.get("drums", p.get("style") != "keys"):
        out.append("drumless")
    if p["meter"] in ("3/4", "6/8", "12/8"):
        out.append(p["meter"])
    if p["bpm"] <= 80:
        out.append("slow")
    if p["bpm"] >= 150:
        out.append("fast")
    if p.get("end", "I") != "I":
        out.append("off-tonic")
    return out


def compose_pad(seed):
    """Sustained chords that swell and change at irregular times: no pulse."""
    rng = random.Random(seed)
    song = Song(60, 4, 4)  # one beat a second
    song.programs = {0: 89, 1: 49}
    tonic = rng.randrange(12)
    at = 0.0
    while at < SECONDS - 4:
        length = rng.uniform(4.5, 8.5)
        root, quality = rng.choice(MAJOR_LOOPS[0])
        for pc in chord_tones(tonic, root, quality):
            song.note(0, at, length + 0.5, place(50, pc), 60)
            song.note(1, at + rng.uniform(0.2, 1.2), length, place(62, pc), 45)
        at += length
    return song.midi()


PARTS = ["tuning", "tuning", "held-out-1", "held-out-2", "held-out-3"]


def plan():
    """The 120 tonal pieces: five rounds of all 24 keys; rounds 3 to 5 are held out."""
    pieces = []
    for i in range(120):
        rng = random.Random(1000 + i)
        rnd, key = divmod(i, 24)
        tonic, minor = key % 12, key >= 12
        meter = METERS[(i + rnd) % 3]
        if meter == "6/8":
            bpm = rng.choice(range(60, 121, 2))
        else:
            bpm = rng.choice(range(60, 181, 2))
        swing = 0.0
        if meter != "6/8" and rng.random() < 0.35:
            swing = 1 / 3
        style = rng.choice(["band", "band", "band", "keys", "pads"])
        pieces.append({
            "id": i, "part": PARTS[rnd],
            "tonic": tonic, "minor": minor, "meter": meter, "bpm": bpm, "swing": swing, "style": style,
            "loop": rng.randrange(6), "comp": rng.randrange(3), "seed": 5000 + i,
            "chords": rng.choice(CHORD_PROGRAMS), "bass": rng.choice(BASS_PROGRAMS), "lead": rng.choice(LEAD_PROGRAMS),
        })
    return pieces


def calibration_plan():
    """72 pieces in 4/4 for setting the tempo octave's thresholds, never
    scored with the rounds: keys alone at 120-180 BPM and at 60-98, bands at
    76-98 and at 140-180, pads at 60-98, drawn like the rounds with seeds of
    their own."""
    pieces, rng = [], random.Random(4242)
    for style, lo, hi, n in (("keys", 120, 180, 24), ("band", 76, 98, 16), ("keys", 60, 98, 16),
                             ("pads", 60, 98, 8), ("band", 140, 180, 8)):
        for k in range(n):
            i = len(pieces)
            bpm = rng.choice(range(lo, hi + 1, 2))
            pieces.append({
                "id": 900 + i, "part": "calibration", "tonic": rng.randrange(12), "minor": rng.random() < 0.5,
                "meter": "4/4", "bpm": bpm, "swing": 1 / 3 if rng.random() < 0.3 else 0.0, "style": style,
                "loop": rng.randrange(6), "comp": k % 3, "seed": 7000 + i,
                "chords": rng.choice(CHORD_PROGRAMS), "bass": rng.choice(BASS_PROGRAMS), "lead": rng.choice(LEAD_PROGRAMS),
            })
    return pieces


def name_of(p):
    key = NOTES[p["tonic"]] + ("m" if p["minor"] else "")
    return f"{p['id']:02d}_{key}_{p['meter'].replace('/', '-')}_{p['bpm']}_{p['style']}" + ("_swing" if p["swing"] else "")


def write_wav(path, samples):
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        frames = bytearray()
        for v in samples:
            s = max(-32768, min(32767, int(round(v * 32767))))
            frames += struct.pack("<hh", s, s)
        w.writeframes(bytes(frames))


def pulseless_files(out_dir):
    """Near-silence (peak about -78 dBFS, hum and hiss) and white noise."""
    rng = random.Random(77)
    n = int(10 * RATE)
    quiet = [1.2e-4 * math.sin(2 * math.pi * 50 * i / RATE) + rng.uniform(-2e-6, 2e-6) for i in range(n)]
    noise = [rng.uniform(-0.3, 0.3) for _ in range(n)]
    made = []
    for name, data in (("none_near-silence", quiet), ("none_white-noise", noise)):
        path = os.path.join(out_dir, name + ".wav")
        if not os.path.exists(path):
            write_wav(path, data)
        made.append(path)
    return made


def render(mid, wav, font):
    if not os.path.exists(wav):
        subprocess.run(["fluidsynth", "-ni", "-q", "-g", "0.5", "-F", wav, "-r", str(RATE), font, mid],
                       check=True, capture_output=True)


def mirex(truth, found):
    """MIREX key score: 1 exact, 0.5 a fifth either way, 0.3 relative, 0.2 parallel."""
    if found is None:
        return 0.0, "none"
    (t, tm), (f, fm) = truth, found
    if (t, tm) == (f, fm):
        return 1.0, "exact"
    if tm == fm and f == (t + 7) % 12:
        return 0.5, "fifth above"
    if tm == fm and f == (t + 5) % 12:
        return 0.5, "fifth below"
    if tm != fm and f == (t + (3 if tm else 9)) % 12:
        return 0.3, "relative"
    if tm != fm and f == t:
        return 0.2, "parallel"
    return 0.0, "other"


# The meter label each written meter is read as: a bar of four dotted beats
# is counted as four.
METER_LABEL = {"12/8": "4/4"}


def acc(found, truth, factors):
    return found is not None and any(abs(found - truth * f) <= 0.04 * truth * f for f in factors)


def score(rows, results):
    """Tallies for one analyser over (piece, font, wav) rows."""
    s = {"n": 0, "exact": 0, "mirex": 0.0, "acc1": 0, "acc2": 0, "meter": 0, "meter_n": 0, "none": 0, "kinds": {}}
    for piece, _, wav in rows:
        r = results.get(wav) or {}
        s["n"] += 1
        found = None
        if r.get("key") in NOTES:
            found = (NOTES.index(r["key"]), r.get("mode") == "minor")
        pts, kind = mirex((piece["tonic"], piece["minor"]), found)
        s["mirex"] += pts
        s["exact"] += kind == "exact"
        s["kinds"][kind] = s["kinds"].get(kind, 0) + 1
        bpm = r.get("bpm")
        s["acc1"] += acc(bpm, piece["bpm"], (1,))
        s["acc2"] += acc(bpm, piece["bpm"], (1, 2, 0.5, 3, 1 / 3))
        if "meter" in r:
            s["meter_n"] += 1
            s["meter"] += r["meter"] == METER_LABEL.get(piece["meter"], piece["meter"])
        s["none"] += bpm is None and "bpm" in r
    return s


def run_ours(tool, wavs):
    out = subprocess.run([tool] + wavs, capture_output=True, text=True)
    results = {}
    for line in out.stdout.splitlines():
        if line.startswith("{"):
            r = json.loads(line)
            results[r["file"]] = r
    return results


def run_peer(peer_dir, wavs):
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "music-corpus-peer.js")
    env = dict(os.environ, NODE_PATH=os.path.join(os.path.abspath(peer_dir), "node_modules"))
    results = {}
    # One process per handful of files: the module's memory only grows.
    for i in range(0, len(wavs), 8):
        out = subprocess.run(["node", script] + wavs[i:i + 8], capture_output=True, text=True, env=env)
        for line in out.stdout.splitlines():
            if line.startswith("{"):
                r = json.loads(line)
                results[r["file"]] = r
        if out.returncode != 0:
            sys.stderr.write(out.stderr[-2000:])
    return results


def run_aubio(wavs, jobs):
    """aubio's tempo of each file (None where it gives none)."""
    aubio_bpm = _rhythm_corpus().aubio_bpm

    def one(wav):
        try:
            return wav, {"bpm": aubio_bpm(wav)[0]}
        except (subprocess.CalledProcessError, OSError):
            return wav, {"bpm": None}
    with ThreadPoolExecutor(jobs) as pool:
        return dict(pool.map(one, wavs))


PEER_PROFILES = ("bgate", "edma", "shaath")


def peer_as(peer, profile):
    """The peer's answers with the key of one of its profiles."""
    out = {}
    for wav, r in peer.items():
        k = (r.get("keys") or {}).get(profile, {})
        out[wav] = {"bpm": r.get("bpm"), "key": k.get("key"), "mode": k.get("mode"), "keyStrength": k.get("strength")}
    return out


# Each wide part's seeds and first piece number.
WIDE_PARTS = {"tuning-2": (20000, 0), "held-out-4": (61000, 100), "held-out-5": (83000, 200),
              "held-out-6": (97000, 300), "held-out-7": (113000, 400),
              "held-out-8": (131000, 500)}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--out")
    ap.add_argument("--peer")
    ap.add_argument("--aubio", action="store_true", help="run aubio tempo on the same files")
    ap.add_argument("--part", default="all",
                    choices=["all", "calibration", "wide"] + sorted(set(PARTS)) + sorted(WIDE_PARTS))
    ap.add_argument("--list", action="store_true", help="print every file's answers")
    ap.add_argument("--jobs", type=int, default=4)
    args = ap.parse_args()
    tool = os.path.join(args.build, "bench", "bench_music_corpus")
    if not os.path.exists(tool):
        sys.exit(f"missing {tool}: build the project first")
    fonts = [(n, f) for n, f in FONTS if os.path.exists(f)]
    if not fonts:
        sys.exit("no General MIDI font: install timgm6mb-soundfont and fluidr3mono-gm-soundfont")
    wide_fonts = fonts + ([STEREO_FONT] if os.path.exists(STEREO_FONT[1]) else [])
    out_dir = args.out or tempfile.mkdtemp(prefix="music-corpus-")
    os.makedirs(out_dir, exist_ok=True)

    digest = hashlib.sha256()
    round_digests = {part: hashlib.sha256() for part in ["held-out-2", "held-out-3"] + list(WIDE_PARTS)}
    wanted = lambda part: args.part == part or (args.part == "all" and part != "calibration") or \
        (args.part == "wide" and part in WIDE_PARTS)
    pieces = plan() + (calibration_plan() if args.part == "calibration" else [])
    for part, (seed, first_id) in WIDE_PARTS.items():
        pieces += wide_plan(part, seed, first_id)
    jobs, rows = [], []
    for p in pieces:
        wide = "kind" in p
        midi = compose_wide(p) if wide else compose(p)
        if p["part"] != "calibration":
            round_digests.get(p["part"], digest).update(midi)
        name = wide_name(p) if wide else name_of(p)
        mid = os.path.join(out_dir, name + ".mid")
        with open(mid, "wb") as f:
            f.write(midi)
        for font_name, font in (wide_fonts if wide else fonts):
            wav = os.path.join(out_dir, f"{name}_{font_name}.wav")
            if wanted(p["part"]):
                jobs.append((mid, wav, font))
                rows.append((p, font_name, wav))
    pads = []
    for k in range(2):
        midi = compose_pad(900 + k)
        digest.update(midi)
        mid = os.path.join(out_dir, f"none_pad-{k}.mid")
        with open(mid, "wb") as f:
            f.write(midi)
        for font_name, font in fonts:
            wav = os.path.join(out_dir, f"none_pad-{k}_{font_name}.wav")
            jobs.append((mid, wav, font))
            pads.append(wav)
    with ThreadPoolExecutor(args.jobs) as pool:
        list(pool.map(lambda j: render(*j), jobs))
    pulseless = pads + pulseless_files(out_dir)

    wavs = [w for _, _, w in rows]
    ours = run_ours(tool, wavs + pulseless)
    peer = {}
    if args.peer:
        # The peer is slow and does not change: its answers are kept beside
        # the renders.
        cache = os.path.join(out_dir, "peer.json")
        if os.path.exists(cache):
            with open(cache) as f:
                peer = json.load(f)
        missing = [w for w in wavs + pulseless if w not in peer]
        if missing:
            peer.update(run_peer(args.peer, missing))
            with open(cache, "w") as f:
                json.dump(peer, f)
    aubio = {}
    if args.aubio:
        cache = os.path.join(out_dir, "aubio.json")
        if os.path.exists(cache):
            with open(cache) as f:
                aubio = json.load(f)
        missing = [w for w in wavs if w not in aubio]
        if missing:
            aubio.update(run_aubio(missing, args.jobs))
            with open(cache, "w") as f:
                json.dump(aubio, f)

    if args.list:
        for p, font_name, wav in rows:
            o, e = ours.get(wav, {}), peer_as(peer, "edma").get(wav, {})
            truth = f"{NOTES[p['tonic']]}{'m' if p['minor'] else ''} {p['bpm']} {p['meter']}"
            mine = f"{o.get('key', '-')}{'m' if o.get('mode') == 'minor' else ''} {o.get('bpm') or 0:.1f} {o.get('meter', '-')}"
            theirs = f"{e.get('key', '-')}{'m' if e.get('mode') == 'minor' else ''} {e.get('bpm') or 0:.1f}" if e else ""
            print(f"{os.path.basename(wav)[:-4]:64} truth {truth:16} ours {mine:22} peer {theirs}")
        print()

    print(f"corpus: {len(pieces)} pieces + 2 pads; MIDI SHA-256 of rounds 1-3 and the pads {digest.hexdigest()}, "
          + ", ".join(f"of {part} {d.hexdigest()}" for part, d in round_digests.items()))
    header = f"{'part':12} {'font':12} {'who':7} {'n':>3} {'key exact':>10} {'MIREX':>6} {'Acc1':>8} {'Acc2':>8} {'meter':>8} {'none':>4}  misses"
    print(header)
    whos = [("ours", ours)] + ([(p, peer_as(peer, p)) for p in PEER_PROFILES] if peer else []) + \
        ([("aubio", aubio)] if aubio else [])

    def line(label, font_name, sel):
        for who, res in whos:
            s = score(sel, res)
            n = s["n"]
            misses = ", ".join(f"{k} {v}" for k, v in sorted(s["kinds"].items()) if k != "exact")
            meter = f"{s['meter']}/{s['meter_n']}" if s["meter_n"] else "-"
            if who == "aubio":  # a tempo and nothing else
                print(f"{label:12} {font_name:12} {who:7} {n:3} {'-':>14} {'-':>6} {s['acc1']:3}/{n:<3} "
                      f"{s['acc2']:3}/{n:<3} {meter:>8}")
                continue
            print(f"{label:12} {font_name:12} {who:7} {n:3} {s['exact']:4}/{n:<3} {100 * s['exact'] / n:3.0f}% "
                  f"{s['mirex'] / n:6.3f} {s['acc1']:3}/{n:<3} {s['acc2']:3}/{n:<3} {meter:>8} {s['none']:4}  {misses}")

    for part in ["tuning", "held-out-1", "held-out-2", "held-out-3", "calibration"] + list(WIDE_PARTS) + ["all"]:
        for font_name in [n for n, _ in wide_fonts] + ["both"]:
            sel = [r for r in rows if (part == "all" or r[0]["part"] == part) and font_name in ("both", r[1])]
            if sel:
                line(part, font_name, sel)
    for part in WIDE_PARTS:
        sel = [r for r in rows if r[0]["part"] == part]
        if not sel:
            continue
        print(f"\n{part} by material class (every font):")
        for cls in ("drumless", "3/4", "6/8", "12/8", "slow", "fast", "off-tonic"):
            chosen = [r for r in sel if cls in classes(r[0])]
            if chosen:
                line(cls, "all", chosen)
    print()
    print("pieces without a pulse (tempo and key answers):")
    for wav in pulseless:
        o, e = ours.get(wav, {}), peer_as(peer, "edma").get(wav, {})
        peer_text = f"   peer {e.get('bpm')} BPM, {e.get('key')} {e.get('mode')} ({e.get('keyStrength') or 0:.2f})" if e else ""
        print(f"  {os.path.basename(wav):34} ours {o.get('bpm')} BPM, key {o.get('key')} {o.get('mode')} "
              f"({o.get('keyConfidence')}){peer_text}")
    cpu = sum(ours[w]["cpu"] for w in wavs if w in ours)
    audio = sum(ours[w]["audioSeconds"] for w in wavs if w in ours)
    readcpu = sum(ours[w]["readCpu"] for w in wavs if w in ours)
    floor = sum(ours[w]["sndfileCpu"] for w in wavs if w in ours)
    if cpu > 0:
        print(f"\nours, one core: whole analysis {audio / cpu:.0f}x real time per file "
              f"(read, mono, 22 050 Hz and loudness {readcpu:.2f} s, a plain libsndfile read {floor:.2f} s, "
              f"ratio {readcpu / max(floor, 1e-9):.2f}; analysis after reading {audio / max(cpu - readcpu, 1e-9):.0f}x)")
    if peer:
        pcpu = sum(peer[w].get("seconds", 0) for w in wavs if w in peer)
        if pcpu > 0:
            print(f"peer: {audio / pcpu:.0f}x real time per file (three key extractors and the rhythm extractor, "
                  "after decoding)")
    if not args.out:
        shutil.rmtree(out_dir)


if __name__ == "__main__":
    main()
