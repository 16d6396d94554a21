#!/usr/bin/env python3
"""Writes the input files of scripts/compare-builds.sh into FOLDER.

    compare_inputs.py FOLDER

Small WAVE files of every kind qor reads or refuses (8/16-bit, mono/stereo, padded block
aligns, silence at the ends, loud and all-quiet signals, extra chunks, malformed and truncated
headers), and a few of several MiB whose data ends inside a 1 MiB block. Everything comes from
fixed seeds, so every run writes the same bytes. FOLDER/steps.txt lists "name steps" for the
files whose step count the caller uses to choose lengths around it.
"""
import math
import os
import random
import struct
import sys

PAD = 0xA5  # padding bytes of a wide block align: not silence, so a copy that loses them shows


def chunk(cid, body, size=None):
    """One chunk; `size` overrides the size field (for chunks that lie about their length)."""
    return cid + struct.pack("<I", (len(body) if size is None else size) & 0xFFFFFFFF) + body


def fmt(channels, rate, bits, align=None, tag=1, extra=b""):
    if align is None:
        align = channels * ((bits + 7) // 8)
    body = struct.pack("<HHIIHH", tag & 0xFFFF, channels, rate, rate * align, align, bits)
    return chunk(b"fmt ", body + extra)


def riff(*chunks, form=b"WAVE", magic=b"RIFF", size=None):
    body = form + b"".join(chunks)
    return magic + struct.pack("<I", (len(body) if size is None else size) & 0xFFFFFFFF) + body


def clamp(v, bits):
    lo, hi = (-128, 127) if bits == 8 else (-32768, 32767)
    return lo if v < lo else hi if v > hi else v


def signal(n, channels, bits, amp, heads, tails, seed, rate=44100, floor=None):
    """Tones with some noise between each channel's head and tail silence; the silence holds
    noise of at most `floor`, below the default thresholds (16 and 1024)."""
    rng = random.Random(seed)
    if floor is None:
        floor = 3 if bits == 8 else 200
    steps = []
    for i in range(n):
        t = i / rate
        step = []
        for c in range(channels):
            if heads[c] <= i < n - tails[c]:
                x = amp * (0.6 * math.sin(2 * math.pi * (220 + 110 * c + 37 * seed) * t)
                           + 0.3 * math.sin(2 * math.pi * 1375 * t + c)
                           + rng.uniform(-0.1, 0.1))
            else:
                x = rng.uniform(-floor, floor)
            step.append(clamp(int(round(x)), bits))
        steps.append(step)
    return steps


def pcm(steps, bits, align=None):
    """Packs steps of signed values: 8-bit as unsigned bytes, 16-bit little-endian, each step
    padded to `align` bytes."""
    out = bytearray()
    for step in steps:
        b = bytearray()
        for v in step:
            if bits == 8:
                b.append((v + 128) & 0xFF)
            else:
                b += struct.pack("<h", v)
        if align is not None:
            b += bytes([PAD]) * (align - len(b))
        out += b
    return bytes(out)


def wave(channels, bits, rate, steps, align=None, before=(), after=(), fmt_extra=b""):
    return riff(fmt(channels, rate, bits, align, extra=fmt_extra), *before,
                chunk(b"data", pcm(steps, bits, align)), *after)


def noise_pcm(n, channels, bits, levels, heads, tails, seed, align=None, segment=65521):
    """Fast bulk samples for the large files: noise whose peak changes every `segment` steps
    through `levels` (peak of the high byte for 16-bit, of the value for 8-bit), digital
    silence before each channel's head and after its tail."""
    rng = random.Random(seed)
    width = bits // 8
    if align is None:
        align = channels * width
    total = n * channels
    tables = {}

    def table(level):
        if level not in tables:
            if bits == 8:
                tables[level] = bytes((128 + b % (2 * level + 1) - level) & 0xFF for b in range(256))
            else:
                tables[level] = bytes((b % (2 * level + 1) - level) & 0xFF for b in range(256))
        return tables[level]

    main = bytearray(total)  # the high byte (16-bit) or the sample (8-bit), interleaved
    for k, first in enumerate(range(0, n, segment)):
        last = min(n, first + segment)
        main[first * channels:last * channels] = rng.randbytes((last - first) * channels).translate(
            table(levels[k % len(levels)]))
    low = bytearray(rng.randbytes(total)) if bits == 16 else None
    quiet = 128 if bits == 8 else 0
    for c in range(channels):
        for a, b in ((0, heads[c]), (n - tails[c], n)):
            count = len(range(a * channels + c, b * channels, channels))
            main[a * channels + c:b * channels:channels] = bytes([quiet]) * count
            if low is not None:
                low[a * channels + c:b * channels:channels] = bytes(count)
    data = bytearray(n * align)
    for c in range(channels):
        if bits == 8:
            data[c::align] = main[c::channels]
        else:
            data[2 * c::align] = low[c::channels]
            data[2 * c + 1::align] = main[c::channels]
    for k in range(channels * width, align):
        data[k::align] = bytes([PAD]) * n
    return bytes(data)


def big(channels, bits, n, levels, heads, tails, seed, align=None, rate=44100, peaks=()):
    """A large file of noise_pcm samples; `peaks` lists (step, channel, value) samples written
    over the noise, for extremes that lie in exactly one place."""
    data = bytearray(noise_pcm(n, channels, bits, levels, heads, tails, seed, align))
    width = bits // 8
    if align is None:
        align = channels * width
    for step, c, value in peaks:
        at = step * align + c * width
        if bits == 8:
            data[at] = (value + 128) & 0xFF
        else:
            struct.pack_into("<h", data, at, value)
    return riff(fmt(channels, rate, bits, align), chunk(b"data", bytes(data)))


def spikes(n, count, seed):
    """A 16-bit mono signal that a gain of 2 clips exactly `count` times."""
    steps = signal(n, 1, 16, 6000, [300], [300], seed)
    for k in range(count):
        steps[400 + 60 * k] = [20000 if k % 2 == 0 else -20000]
    return steps


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    files = {}
    counts = {}

    def put(name, data, steps=None):
        files[name] = data
        if steps is not None:
            counts[name] = steps

    # Ordinary sources: odd step counts, silence at the ends that differs per channel.
    m16 = signal(3001, 1, 16, 9000, [401], [333], 1)
    s16 = signal(2999, 2, 16, 9000, [300, 357], [250, 199], 2)
    m8 = signal(2501, 1, 8, 60, [211], [150], 3, rate=22050)
    s8 = signal(2003, 2, 8, 70, [100, 160], [90, 40], 4, rate=22050)
    put("m16.wav", wave(1, 16, 44100, m16), 3001)
    put("s16.wav", wave(2, 16, 44100, s16), 2999)
    put("m8.wav", wave(1, 8, 22050, m8), 2501)
    put("s8.wav", wave(2, 8, 22050, s8), 2003)
    # Second sources for the two-source operations, sound starting elsewhere.
    put("m16b.wav", wave(1, 16, 44100, signal(2800, 1, 16, 7000, [150], [500], 5)), 2800)
    put("s16b.wav", wave(2, 16, 44100, signal(3500, 2, 16, 8000, [520, 480], [100, 300], 6)), 3500)
    put("m8b.wav", wave(1, 8, 22050, signal(1777, 1, 8, 50, [300], [77], 7, rate=22050)), 1777)
    put("s8b.wav", wave(2, 8, 22050, signal(2222, 2, 8, 40, [20, 420], [200, 10], 8, rate=22050)), 2222)
    # Other rates (format mismatches, resampling up and down).
    put("s16r.wav", wave(2, 16, 22050, signal(2999, 2, 16, 9000, [300, 357], [250, 199], 2, rate=22050)), 2999)
    put("m16_22k.wav", wave(1, 16, 22050, signal(2205, 1, 16, 9000, [100], [105], 9, rate=22050)), 2205)
    put("s16_8k.wav", wave(2, 16, 8000, signal(1601, 2, 16, 9000, [90, 91], [30, 0], 10, rate=8000)), 1601)
    # Padded block aligns.
    put("pad16s6.wav", wave(2, 16, 44100, signal(1501, 2, 16, 9000, [120, 140], [100, 80], 11), align=6), 1501)
    put("pad16m4.wav", wave(1, 16, 44100, signal(1999, 1, 16, 9000, [333], [222], 12), align=4), 1999)
    put("pad8m2.wav", wave(1, 8, 22050, signal(2001, 1, 8, 60, [150], [151], 13, rate=22050), align=2), 2001)
    # Levels: clipping under gain, exactly 32 and 33 clipped samples at /m2, all quiet, all zero,
    # the full-range extremes, one loud step, one silent channel.
    put("loud16s.wav", wave(2, 16, 44100, signal(2001, 2, 16, 30000, [100, 120], [100, 50], 14)), 2001)
    loud16m = signal(1501, 1, 16, 31000, [50], [50], 15)
    loud16m[700:704] = [[-32768], [32767], [-32768], [32767]]
    put("loud16m.wav", wave(1, 16, 44100, loud16m), 1501)
    put("few32.wav", wave(1, 16, 44100, spikes(3001, 32, 16)), 3001)
    put("few33.wav", wave(1, 16, 44100, spikes(3001, 33, 16)), 3001)
    # The ends of the range on either channel and on both: the channels' sum or difference, a
    # gain of 1 and a mix over silence land on 32767 and -32768 exactly, and beyond them.
    full16s = signal(1001, 2, 16, 9000, [50, 60], [70, 80], 48)
    full16s[500:506] = [[32767, 0], [0, 32767], [-32768, 0], [0, -32768], [32767, 32767], [-32768, 32767]]
    put("full16s.wav", wave(2, 16, 44100, full16s), 1001)
    loud8m = signal(1201, 1, 8, 125, [20], [20], 17, rate=22050)
    loud8m[600:602] = [[-128], [127]]
    put("loud8m.wav", wave(1, 8, 22050, loud8m), 1201)
    put("quiet16.wav", wave(2, 16, 44100, signal(2999, 2, 16, 800, [0, 0], [0, 0], 18)), 2999)
    put("quiet8.wav", wave(1, 8, 22050, signal(2501, 1, 8, 12, [0], [0], 19, rate=22050)), 2501)
    put("zero16.wav", wave(1, 16, 44100, [[0]] * 1000), 1000)
    put("oneloud.wav", wave(1, 16, 44100, [[0], [5000]] + [[0]] * 997), 999)
    oneside = signal(2999, 2, 16, 9000, [700, 0], [200, 0], 20)
    for step in oneside:
        step[1] = 0
    put("oneside.wav", wave(2, 16, 44100, oneside), 2999)
    put("tiny16s.wav", wave(2, 16, 44100, [[12000, -12000]]), 1)
    put("tiny8m.wav", wave(1, 8, 22050, [[90]]), 1)
    # Container variations that are still valid.
    put("fmt18.wav", wave(2, 16, 44100, signal(1777, 2, 16, 9000, [10, 20], [30, 40], 21), fmt_extra=b"\0\0"), 1777)
    put("chunks.wav", wave(1, 16, 44100, signal(2003, 1, 16, 9000, [99], [98], 22),
                            before=[chunk(b"LIST", b"INFOx"), chunk(b"junk", b"\1" * 12)],
                            after=[chunk(b"LIST", b"INFOISFT\4\0\0\0qor\0")]), 2003)
    # An odd-sized chunk followed by the pad byte that writers add.
    put("padbyte.wav", wave(1, 16, 44100, signal(1501, 1, 16, 9000, [50], [51], 39),
                            before=[chunk(b"LIST", b"INFOx") + b"\0"]), 1501)
    put("fact16.wav", wave(1, 16, 44100, signal(2002, 1, 16, 9000, [200], [201], 23),
                            before=[chunk(b"fact", struct.pack("<I", 2002))]), 2002)
    put("fact8.wav", wave(2, 8, 22050, signal(1500, 2, 8, 60, [10, 11], [12, 13], 24, rate=22050),
                           before=[chunk(b"fact", struct.pack("<II", 1500, 7))]), 1500)
    put("factafter.wav", wave(1, 16, 44100, signal(1000, 1, 16, 9000, [100], [100], 25),
                               after=[chunk(b"fact", struct.pack("<I", 5))]), 1000)
    # More bytes after the data chunk than its size plus its step count: the walk goes on into
    # them (here: zero bytes, read as empty unknown chunks).
    trail = signal(100, 1, 16, 9000, [10], [10], 26)
    put("trailer.wav", riff(fmt(1, 44100, 16), chunk(b"data", pcm(trail, 16)), chunk(b"LIST", bytes(600))), 100)
    # A second data chunk placed where the walk lands after the first (8 + 2 x size + steps).
    first = pcm(signal(500, 2, 16, 9000, [50, 60], [70, 80], 27), 16)
    second = pcm(signal(700, 2, 16, 7000, [30, 40], [50, 60], 28), 16)
    put("twodata.wav", riff(fmt(2, 44100, 16), chunk(b"data", first), bytes(len(first) + 500),
                            chunk(b"data", second)), 700)
    put("riffsz.wav", riff(fmt(2, 22050, 8), chunk(b"data", pcm(signal(1200, 2, 8, 60, [5, 6], [7, 8], 29), 8)),
                           size=123), 1200)
    odd = pcm(signal(1000, 1, 16, 9000, [100], [100], 30), 16) + b"\x7f"
    put("odddata.wav", riff(fmt(1, 44100, 16), chunk(b"data", odd)), 1000)

    # Malformed and refused sources.
    good = files["m16.wav"]
    data16 = pcm(m16, 16)
    put("factbad.wav", wave(1, 16, 44100, m16, before=[chunk(b"fact", struct.pack("<I", 3000))]))
    put("notriff.wav", b"RIFX" + good[4:])
    put("notwave.wav", good[:8] + b"AVI " + good[12:])
    put("empty.wav", b"")
    put("cut6.wav", good[:6])
    put("cut10.wav", good[:10])
    put("cut30.wav", good[:30])
    put("cut40.wav", good[:40])
    put("cut42.wav", good[:42])
    put("overrun.wav", riff(fmt(1, 44100, 16), chunk(b"data", data16[:2000], size=10000)))
    put("overrun8.wav", riff(fmt(2, 22050, 8), chunk(b"data", pcm(s8, 8)[:1001], size=4000)))
    put("negsize.wav", riff(fmt(1, 44100, 16), chunk(b"data", data16, size=0xFFFFFFF0)))
    put("negsize2.wav", riff(fmt(1, 44100, 16), chunk(b"data", data16, size=0x80000000)))
    put("fmtneg.wav", riff(chunk(b"fmt ", b"", size=0xFFFFFFF8), chunk(b"data", data16)))
    put("zerostep.wav", riff(fmt(1, 44100, 16), chunk(b"data", b"")))
    put("onebyte.wav", riff(fmt(1, 44100, 16), chunk(b"data", b"\x10")))
    put("nofmt.wav", riff(chunk(b"data", data16)))
    put("datafirst.wav", riff(chunk(b"data", data16), fmt(1, 44100, 16)))
    put("nodata.wav", riff(fmt(1, 44100, 16), chunk(b"LIST", b"INFO")))
    put("align0.wav", riff(fmt(1, 44100, 16, align=0), chunk(b"data", data16)))
    put("fmtshort.wav", riff(chunk(b"fmt ", struct.pack("<HHI", 1, 1, 44100)), chunk(b"data", data16)))
    put("float.wav", riff(fmt(1, 44100, 32, tag=3), chunk(b"data", bytes(4000))))
    put("ext.wav", riff(fmt(2, 44100, 16, tag=0xFFFE, extra=bytes(24)), chunk(b"data", pcm(s16, 16))))
    put("pcm24.wav", riff(fmt(2, 44100, 24), chunk(b"data", bytes(range(256)) * 24)))
    put("ch3.wav", riff(fmt(3, 44100, 16), chunk(b"data", bytes(range(256)) * 24)))
    put("bits12.wav", riff(fmt(1, 44100, 12, align=2), chunk(b"data", data16)))

    # Large files: data that ends inside a 1 MiB block, odd step counts, and data of exactly
    # 1 MiB and one step either side of it. big16s has a segment loud enough to clip at /m2.
    put("big16s.wav", big(2, 16, 1500001, [40, 20, 90, 10, 48], [30000, 30011], [25001, 24999], 31), 1500001)
    put("big16sb.wav", big(2, 16, 1300003, [30, 45, 12], [70001, 69000], [1000, 1003], 32), 1300003)
    put("big16m.wav", big(1, 16, 2400007, [35, 60, 5], [44100], [44099], 33), 2400007)
    put("big8m.wav", big(1, 8, 4500001, [60, 20, 127, 40], [1001], [999], 34), 4500001)
    put("bigpad6.wav", big(2, 16, 1000003, [40, 25], [5000, 5001], [7000, 7001], 35, align=6), 1000003)
    put("e1m.wav", big(2, 16, 262144, [40, 20], [100, 101], [102, 103], 36), 262144)
    put("e1mp.wav", big(2, 16, 262145, [40, 20], [200, 201], [100, 100], 37), 262145)
    put("e1mm.wav", big(2, 16, 262143, [40, 20], [300, 100], [100, 300], 38), 262143)
    # Sources of three blocks and part of a fourth (about 3.3 MB) for every operation: quiet
    # enough that a gain of 2 clips only the one peak each 16-bit file holds. The peaks sit on the
    # last step of a block or of the file, the steps a block walk that stops one short misses;
    # each is the file's only extreme, so `max` scales by a different factor when it is missed.
    block = lambda align: (1 << 20) // align  # steps per 1 MiB block
    put("l16s.wav", big(2, 16, 825001, [40, 20, 60, 10], [3000, 20001], [4000, 1], 40,
                        peaks=[(2 * block(4) - 1, 1, 31500)]), 825001)
    # l16m's last block holds one step, its peak: the last loud step is the first of its block.
    put("l16m.wav", big(1, 16, 3 * block(2) + 1, [50, 15, 60], [44100], [0], 41,
                        peaks=[(3 * block(2), 0, -31700)]), 3 * block(2) + 1)
    put("l8s.wav", big(2, 8, 1650001, [60, 20, 127, 40], [501, 70000], [3, 800], 42, rate=22050), 1650001)
    # Padded steps: the extremes go through a walk of their own.
    put("p6s.wav", big(2, 16, 550003, [40, 25, 55], [5000, 5001], [7000, 7001], 43, align=6,
                       peaks=[(2 * block(6) - 1, 1, 31900)]), 550003)
    put("p8s.wav", big(2, 16, 412501, [30, 55], [100, 900], [10, 20], 44, align=8,
                       peaks=[(412500, 0, -32000), (block(8) - 1, 1, 31000)]), 412501)
    # Past 64 KiB of data but within one block: whole-data dumps, and lofi and convert at and
    # above the source's rate.
    put("w16s22.wav", big(2, 16, 50001, [40, 90], [700, 300], [200, 1200], 45, rate=22050), 50001)
    put("mid8m.wav", big(1, 8, 70001, [60, 127], [33], [44], 46, rate=22050), 70001)
    put("midpad6.wav", big(2, 16, 12001, [40, 80], [10, 20], [30, 40], 47, align=6), 12001)

    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    with open(os.path.join(out, "steps.txt"), "w") as f:
        for name, n in counts.items():
            f.write(f"{name} {n}\n")


if __name__ == "__main__":
    main()
