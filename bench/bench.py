#!/usr/bin/env python3
"""Times every qor operation as a whole process on large files, beside the I/O floor
(`cat in > out`) and, where sox is installed, sox's nearest equivalent.

`info` prints running means, defined by a chain of divisions per channel; it settles them from
exact sums where it can and runs the chains only otherwise. It is measured against the
running-mean chain (qor-meanfloor: the file read and the bare running-mean chains over its
samples, nothing else), timed in the same run, and its printed means are checked against the
chain's.

Prints three tables:
- every operation: qor median, ratio to the floor, ratio to sox, the peak memory of qor and of sox
  in MiB, for `info` the ratio to the running-mean chain, and for a longer file the ratio to the
  same operation on the first one (18 when the cost is linear in the length);
- the read floor, for the 16-bit and the 8-bit file: `cat file` to /dev/null, `qor ask`,
  `qor info`, the running-mean chain and `sox stats`, each as a ratio to the read floor and as
  info's time over its own;
- replacing a file on a disk-backed folder (--disk-dir): a new result, a result that replaces an
  existing file (synced before it takes the old file's place), the same with /W, and a result
  written through into a file with a second hard link (its old bytes backed up first), beside
  `cat` into a file and `dd ... conv=fsync` (a copy synced to the disk);
- short files: --short-runs runs, one after the other, of `qor info /S` and `qor boost /m2` on a
  1-second 8 kHz file, of sox's equivalents and of /bin/true (the cost of starting a process).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_timed(cmd, cwd, runs, cpu=None):
    """Median wall time over `runs` runs after one warm-up, and the peak RSS (KiB) seen. With a
    list `cpu`, appends the median processor time (user + system, s) to it: the command's and that
    of /usr/bin/time, which reports the peak memory (a fraction of a millisecond)."""
    times = []
    cpus = []
    peak = 0
    for i in range(runs + 1):
        start = time.perf_counter()
        proc = subprocess.Popen(["/usr/bin/time", "-f", "%M"] + cmd, cwd=cwd, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)
        stderr = proc.stderr.read().decode(errors="replace")
        proc.stderr.close()
        # The processor time of /usr/bin/time and of the command it waited for.
        _, status, usage = os.wait4(proc.pid, 0)
        elapsed = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode not in (0, 1, 2):
            sys.exit(f"failed ({proc.returncode}): {' '.join(cmd)}\n{stderr[-2000:]}")
        peak = max(peak, int(stderr.strip().splitlines()[-1]))
        if i > 0:
            times.append(elapsed)
            cpus.append(usage.ru_utime + usage.ru_stime)
    if cpu is not None:
        cpu.append(statistics.median(cpus))
    return statistics.median(times), peak


def check_means(info_cmd, floor_cmd, cwd):
    """Stops the benchmark when the means `info` prints are not the floor's running means."""
    def means(cmd):
        out = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
        return [line for line in out.splitlines() if "] Avg/" in line]
    shown, running = means(info_cmd), means(floor_cmd)
    if not running or shown != running:
        sys.exit(f"info prints {shown}, the running means are {running}")


