#!/usr/bin/env python3
"""Checks what README.md tells a newcomer against the program itself: the two Quick start
commands and the files the demo leaves, the log marks and their streams, the usage text's
encodings, --help and --version, which operations take 8-bit sources, where pictures go, the
recipes for many files at once, run on a few generated files, and the pipelines and the
comparison with sox for users coming from sox or ffmpeg. Runs scripts/demo.sh, which builds
build/qor."""
import array
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import wave
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
QOR = ROOT / "build" / "qor"
MAKEWAVE = ROOT / "build" / "qor-makewave"
README = (ROOT / "README.md").read_text(encoding="utf-8")

checks = 0
failures = 0


def check(ok, what):
    global checks, failures
    checks += 1
    if not ok:
        failures += 1
        print("FAIL:", what)


def section(title):
    """The text under the heading `title` up to the next heading of the same or a higher level."""
    match = re.search(r"^(#+) " + re.escape(title) + r"\n", README, re.M)
    if not match:
        check(False, f"README has a section '{title}'")
        return ""
    level = len(match.group(1))
    end = re.compile(r"^#{1,%d} " % level, re.M).search(README, match.end())
    return README[match.end():end.start() if end else len(README)]


def table(text):
    """The body rows of the first Markdown table in `text`, as lists of cells."""
    rows = [line.strip().strip("|").split("|") for line in text.splitlines() if line.startswith("|")]
    return [[cell.strip() for cell in row] for row in rows[2:]]


def code_blocks(text):
    return re.findall(r"^```sh\n(.*?)^```", text, re.S | re.M)


def ticked(text):
    """The names set in backticks, outside fenced code blocks."""
    return re.findall(r"`([^`\n]+)`", re.sub(r"^```.*?^```", "", text, flags=re.S | re.M))


def run(args, cwd, env=None):
    return subprocess.run(args, cwd=cwd, env=env, capture_output=True)


def make_wave(path, seconds=3, channels=2, bits=16):
    subprocess.run([str(MAKEWAVE), str(path), str(seconds), str(channels), str(bits)], check=True)


def quick_start():
    text = section("Quick start")
    blocks = code_blocks(text)
    commands = [line.split("#")[0].strip() for line in (blocks[0] if blocks else "").splitlines()]
    check([c for c in commands if c] == ["scripts/demo.sh", "scripts/test.sh"],
          f"the Quick start holds exactly the demo and the test commands, not {commands}")
    shutil.rmtree(ROOT / "out", ignore_errors=True)
    demo = run(["bash", "scripts/demo.sh"], ROOT)
    said = demo.stdout.decode(errors="replace")
    check(demo.returncode == 0, f"scripts/demo.sh succeeds: {demo.stderr.decode(errors='replace')[-2000:]}")
    # It says what it does before each stage, the build above all.
    for stage in ("configuring", "building", "making out/sample.wav", "reporting", "splitting"):
        check(re.search(r"^demo: " + stage, said, re.M), f"the demo says it is {stage}")
    check(said.find("demo: building") < said.find("Built target qor"), "the demo says it builds before building")
    check("`build/qor`" in text and os.access(QOR, os.X_OK), "the Quick start names the program build/qor")
    named = {name for name in ticked(text) if name.startswith("out/") and name != "out/"}
    left = {"out/" + name for name in os.listdir(ROOT / "out")} if (ROOT / "out").is_dir() else set()
    check(named and named == left,
          f"the Quick start lists the demo's files: named {sorted(named)}, left {sorted(left)}")


