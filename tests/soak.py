#!/usr/bin/env python3
"""Integrity soak: random lines of every byte value and of lengths from 0 to
over a megabyte, sent in bursts and pauses through horlet -f '%s.%%@ '.
The output with its stamps removed must hash to the input's hash, stamps
must never go backwards, and peak memory must stay small.

usage: soak.py HORLET [MEGABYTES]"""
import hashlib, random, re, subprocess, sys, tempfile, time

horlet = sys.argv[1]
total = int(sys.argv[2] if len(sys.argv) > 2 else 300) * 1_000_000
stamp = re.compile(rb"(\d+)\.(\d{6}) ")
rng = random.Random(20261210)


def line_lengths():
    while True:
        r = rng.random()
        if r < 0.05:
            yield 0
        elif r < 0.997:
            yield rng.randrange(1, 300)
        else:
            yield rng.randrange(1_000_000, 1_300_000)


def run(size, final_newline):
    pool = rng.randbytes(2_000_000).replace(b"\n", b"\x0b")
    digest = hashlib.sha256()
    lines = 0
    with tempfile.TemporaryFile() as out:
        p = subprocess.Popen([horlet, "-f", "%s.%%@ "], stdin=subprocess.PIPE, stdout=out)

        def send(data):
            # Bursts of random size, with a pause now and then.
            while data:
                n = rng.randrange(1, 1 << 20)
                p.stdin.write(data[:n])
                p.stdin.flush()
                data = data[n:]
                if rng.random() < 0.02:
                    time.sleep(rng.random() * 0.01)

        sent = 0
        for n in line_lengths():
            if sent >= size:
                break
            off = rng.randrange(0, len(pool) - n)
            body = pool[off:off + n]
            last = sent + n + 1 >= size
            data = body if last and not final_newline else body + b"\n"
            digest.update(data)
            send(data)
            sent += len(data)
            lines += n > 0
        # The peak so far, while horlet still runs; what is left is the end.
        with open(f"/proc/{p.pid}/status") as status:
            peak = max(int(l.split()[1]) for l in status if l.startswith("VmHWM"))
        p.stdin.close()
        if p.wait() != 0:
            sys.exit(f"horlet exited with {p.returncode}")

        out.seek(0)
        back = hashlib.sha256()
        previous = (0, 0)
        stamps = 0
        for line in out:
            if line == b"\n":
                back.update(line)
                continue
            m = stamp.match(line)
            if not m:
                sys.exit(f"unstamped line after {stamps} stamps: {line[:40]!r}")
            t = (int(m.group(1)), int(m.group(2)))
            if t < previous:
                sys.exit(f"stamp went backwards: {previous} then {t}")
            previous = t
            stamps += 1
            back.update(line[m.end():])
        if back.digest() != digest.digest():
            sys.exit("output without stamps differs from the input")
        if stamps != lines:
            sys.exit(f"{stamps} stamps for {lines} non-empty lines")
        return sent, lines, peak


start = time.time()
volume = peak = 0
for final_newline in (True, False):
    sent, lines, hwm = run(total // 2, final_newline)
    volume += sent
    peak = max(peak, hwm)
    print(f"{sent} bytes, {lines} stamped lines, final newline {final_newline}: hashes match")
print(f"soak: {volume} bytes in {time.time() - start:.1f} s, peak resident memory {peak} KiB")
if peak > 4096:
    sys.exit("peak resident memory above 4 MiB")