def operations(qor, steps):
    """(name, qor arguments, inputs, sox command or None). Inputs: st16, mono16, st8."""
    part = str(steps // 10)  # a tenth of the file, for head and cut

    def sox(*args):
        return ["sox", "-D"] + list(args)
    return [
        ("info", [qor, "info", "st16.wav"], ["st16.wav"], ["sox", "st16.wav", "-n", "stats"]),
        ("boost /B-3", [qor, "boost", "/B-3", "st16.wav", "out.wav"], ["st16.wav"], sox("st16.wav", "out.wav", "vol", "-3dB")),
        ("boost /m2", [qor, "boost", "/m2", "/F", "st16.wav", "out.wav"], ["st16.wav"], sox("st16.wav", "out.wav", "vol", "2")),
        ("max", [qor, "max", "st16.wav", "out.wav"], ["st16.wav"], sox("st16.wav", "out.wav", "gain", "-n")),
        ("add /v100", [qor, "add", "/v100", "st16.wav", "out.wav"], ["st16.wav"], sox("st16.wav", "out.wav", "dcshift", "0.003")),
        ("reverse", [qor, "reverse", "st16.wav", "out.wav"], ["st16.wav"], sox("st16.wav", "out.wav", "vol", "-1")),
        ("back", [qor, "back", "st16.wav", "out.wav"], ["st16.wav"], sox("st16.wav", "out.wav", "reverse")),
        ("head (a tenth)", [qor, "head", "/L" + part, "st16.wav", "out.wav"], ["st16.wav"], sox("st16.wav", "out.wav", "trim", "0", part + "s")),
        ("cut (a tenth)", [qor, "cut", "/L" + part, "st16.wav", "out.wav"], ["st16.wav"], sox("st16.wav", "out.wav", "trim", part + "s")),
        ("inssilent /L44100", [qor, "inssilent", "/L44100", "st16.wav", "out.wav"], ["st16.wav"], sox("st16.wav", "out.wav", "pad", "44100s")),
        ("l2mono", [qor, "l2mono", "st16.wav", "out.wav"], ["st16.wav"], sox("st16.wav", "out.wav", "remix", "1")),
        ("r2mono", [qor, "r2mono", "st16.wav", "out.wav"], ["st16.wav"], sox("st16.wav", "out.wav", "remix", "2")),
        ("lrmono", [qor, "lrmono", "/F", "st16.wav", "out.wav"], ["st16.wav"], sox("st16.wav", "out.wav", "remix", "1v1,2v1")),
        ("ccancel", [qor, "ccancel", "/F", "st16.wav", "out.wav"], ["st16.wav"], sox("st16.wav", "out.wav", "remix", "1v1,2v-1")),
        ("lrsprit", [qor, "lrsprit", "st16.wav", "out.wav"], ["st16.wav"], None),
        ("vcompress", [qor, "vcompress", "/t4000", "/M0.5", "st16.wav", "out.wav"], ["st16.wav"], None),
        ("sb8convert", [qor, "sb8convert", "st16.wav", "out.wav"], ["st16.wav"], sox("st16.wav", "-b", "8", "out.wav")),
        ("convert /f22050", [qor, "convert", "/f22050", "st16.wav", "out.wav"], ["st16.wav"], sox("st16.wav", "out.wav", "rate", "-q", "22050")),
        ("lofi", [qor, "lofi", "st16.wav", "out.wav"], ["st16.wav"], None),
        ("compare", [qor, "compare", "st16.wav", "st16b.wav"], ["st16.wav", "st16b.wav"], None),
        ("mix", [qor, "mix", "/F", "st16.wav", "st16b.wav", "out.wav"], ["st16.wav", "st16b.wav"], sox("-m", "st16.wav", "st16b.wav", "out.wav")),
        ("subtract", [qor, "subtract", "/F", "st16.wav", "st16b.wav", "out.wav"], ["st16.wav", "st16b.wav"], sox("-m", "st16.wav", "-v", "-1", "st16b.wav", "out.wav")),
        ("combine /L44100", [qor, "combine", "/L44100", "st16.wav", "st16b.wav", "out.wav"], ["st16.wav", "st16b.wav"], sox("st16.wav", "st16b.wav", "out.wav")),
        ("lrcombine", [qor, "lrcombine", "mono16.wav", "mono16b.wav", "out.wav"], ["mono16.wav", "mono16b.wav"], sox("-M", "mono16.wav", "mono16b.wav", "out.wav")),
        ("info (8-bit)", [qor, "info", "st8.wav"], ["st8.wav"], ["sox", "st8.wav", "-n", "stats"]),
        ("back (8-bit)", [qor, "back", "st8.wav", "out.wav"], ["st8.wav"], sox("st8.wav", "out.wav", "reverse")),
    ]


def read_floor(args, name, minutes, runs, have_sox):
    """The read-floor rows for one file: (label, median, × `cat file` to /dev/null, info ÷ this,
    median processor time)."""
    commands = [("cat to /dev/null (read floor)", ["cat", name]),
                ("qor ask", [args.qor, "ask", name]),
                ("qor info", [args.qor, "info", name]),
                ("running-mean chain (qor-meanfloor)", [args.meanfloor, name])]
    if have_sox:
        commands.append(("sox stats", ["sox", name, "-n", "stats"]))
    check_means([args.qor, "info", name], [args.meanfloor, name], args.dir)
    timed = []
    for label, cmd in commands:
        cpu = []
        timed.append((label, run_timed(cmd, args.dir, runs, cpu)[0], cpu[0]))
    floor = timed[0][1]
    info = timed[2][1]
    return [(f"{label}: {name} [{minutes:g} min]", t, t / floor, info / t, cpu) for label, t, cpu in timed]


def short_files(args, have_sox):
    """(label, total seconds) for args.short_runs runs of each command on a 1-second 8 kHz file,
    /bin/true first."""
    os.makedirs(args.dir, exist_ok=True)
    subprocess.run([args.makewave, os.path.join(args.dir, "short.wav"), "1", "2", "16", "8000", "0"], check=True)
    commands = [("/bin/true", ["/bin/true"]),
                ("qor info /S", [args.qor, "info", "/S", "short.wav"]),
                ("qor boost /m2", [args.qor, "boost", "/m2", "/F", "short.wav", "out.wav"])]
    if have_sox:
        commands += [("sox stats", ["sox", "short.wav", "-n", "stats"]),
                     ("sox vol 2", ["sox", "-D", "short.wav", "out.wav", "vol", "2"])]
    rows = []
    for label, cmd in commands:
        subprocess.run(cmd, cwd=args.dir, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)  # warm-up
        start = time.perf_counter()
        for _ in range(args.short_runs):
            proc = subprocess.run(cmd, cwd=args.dir, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if proc.returncode not in (0, 1, 2):  # qor's exit codes of a finished run
                sys.exit(f"failed ({proc.returncode}): {' '.join(cmd)}")
        rows.append((label, time.perf_counter() - start))
        print(f"  measured {args.short_runs} runs of {label}", file=sys.stderr)
    for f in ("short.wav", "out.wav"):
        if os.path.exists(os.path.join(args.dir, f)):
            os.remove(os.path.join(args.dir, f))
    return rows


def replace_rows(args, minutes):
    """Times writing a result on a disk-backed folder: new, replacing a file (synced first), and
    with /W; beside cat into a file and a copy synced with dd. Returns (name, median) rows, the two
    floors first."""
    folder = args.disk_dir
    os.makedirs(folder, exist_ok=True)
    subprocess.run([args.makewave, os.path.join(folder, "st16.wav"), str(minutes * 60), "2", "16"], check=True)
    shutil.copy(os.path.join(folder, "st16.wav"), os.path.join(folder, "w.wav"))
    # A destination with a second hard link is written through, with its backup.
    shutil.copy(os.path.join(folder, "st16.wav"), os.path.join(folder, "linked.wav"))
    os.link(os.path.join(folder, "linked.wav"), os.path.join(folder, "linked2.wav"))
    qor = args.qor
    commands = [
        ("cat st16.wav > a file", "cat st16.wav > cat.out"),
        ("dd conv=fsync (copy synced)", "dd if=st16.wav of=dd.out bs=1M conv=fsync status=none"),
        ("qor boost /m2 to a new file", f"rm -f new.wav; {qor} boost /m2 st16.wav new.wav"),
        ("qor boost /m2 replacing a file", f"{qor} boost /m2 st16.wav old.wav"),
        ("qor boost /W /m1 (replacing its source)", f"{qor} boost /W /m1 w.wav"),
        ("qor boost /m2 written through (backup, copy, sync)", f"{qor} boost /m2 st16.wav linked.wav"),
    ]
    rows = []
    for name, command in commands:
        rows.append((name, run_timed(["sh", "-c", command + " >/dev/null"], folder, args.runs)[0]))
        print(f"  measured {name} on a disk", file=sys.stderr)
    shutil.rmtree(folder, ignore_errors=True)
    return rows


# The operations also measured on the long file: one of each kind of pass.
LONG_OPERATIONS = ["info", "boost /m2", "max", "back", "l2mono", "lrsprit", "convert /f22050", "lofi", "mix"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qor", default=os.path.join(ROOT, "build", "qor"))
    parser.add_argument("--makewave", default=os.path.join(ROOT, "build", "qor-makewave"))
    parser.add_argument("--meanfloor", default=os.path.join(ROOT, "build", "qor-meanfloor"))
    parser.add_argument("--dir", default="/dev/shm/qor-bench")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--minutes", default="10",
                        help="file lengths to measure, in minutes; lengths of an hour or more run only "
                             + ", ".join(LONG_OPERATIONS) + " with at most 3 runs")
    parser.add_argument("--long", action="store_true", help="also measure a 3-hour file (1.9 GB)")
    parser.add_argument("--only", default="", help="comma-separated operation names to run")
    parser.add_argument("--disk-dir", default=os.path.join(ROOT, "build", "bench-disk"),
                        help="a folder on a disk, for the table of replaced files ('' leaves it out)")
    parser.add_argument("--short-runs", type=int, default=500,
                        help="runs of each command on the 1-second file (0: leave the short-file table out)")
    args = parser.parse_args()

    have_sox = shutil.which("sox") is not None
    os.makedirs(args.dir, exist_ok=True)
    rows = []
    read_rows = []  # the read-floor table
    times = {}  # (operation, minutes) -> qor median, for the scaling column
    lengths = [float(m) for m in args.minutes.split(",")] + ([180.0] if args.long else [])
    for minutes in lengths:
        seconds = str(minutes * 60)
        long_file = minutes >= 60
        runs = min(args.runs, 3) if long_file else args.runs
        chosen = [op for op in operations(args.qor, int(minutes * 60 * 44100))
                  if (not args.only or op[0] in args.only.split(","))
                  and (not long_file or op[0] in LONG_OPERATIONS)]
        files = {"st16.wav": ("2", "16"), "st16b.wav": ("2", "16"), "mono16.wav": ("1", "16"),
                 "mono16b.wav": ("1", "16"), "st8.wav": ("2", "8")}
        # Only the files the chosen operations read (st16.wav and st8.wav always: the floor rows).
        files = {name: f for name, f in files.items()
                 if name in ("st16.wav", "st8.wav") or any(name in op[2] for op in chosen)}
        for name, (channels, bits) in files.items():
            subprocess.run([args.makewave, os.path.join(args.dir, name), seconds, channels, bits], check=True)
        floors = {}
        for name in files:
            floors[name] = run_timed(["sh", "-c", f"cat {name} > floor.out"], args.dir, runs)[0]
        os.remove(os.path.join(args.dir, "floor.out"))
        for name in ("st16.wav", "st8.wav"):
            read_rows += read_floor(args, name, minutes, runs, have_sox)
        for name, cmd, inputs, sox_cmd in chosen:
            mean_ratio = None
            if cmd[1] == "info":
                mean_floor, mean_peak = run_timed([args.meanfloor, inputs[0]], args.dir, runs)
                check_means(cmd, [args.meanfloor, inputs[0]], args.dir)
                rows.append((f"running-mean floor: {inputs[0]} [{minutes:g} min]", mean_floor,
                             mean_floor / floors[inputs[0]], None, mean_peak, None, 1.0, None))
            qor_time, peak = run_timed(cmd, args.dir, runs)
            times[(name, minutes)] = qor_time
            if cmd[1] == "info":
                mean_ratio = qor_time / mean_floor
            floor = sum(floors[i] for i in inputs)
            for f in os.listdir(args.dir):
                if f.startswith("out"):
                    os.remove(os.path.join(args.dir, f))
            sox_time, sox_peak = run_timed(sox_cmd, args.dir, runs) if (have_sox and sox_cmd) else (None, None)
            for f in os.listdir(args.dir):
                if f.startswith("out"):
                    os.remove(os.path.join(args.dir, f))
            scale = qor_time / times[(name, lengths[0])] if minutes != lengths[0] and (name, lengths[0]) in times else None
            rows.append((f"{name} [{minutes:g} min]", qor_time, qor_time / floor,
                         sox_time / qor_time if sox_time else None, peak, sox_peak, mean_ratio, scale))
            print(f"  measured {rows[-1][0]}", file=sys.stderr)
        rows.append((f"floor: cat st16.wav [{minutes:g} min]", floors["st16.wav"], 1.0, None, None, None, None,
                     None))
        for name in files:
            os.remove(os.path.join(args.dir, name))

    short_rows = short_files(args, have_sox) if args.short_runs > 0 else []
    disk_rows = replace_rows(args, lengths[0]) if args.disk_dir else []

    first = f"{lengths[0]:g}-min"
    print("| operation | qor median (s) | × floor | sox time ÷ qor time | qor peak (MiB) | sox peak (MiB) |"
          f" × running-mean floor | × the {first} row |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for name, t, floor_ratio, sox_ratio, peak, sox_peak, mean_ratio, scale in rows:
        def cell(value, digits=2):
            return f"{value:.{digits}f}" if value is not None else "-"
        def mib(kib):
            return cell(kib / 1024 if kib is not None else None, 1)
        print(f"| {name} | {t:.3f} | {floor_ratio:.2f} | {cell(sox_ratio)} | {mib(peak)} | {mib(sox_peak)} |"
              f" {cell(mean_ratio)} | {cell(scale, 1)} |")
    print()
    print("| read floor: command | median (s) | × read floor | info time ÷ this time | processor time (s) |")
    print("|---|---:|---:|---:|---:|")
    for name, t, floor_ratio, info_ratio, cpu in read_rows:
        print(f"| {name} | {t:.4f} | {floor_ratio:.2f} | {info_ratio:.2f} | {cpu:.4f} |")
    if disk_rows:
        print()
        print(f"| on a disk ({args.disk_dir}) | median (s) | × cat into a file | × dd conv=fsync |")
        print("|---|---:|---:|---:|")
        cat_time, dd_time = disk_rows[0][1], disk_rows[1][1]
        for name, t in disk_rows:
            print(f"| {name} | {t:.3f} | {t / cat_time:.2f} | {t / dd_time:.2f} |")
    if short_rows:
        print()
        print(f"| short file: {args.short_runs} runs of | total (s) | per run (ms) | per run less /bin/true's (ms) |")
        print("|---|---:|---:|---:|")
        base = short_rows[0][1]
        for name, t in short_rows:
            per = 1000 * t / args.short_runs
            print(f"| {name} | {t:.2f} | {per:.2f} | {per - 1000 * base / args.short_runs:.2f} |")
    shutil.rmtree(args.dir, ignore_errors=True)


if __name__ == "__main__":
    main()