def log_marks(work):
    rows = table(section("Log lines"))
    streams = {}
    for row in rows:
        mark = ticked(row[0])[0] if ticked(row[0]) else ("  " if row[0] == "two blanks" else row[0])
        streams[mark] = {"error": "err", "output": "out"}.get(row[-1], row[-1])
    check(len(streams) == 6, f"the log table lists the six marks, not {sorted(streams)}")
    make_wave(work / "a.wav")
    make_wave(work / "b.wav")
    make_wave(work / "a8.wav", bits=8)
    shutil.copy(work / "a.wav", work / "x.BMP")
    seen = set()
    for args in (["info", "/G", "a.wav"], ["boost", "/B-3", "/g", "a.wav", "q.wav"], ["compare", "a.wav", "b.wav"],
                 ["info", "/G", "x.BMP"], ["boost", "/q", "a8.wav", "q8.wav"]):
        result = run([str(QOR), *args], work)
        misplaced = []
        for stream in ("out", "err"):
            for line in getattr(result, "std" + stream).decode(errors="replace").splitlines():
                mark = "  " if line.startswith("  ") else line[:1]
                seen.add(mark)
                if streams.get(mark) != stream:
                    misplaced.append(f"'{line}' went to the {stream} stream")
        check(not misplaced, f"qor {' '.join(args)}: " + "; ".join(misplaced[:3]))
    check(seen == set(streams), f"the runs show every listed mark: seen {sorted(seen)}")

    # /D, /S and ask as the paragraph below the table tells.
    first = "- [QOR] Run BOOST-mode.\n"
    debug = run([str(QOR), "boost", "/D", "/B-3", "a.wav", "q.wav"], work)
    check(debug.stdout.decode() == first and "- [QOR] finish QOR." in debug.stderr.decode(),
          "/D sends every line after it to the error stream")
    silent = run([str(QOR), "boost", "/S", "/B-3", "a.wav", "q.wav"], work)
    check(silent.stdout.decode() == first and silent.stderr == b"", "/S shows nothing after it but errors")
    ask = run([str(QOR), "ask", "a.wav"], work)
    check(ask.stdout == b"" and ask.stderr == b"" and ask.returncode == 0, "ask shows nothing")


def usage_text(work):
    text = section("Log lines")
    check(re.search(r"usage text is in Japanese.*printed in UTF-8, unless the locale names Shift_JIS", text, re.S),
          "the README tells the usage text's language and encodings")
    utf8 = run([str(QOR)], work, env={**os.environ, "LC_ALL": "C.UTF-8"})
    check(utf8.returncode == 0 and utf8.stdout == b"", "qor without arguments exits 0 and writes to the error stream")
    check(re.search("[\u3040-\u30ff\u4e00-\u9fff]", utf8.stderr.decode("utf-8", errors="replace")),
          "the usage text is Japanese in UTF-8 under a UTF-8 locale")
    plain = run([str(QOR)], work, env={**os.environ, "LC_ALL": "C"})
    check(plain.stderr == utf8.stderr, "the usage text is UTF-8 under a locale that does not name Shift_JIS")
    operations = [word for row in table(section("Operations")) for word in ticked(row[0])]
    for flag in ("--help", "-h"):
        shown = run([str(QOR), flag], work, env={**os.environ, "LC_ALL": "C.UTF-8"})
        guide = shown.stdout.decode("utf-8", errors="replace")
        block = next((b for b in guide.split("\n\n") if b.startswith("Operations")), "")
        listed = [line.split()[0] for line in block.splitlines()[1:]]
        check(shown.returncode == 0 and shown.stderr == b"" and guide.isascii() and sorted(listed) == sorted(operations),
              f"qor {flag} prints an English guide listing the README's operations on standard output and exits 0")
        japanese = run([str(QOR), flag], work, env={**os.environ, "LC_ALL": "ja_JP.UTF-8"})
        check(japanese.returncode == 0 and japanese.stdout == utf8.stderr and japanese.stderr == b"",
              f"qor {flag} under a Japanese locale prints the usage text on standard output and exits 0")
    command_line = section("Command line")
    told = re.search(r"`qor --version` prints the usage text's first\s+line,\s+`([^`]+)`", command_line)
    version = run([str(QOR), "--version"], work)
    check(told and version.returncode == 0 and version.stdout.decode() == told.group(1) + "\n",
          f"qor --version prints the line the README gives: {version.stdout!r}")
    recipe = next((c for c in ticked(text) if "iconv" in c), "")
    env = {**os.environ, "PATH": f"{QOR.parent}:{os.environ['PATH']}"}
    shown = subprocess.run(["bash", "-c", recipe], cwd=work, env=env, capture_output=True)
    check(recipe and shown.stdout == utf8.stderr, f"'{recipe}' shows the Shift_JIS usage text as UTF-8")


