#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
# Measures the piano pedals (pedal mode 1) through quillon_render: the
# half-pedal's decay, mode 0 kept, the sostenuto, the soft pedal and the
# steps at pedal moves. Writes its MIDI files and settings to a scratch
# folder and prints one line per measure.
#
# usage: bench/pedal_measure.py RUN_FOLDER [OLD_RUN_FOLDER]
#   RUN_FOLDER      a run folder with quillon_render and its sounds
#   OLD_RUN_FOLDER  another build's run folder: its render of a file full of
#                   pedal moves in mode 0 must equal this build's, bit for bit
import math
import os
import struct
import subprocess
import sys
import tempfile
import wave

RATE = 44100
TICKS_PER_SECOND = 960  # 480 ticks a quarter at 120 beats a minute


def settings_text(pedal_mode):
    """The default settings, 2103 lines, with the pedal mode."""
    lines = [" 0", " 400", " 300", " 2", " 0"] + ["127"] * 2048 + ["finlist"]
    reverb3 = ["0.55", "0.34", "225", "300"]
    bands = ["200", "8000", "2", "1", "1.2", "1"]
    lines += ["0.08", " 0", " 0"] + reverb3 + ["0.45", "0.3", "225", "300"]
    lines += [" 0"] + bands + [" 0"] + bands + [" 0"] + reverb3
    lines += ["1", " 1", " 1", " 1024", " 6", " 0", " 0", " 0", " 0", " 0", "", " 0"]
    lines += ["", "", "", "", " 0", " 0", " %d" % pedal_mode]
    assert len(lines) == 2103 and lines[2053] == "finlist"
    return "\r\n".join(lines) + "\r\n"


def varlen(n):
    out = [n & 0x7F]
    n >>= 7
    while n:
        out.insert(0, 0x80 | (n & 0x7F))
        n >>= 7
    return bytes(out)


def midi_file(events, end):
    """A format 0 file of (seconds, status, data1, data2) on channel 1,
    lasting until `end` seconds."""
    track = bytearray(varlen(0) + bytes([0xFF, 0x51, 3, 0x07, 0xA1, 0x20]))
    tick = 0
    for seconds, status, d1, d2 in sorted(events, key=lambda e: e[0]):
        t = int(round(seconds * TICKS_PER_SECOND))
        track += varlen(t - tick) + bytes([status, d1, d2])
        tick = t
    track += varlen(int(end * TICKS_PER_SECOND) - tick) + bytes([0xFF, 0x2F, 0])
    return b"MThd" + struct.pack(">IHHH", 6, 0, 1, 480) + b"MTrk" + struct.pack(">I", len(track)) + bytes(track)


def on(t, key, velocity=100):
    return (t, 0x90, key, velocity)


def off(t, key):
    return (t, 0x80, key, 0)


def cc(t, controller, value):
    return (t, 0xB0, controller, value)


