// The peer of scripts/music-corpus.py: key (with each of three published
// profiles: bgate, edma, shaath) and tempo of each WAV file named on the
// command line, through essentia.js, which the caller installs with npm and
// names through NODE_PATH. Prints one JSON object per file. Never part of
// the program.
'use strict';
const fs = require('fs');
const { Essentia, EssentiaWASM } = require('essentia.js');

function readWav(path) {
  const buf = fs.readFileSync(path);
  if (buf.toString('ascii', 0, 4) !== 'RIFF' || buf.toString('ascii', 8, 12) !== 'WAVE') throw new Error('not WAV');
  let at = 12, fmt = null, data = null;
  while (at + 8 <= buf.length) {
    const id = buf.toString('ascii', at, at + 4), size = buf.readUInt32LE(at + 4);
    if (id === 'fmt ') fmt = { tag: buf.readUInt16LE(at + 8), channels: buf.readUInt16LE(at + 10),
                                rate: buf.readUInt32LE(at + 12), bits: buf.readUInt16LE(at + 22) };
    if (id === 'data') data = [at + 8, Math.min(size, buf.length - at - 8)];
    at += 8 + size + (size & 1);
  }
  if (!fmt || !data) throw new Error('no fmt or data chunk');
  const bytes = fmt.bits / 8, frames = Math.floor(data[1] / (bytes * fmt.channels));
  const mono = new Float32Array(frames);
  for (let i = 0; i < frames; ++i) {
    let sum = 0;
    for (let c = 0; c < fmt.channels; ++c) {
      const p = data[0] + (i * fmt.channels + c) * bytes;
      sum += fmt.bits === 16 ? buf.readInt16LE(p) / 32768 : fmt.bits === 32 && fmt.tag === 3 ? buf.readFloatLE(p)
           : fmt.bits === 24 ? (buf.readIntLE(p, 3) / 8388608) : 0;
    }
    mono[i] = sum / fmt.channels;
  }
  return { mono, rate: fmt.rate };
}

const essentia = new Essentia(EssentiaWASM);
for (const file of process.argv.slice(2)) {
  const out = { file };
  try {
    const { mono, rate } = readWav(file);
    const start = process.hrtime.bigint();
    const signal = essentia.arrayToVector(mono);
    const sharps = { Db: 'C#', Eb: 'D#', Gb: 'F#', Ab: 'G#', Bb: 'A#' };
    out.keys = {};
    for (const profile of ['bgate', 'edma', 'shaath']) {
      const k = essentia.KeyExtractor(signal, true, 4096, 4096, 12, 3500, 60, 25, 0.2, profile, rate);
      out.keys[profile] = { key: sharps[k.key] || k.key, mode: k.scale, strength: k.strength };
    }
    if (mono.length / rate > 2) {
      const r = essentia.RhythmExtractor2013(signal, 208, 'multifeature', 40);
      out.bpm = r.bpm;
      out.tempoConfidence = r.confidence;
    } else {
      out.bpm = null;
    }
    out.seconds = Number(process.hrtime.bigint() - start) / 1e9;
    signal.delete();
  } catch (e) {
    out.error = String(e);
  }
  console.log(JSON.stringify(out));
}