def source_bits(work):
    operations = {word for row in table(section("Operations")) for word in ticked(row[0])}
    groups = {row[0]: set(ticked(row[1])) for row in table(section("8-bit and 16-bit sources"))}
    both, wide = groups.get("8-bit or 16-bit", set()), groups.get("16-bit only", set())
    check(both | wide == operations and not both & wide, "every operation is in one row of the 8-bit/16-bit table")
    extra = {"boost": ["/B-3"], "add": ["/v10"], "head": ["/L100"], "cut": ["/L100"], "inssilent": ["/L100"],
             "combine": ["/L100"], "convert": ["/f22050"], "vcompress": ["/M0.5"]}
    for bits in (8, 16):
        for name, channels in (("s", 2), ("t", 2), ("m", 1), ("n", 1)):
            make_wave(work / f"{name}{bits}.wav", channels=channels, bits=bits)
        for op in sorted(operations):
            if op in ("info", "ask"):
                files = [f"s{bits}.wav"]
            elif op == "compare":
                files = [f"s{bits}.wav", f"t{bits}.wav"]
            elif op in ("mix", "subtract", "combine"):
                files = [f"s{bits}.wav", f"t{bits}.wav", "result.wav"]
            elif op == "lrcombine":
                files = [f"m{bits}.wav", f"n{bits}.wav", "result.wav"]
            else:
                files = [f"s{bits}.wav", "result.wav"]
            result = run([str(QOR), op, *extra.get(op, []), *files], work)
            last = (result.stdout + result.stderr).decode(errors="replace").splitlines()[-1:]
            if bits == 16 or op in both:
                check(result.returncode in (0, 1, 2), f"{op} takes {bits}-bit sources: exit {result.returncode} {last}")
            else:
                refusal = "E [CHECK] source file must be 16bit." if op in ("sb8convert", "convert", "lofi") \
                    else "not ready"
                check(result.returncode == 255 and last and last[0].startswith("E ") and refusal in last[0],
                      f"{op} refuses 8-bit sources with '{refusal}': exit {result.returncode} {last}")


def pictures(base):
    for row in table(section("Pictures")):
        command = ticked(row[0])[0].split()
        expected = {name for name in ticked(row[1]) if name.endswith(".BMP")}
        work = Path(tempfile.mkdtemp(dir=base))
        make_wave(work / "take.wav")
        make_wave(work / "other.wav")
        (work / "out").mkdir()
        if "take.BMP" in command:
            shutil.copy(work / "take.wav", work / "take.BMP")
        before = {p for p in work.rglob("*.BMP")}
        result = run([str(QOR), *command[1:]], work)
        made = {str(p.relative_to(work)) for p in work.rglob("*.BMP") if p not in before}
        check(result.returncode in (0, 1, 2) and made == expected,
              f"{' '.join(command)} draws {sorted(expected)}: exit {result.returncode}, drew {sorted(made)}")
        if "warning" in row[1]:
            check("W [BITMAP] cannot output [take.BMP]" in result.stderr.decode()
                  and (work / "take.BMP").read_bytes() == (work / "take.wav").read_bytes(),
                  f"{' '.join(command)} warns and leaves the source alone")


FAKE_SSH = r"""#!/bin/sh
# Stands in for ssh: the host is a folder under $FAKE_HOSTS, the command runs there as at a login.
host=
while [ $# -gt 0 ]; do
  case $1 in
    --) shift; break;;
    -[bcDEeFIiJLlmOopQRSWw]) shift 2;;
    -*) shift;;
    *) if [ -z "$host" ]; then host=$1; shift; else break; fi;;
  esac
done
echo "$host" >> "$FAKE_HOSTS/used"
# A network's delay, 0 to 90 ms, so that runs on one host overlap as they would over ssh.
sleep "0.0$(od -An -N1 -tu1 /dev/urandom | tr -dc 0-9 | cut -c1)"
# A login sets SHELL to the user's shell, and GNU parallel runs the command with it there.
shell=$(getent passwd "$(id -u)" | cut -d: -f7)
cd "$FAKE_HOSTS/$host" && HOME=$FAKE_HOSTS/$host SHELL=${shell:-/bin/sh} exec sh -c "$*"
"""