class Renderer:
    def __init__(self, run, scratch):
        self.run = run
        self.scratch = scratch
        self.count = 0

    def render(self, events, end, pedal_mode, run=None):
        self.count += 1
        base = os.path.join(self.scratch, "r%d" % self.count)
        with open(base + ".mid", "wb") as f:
            f.write(midi_file(events, end))
        with open(base + ".ini", "w", newline="") as f:
            f.write(settings_text(pedal_mode))
        exe = os.path.join(run or self.run, "quillon_render")
        subprocess.run([exe, base + ".mid", base + ".wav", "--settings", base + ".ini", "--quiet"], check=True)
        with wave.open(base + ".wav") as w:
            assert w.getframerate() == RATE and w.getsampwidth() == 2
            raw = w.readframes(w.getnframes())
            channels = w.getnchannels()
        samples = struct.unpack("<%dh" % (len(raw) // 2), raw)
        return raw, [samples[i] for i in range(0, len(samples), channels)]  # left


def rms_db(x, t, width=0.01):
    """The level in dB (full scale 1) of the `width` seconds from t."""
    a, b = int(t * RATE), int((t + width) * RATE)
    part = x[a:b] or [0]
    return 10 * math.log10(sum(v * v for v in part) / len(part) / 32768.0 ** 2 + 1e-20)


def time_to_fall(x, t0, db, step=0.002):
    """Seconds from t0 until the 10 ms level is `db` under the level just before t0."""
    ref = rms_db(x, t0 - 0.02, 0.02)
    t = t0
    while t < len(x) / RATE:
        if rms_db(x, t) <= ref - db:
            return t - t0
        t += step
    return float("inf")


def main():
    run = os.path.abspath(sys.argv[1])
    old = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else None
    r = Renderer(run, tempfile.mkdtemp(prefix="qd_pedals_"))
    end = 12.0

    # Half-pedal: key 60 released at 0.5 s with the sustain at each value.
    _, held = r.render([on(0.01, 60), off(11.0, 60)], end, 1)
    t_held = time_to_fall(held, 0.5, 30)
    _, today = r.render([cc(0.0, 64, 0), on(0.01, 60), off(0.5, 60)], end, 0)
    t_today = time_to_fall(today, 0.5, 30)
    print("held note: %.3f s to -30 dB after 0.5 s; today's release (mode 0): %.3f s" % (t_held, t_today))
    times = []
    for value in (0, 30, 50, 70, 90, 127):
        _, x = r.render([cc(0.0, 64, value), on(0.01, 60), off(0.5, 60)], end, 1)
        times.append(time_to_fall(x, 0.5, 30))
        print("sustain %3d: %.3f s from the key's release to -30 dB" % (value, times[-1]))
    rising = all(a < b for a, b in zip(times, times[1:]))
    print("rises with every step: %s; at 0 / today's release %.3f; at 127 / held note %.3f"
          % (rising, times[0] / t_today, times[-1] / t_held))

    # Mode 0 kept: 64 at 100 releases as 64 at 0 does, bit for bit.
    moves = [cc(0.0, 64, 100), on(0.01, 60), on(0.02, 64), off(0.5, 60), off(0.6, 64), cc(0.7, 66, 127),
             cc(0.8, 67, 127), on(0.9, 67), off(1.2, 67), cc(1.3, 64, 127), on(1.4, 72), off(1.5, 72),
             cc(2.0, 64, 60), cc(2.2, 64, 127), cc(2.5, 64, 0), cc(2.6, 66, 0), cc(2.7, 67, 0)]
    raw100, _ = r.render([cc(0.0, 64, 100), on(0.01, 60), off(0.5, 60)], end, 0)
    raw0, _ = r.render([cc(0.0, 64, 0), on(0.01, 60), off(0.5, 60)], end, 0)
    print("mode 0, sustain 100 releases as 0: %s" % ("identical" if raw100 == raw0 else "DIFFERENT"))
    switch = [on(0.01, 60), on(0.02, 64), cc(0.3, 64, 127), off(0.5, 60), off(0.6, 64), on(0.9, 67),
              cc(1.2, 64, 0), off(1.3, 67), cc(1.5, 64, 127), on(1.6, 72), off(1.7, 72), cc(2.5, 64, 0)]
    a, _ = r.render(switch, end, 0)
    b, _ = r.render(switch, end, 1)
    print("a switch pedal (0 and 127) in mode 1 against mode 0: %s" % ("identical" if a == b else "DIFFERENT"))
    if old:
        mine, _ = r.render(moves, end, 0)
        theirs, _ = r.render(moves, end, 0, old)
        print("mode 0 against the other build, pedal moves: %s" % ("identical" if mine == theirs else "DIFFERENT"))

    # Sostenuto: C4 and E4 held, 66 down, keys up, G4 struck and released.
    common = [on(0.0, 60), on(0.0, 64), on(0.8, 67), off(1.2, 67)]
    _, sost = r.render(common + [cc(0.3, 66, 127), off(0.5, 60), off(0.5, 64), cc(3.0, 66, 0)], end, 1)
    _, ref = r.render(common + [off(3.0, 60), off(3.0, 64)], end, 1)
    worst = max(abs(rms_db(sost, t) - rms_db(ref, t)) for t in [0.5 + 0.01 * i for i in range(250)])
    _, g4 = r.render([on(0.8, 67), off(1.2, 67)], end, 1)
    print("sostenuto: C4+E4 (+G4) against keys held, 0.5..3.0 s: within %.3f dB" % worst)
    print("  G4 alone: %.3f s from its release to -60 dB" % time_to_fall(g4, 1.2, 60))
    print("  C4+E4 after 66 up: %.3f s to -60 dB (note-off delay 0.08 s)" % time_to_fall(sost, 3.0, 60))

    # Soft pedal: velocity 100 with 67 down against velocity 70.
    _, soft = r.render([cc(0.0, 67, 127), on(0.01, 60, 100), off(2.0, 60)], end, 1)
    _, v70 = r.render([on(0.01, 60, 70), off(2.0, 60)], end, 1)
    _, v100 = r.render([on(0.01, 60, 100), off(2.0, 60)], end, 1)
    d = rms_db(soft, 0.02, 1.5) - rms_db(v70, 0.02, 1.5)
    d100 = rms_db(v100, 0.02, 1.5) - rms_db(v70, 0.02, 1.5)
    print("soft pedal: velocity 100 with 67 down is %+.3f dB from velocity 70 (without it: %+.3f dB)" % (d, d100))

    # Steps: the largest sample-to-sample move within 2 ms of each pedal move,
    # against the largest in the 50 ms before it.
    times = [1.0, 1.3, 1.6, 1.9, 2.2, 2.5]
    values = [60, 30, 110, 40, 90, 50]
    _, x = r.render([on(0.01, 60), on(0.01, 67), cc(0.2, 64, 127), off(0.5, 60), off(0.5, 67)]
                    + [cc(t, 64, v) for t, v in zip(times, values)], end, 1)
    worst = 0.0
    for t in times:
        a = int(t * RATE)
        near = max(abs(x[i] - x[i - 1]) for i in range(a - int(0.002 * RATE), a + int(0.002 * RATE)))
        before = max(abs(x[i] - x[i - 1]) for i in range(a - int(0.05 * RATE), a - int(0.002 * RATE)))
        worst = max(worst, near / max(before, 1))
    print("pedal moves: largest step near a move / largest in the 50 ms before: %.3f" % worst)


if __name__ == "__main__":
    main()