def many_files(base):
    blocks = code_blocks(section("Many files at once"))
    check(len(blocks) == 3, f"three recipes for many files (xargs, parallel, parallel -S), not {len(blocks)}")
    for tool in ("parallel", "rsync"):
        check(shutil.which(tool), f"{tool} is installed to try the recipes (apt-get install parallel rsync)")
    tools = base / "bin"
    tools.mkdir()
    (tools / "qor").symlink_to(QOR)
    (tools / "ssh").write_text(FAKE_SSH)
    (tools / "ssh").chmod(0o755)
    names = ["one.wav", "two.wav", "three four.wav"] + [f"take{i}.wav" for i in range(5)]
    for block in blocks:
        for bad in (False, True):
            work = Path(tempfile.mkdtemp(dir=base))
            hosts = work.parent / (work.name + "-hosts")
            for host in ("alice", "bob"):
                (hosts / host).mkdir(parents=True)
            for name in names:
                make_wave(work / name)
            if bad:  # an 8-bit source, which boost refuses
                make_wave(work / "bad.wav", bits=8)
            env = {**os.environ, "PATH": f"{tools}:{os.environ['PATH']}", "FAKE_HOSTS": str(hosts),
                   "PARALLEL_SSH": str(tools / "ssh"), "RSYNC_OLD_ARGS": "1"}
            result = subprocess.run(["bash", "-c", block], cwd=work, env=env, capture_output=True)
            what = f"recipe '{block.splitlines()[1][:40]}...'" + (" with a refused file" if bad else "")
            check((result.returncode != 0) == bad, f"{what} exits {result.returncode}: {result.stderr.decode()[-500:]}")
            for name in names:
                out = work / "quieter" / name
                log = work / "quieter" / (name + ".log")
                check(out.is_file() and out.stat().st_size == (work / name).stat().st_size, f"{what} writes {out.name}")
                check(log.is_file() and log.read_text().endswith("- [QOR] finish QOR.\n"), f"{what} keeps {log.name}")
            if "-S" in block:
                used = set((hosts / "used").read_text().split()) if (hosts / "used").exists() else set()
                left = [str(p) for p in hosts.rglob("*") if p.is_file() and p.name != "used"]
                check(used == {"alice", "bob"} and not left, f"{what} runs on both hosts and cleans up: {used} {left}")


def samples(path):
    """The 16-bit samples of a WAVE file, interleaved."""
    with wave.open(str(path), "rb") as w:
        data = array.array("h", w.readframes(w.getnframes()))
    if sys.byteorder != "little":
        data.byteswap()
    return data


def rms(values):
    return math.sqrt(sum(v * v for v in values) / max(len(values), 1))


def qor_wrapper(tools, log):
    """A `qor` on PATH that runs the built one and notes each exit code in `log`."""
    tools.mkdir(exist_ok=True)
    (tools / "qor").write_text(f'#!/bin/sh\n"{QOR}" "$@"\nstatus=$?\necho "$status $*" >> "{log}"\nexit $status\n')
    (tools / "qor").chmod(0o755)


def from_sox(base):
    text = section("Coming from sox or ffmpeg")
    blocks = code_blocks(text)
    check(len(blocks) == 3, f"three pipeline recipes (decoding, into another tool, two sources), not {len(blocks)}")
    formats = subprocess.run(["sox", "-h"], capture_output=True).stdout.decode(errors="replace") \
        if shutil.which("sox") else ""
    check(re.search(r"AUDIO FILE FORMATS:.*\bmp3\b", formats),
          "sox with its MP3 format is installed to try the recipes (apt-get install sox libsox-fmt-mp3)")
    log = base / "qor.log"
    qor_wrapper(base / "bin", log)
    env = {**os.environ, "PATH": f"{base / 'bin'}:{os.environ['PATH']}"}
    work = base / "pipes"
    work.mkdir()
    said = ""
    for block in blocks:
        # One after another in one folder, as a user following along would.
        result = subprocess.run(["bash", "-c", block], cwd=work, env=env, capture_output=True)
        said += result.stdout.decode(errors="replace")
        err = result.stderr.decode(errors="replace")
        failed = [line for line in err.splitlines()
                  if line.startswith("E ") or "FAIL" in line or "not found" in line or "No such" in line]
        # A block that ends with qor exits with the number of files it wrote.
        last = block.strip().splitlines()[-1]
        ending = {0, 1, 2} if last.split("|")[-1].strip().startswith("qor ") else {0}
        check(result.returncode in ending and not failed,
              f"recipe '{block.splitlines()[0][:50]}...' runs: exit {result.returncode} {failed[:3]}")
    statuses = log.read_text().splitlines() if log.exists() else []
    check(statuses and all(line.split()[0] in ("0", "1", "2") for line in statuses),
          f"every qor in the recipes succeeds: {[s for s in statuses if s.split()[0] not in ('0', '1', '2')]}")
    made = {name for block in blocks for name in re.findall(r"[\w.]+\.(?:wav|flac|mp3)\b", block)}
    check(made and all((work / name).is_file() and (work / name).stat().st_size > 44 for name in made),
          f"the recipes leave every file they name: {sorted(name for name in made if not (work / name).is_file())}")
    check("the same bytes as the file" in said, "the result on standard output is the file's bytes")

    # The table: each row's sox and qor commands run side by side, and the difference it states holds.
    rows = table(text)
    check({ticked(row[2])[0].split()[1] for row in rows if len(ticked(row[2])) > 0} ==
          {"mix", "boost", "lrmono", "convert", "head"}, "the table sets mix, boost, lrmono, convert and head beside sox")
    inputs = base / "inputs"
    inputs.mkdir()
    make_wave(inputs / "take.wav")
    make_wave(inputs / "voice.wav")
    # The music starts half a second later than the voice.
    subprocess.run(["sox", str(inputs / "take.wav"), str(inputs / "music.wav"), "pad", "0.5"], check=True)
    # Above the half rate of 22050 Hz: a resampler with anti-aliasing removes it.
    subprocess.run(["sox", "-n", "-b", "16", "-r", "44100", "-c", "2", str(inputs / "tone.wav"),
                    "synth", "2", "sine", "15000", "gain", "-6"], check=True)
    for row in rows:
        sox_command, qor_command = ticked(row[1])[0], ticked(row[2])[0]
        operation, output = qor_command.split()[1], qor_command.split()[-1]
        folders = {}
        for side, command, status in (("sox", sox_command, 0), ("qor", qor_command, 1)):
            folders[side] = base / f"{operation}-{side}"
            shutil.copytree(inputs, folders[side])
            if operation == "convert":
                shutil.copy(inputs / "tone.wav", folders[side] / "take.wav")
            result = subprocess.run(["bash", "-c", command], cwd=folders[side], env=env, capture_output=True)
            check(result.returncode == status and (folders[side] / output).is_file(),
                  f"'{command}' exits {result.returncode} (expected {status}) and writes {output}")
        if not all((folders[side] / output).is_file() for side in folders):
            continue
        got, theirs = samples(folders["qor"] / output), samples(folders["sox"] / output)
        here = folders["qor"]
        if operation == "mix":
            subprocess.run(["sox", "-D", "-m", "-v", "1", "voice.wav", "-v", "1", "music.wav", "whole.wav"], cwd=here)
            subprocess.run([str(QOR), "mix", "/O0", "voice.wav", "music.wav", "first.wav"], cwd=here, capture_output=True)
            check(samples(here / "first.wav") == samples(here / "whole.wav"),
                  "qor mix /O0 adds from the first steps at full level, as sox -m -v 1 ... -v 1 ...")
            check(got != samples(here / "first.wav"), "qor mix aligns sources that start apart on their starts")
        elif operation == "lrmono":
            subprocess.run(["sox", "-D", "take.wav", "sum.wav", "remix", "-m", "1,2"], cwd=here)
            subprocess.run(["sox", "-D", "take.wav", "mean.wav", "channels", "1"], cwd=here)
            mean = samples(here / "mean.wav")
            check(got == samples(here / "sum.wav"), "qor lrmono adds left and right, as sox remix -m 1,2")
            check(len(got) == len(mean) and max(abs(a - 2 * b) for a, b in zip(got, mean)) <= 1,
                  "sox's channels 1 takes the mean of what qor lrmono adds")
        elif operation == "convert":
            source = rms(samples(inputs / "tone.wav"))
            check(rms(got) > 0.3 * source and rms(theirs) < 0.05 * source,
                  f"qor convert folds a tone above the half rate back (rms {rms(got):.0f}), "
                  f"sox filters it out (rms {rms(theirs):.0f}) of {source:.0f}")
            check(len(got) == len(theirs) + 2, f"qor convert's result is one step longer: {len(got)} / {len(theirs)}")
        elif operation == "head":
            check((here / output).read_bytes() == (folders["sox"] / output).read_bytes(),
                  "qor head /L88200 keeps the same 2 seconds as sox trim 0 2, byte for byte")


def main():
    quick_start()
    with tempfile.TemporaryDirectory() as base:
        base = Path(base)
        for step in (log_marks, usage_text, source_bits):
            work = base / step.__name__
            work.mkdir()
            step(work)
        for step in (pictures, many_files, from_sox):
            work = base / step.__name__
            work.mkdir()
            step(work)
    print(f"readme: {checks - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
