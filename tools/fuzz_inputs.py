#!/usr/bin/env python3
"""Damaged-input driver for the linac program (not run by CI).

Mutates the example inputs and small beam-file fixtures (the binary
read_dis.dat and restart file scratch.#07 that first runs write, and text
distributions of the LANL, ASTRA, KOBRA and DINAMION kinds), runs the program on each variant
in a fresh directory with a time limit, and classifies the outcome:

  clean end      status 0, every output number finite
  clear stop     status 1 with a message on the screen
  mute stop      status 1 without a message
  crash          a signal, a sanitizer report or an internal error (status 2)
  hang           the time limit ran out
  silent damage  status 0 with NaN, Inf or an all-asterisk field in out.dat,
                 coord.dat, wtmp.dat or lost.dat, or NaN or Inf in matrix.dat

Usage: tools/fuzz_inputs.py --program build/linac --variants 5000 [--jobs 3]
       [--seed 1] [--timeout 20] [--keep DIR]
With --keep, the inputs of every crash, hang, mute stop and silent damage
are copied to DIR/<class>-<n>/ for reproduction. Run it with a sanitizer
build of the program to also catch undefined behaviour.
"""
import argparse
import collections
import math
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")
EXAMPLE = os.path.join(EXAMPLES, "drift_channel")

BAD_NUMBERS = ["1e300", "-1e300", "0", "-1", "NaN", "Inf", "-Inf", "2147483648", "-2147483649",
               "1e28", "3.7e37", "1e-300", "-0.5", "1.5", "1e9", "0.5", "-100", "1D308", "99999999"]
OUTPUTS = ["out.dat", "coord.dat", "wtmp.dat", "lost.dat"]
# Outputs whose fixed formats may legitimately overflow into asterisks for
# huge (damaged) inputs, but must never hold NaN or Inf.
FINITE_OUTPUTS = ["matrix.dat"]


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


# ---------------------------------------------------------------------------
# Seeds: each a set of files and the names of the files that may be damaged.

def example_velmo(npat=None, extra_index=""):
    text = read(os.path.join(EXAMPLE, "velmo.dat"))
    if npat is not None:
        text = text.replace("NPAT = 12000, 12000, 12000", "NPAT = {0}, {0}, {0}".format(npat))
    if extra_index:
        text = text.replace("IFLAG_DIS = 1", "IFLAG_DIS = 1, " + extra_index)
    return text


def other_example(name):
    """The inputs of examples/<name> with 300 particles per charge state."""
    d = os.path.join(EXAMPLES, name)
    files = {f: read(os.path.join(d, f)) for f in ("velmo.dat", "sclinac.dat", "graph.cfg", "fi_in.dat")
             if os.path.exists(os.path.join(d, f))}
    files["velmo.dat"] = re.sub(r"NPAT = ([0-9]+(?:, *[0-9]+)*)",
                                lambda m: "NPAT = " + ", ".join("300" for _ in m.group(1).split(",")),
                                files["velmo.dat"])
    return files


def simple_velmo(tran, index, more=""):
    return ("&TRAN QDESIGN=5, ADESIGN=40, WIN=1.0D6, FREQB=5.0D7, NQTOT=2, NPAT=200, 200, QQ=5, 6,\n"
            "  AMASS=40, 40, EPSNX=0.1, BETX=100, EPSNY=0.1, BETY=100, EPSNZ=100, BETZ=100 " + tran +
            " /\n&INDEX IGRAPH=0, ISRF=1, " + index + " /\n" + more)


HARM_LATTICE = "1 prmtr harm=1\n2 drift 10 2 2\n3 drift 5 1 1\nstop\n"
DRIFTS = "1 drift 10 2 2\n2 drift 5 1 1\nstop\n"
# A save point between two drifts, and the same lattice restarting there.
SAVE_LATTICE = "1 drift 10 2 2\n-7 scrch\n2 drift 5 1 1\nstop\n"
RESTART_LATTICE = "1 drift 10 2 2\n7 scrch\n2 drift 5 1 1\nstop\n"
LANL = "LANL beam\n" + "".join(
    "{} {} {} {} {} {} {} {} 40\n".format(k + 1, 0.1 * (k % 3 - 1), 0.001 * (k % 2), -0.05 * (k % 4),
                                          0.0005, 0.02 * (k - 3), 1.0 + 0.01 * (k % 3), 5 if k < 4 else 6)
    for k in range(8))
ASTRA = "ASTRA beam\n" + "".join(
    "{} {} {} 0 0 2.6e9 {} 40\n".format(0.001 * (k % 3 - 1), -0.002 * (k % 2), 0.0001 * (k - 3),
                                        5 if k < 4 else 6) for k in range(8))
KOBRA = "".join("0 0 {} {} 1e7 {} 0 {} 40 0 0.1\n".format(0.001 * (k % 3 - 1), 0.0005 * k, 1e4 * (k % 2),
                                                         5 if k < 3 else 6) for k in range(6))
DINAMION = "".join("{} {} 0.0001 {} 0 0 0.046 {} {}\n".format(k + 1, 0.1 * (k % 3 - 1), -0.1 * (k % 2),
                                                              2.0 * (k - 3), 5 if k % 2 else 6)
                   for k in range(8))


def make_seeds(program, work):
    seeds = []
    lattice = read(os.path.join(EXAMPLE, "sclinac.dat"))
    # The example draws its plots (IGRAPH = 1): the windows come from graph.cfg.
    graph = read(os.path.join(EXAMPLE, "graph.cfg"))
    seeds.append(("example", {"velmo.dat": example_velmo(), "sclinac.dat": lattice, "graph.cfg": graph},
                  ["velmo.dat", "sclinac.dat"], 1))
    small = example_velmo(npat=300)
    seeds.append(("example-small", {"velmo.dat": small, "sclinac.dat": lattice, "graph.cfg": graph},
                  ["velmo.dat", "sclinac.dat", "graph.cfg"], 6))
    every_keyword = "".join("{} {} 10 2 2\n".format(i + 1, k) for i, k in enumerate(
        ["drift", "quad", "sol", "bend", "cav", "rfq", "strip", "scrch", "prmtr harm=1", "align quad 1 2",
         "enge quad", "swtch", "cdump", "vary", "fit", "matrx", "filtr", "buncher"])) + "stop\n"
    seeds.append(("keywords", {"velmo.dat": small, "sclinac.dat": every_keyword, "graph.cfg": graph},
                  ["sclinac.dat"], 2))
    seeds.append(("lanl", {"velmo.dat": simple_velmo("", "IFLAG_DIS=20"), "sclinac.dat": HARM_LATTICE,
                           "lanl_ini.dat": LANL}, ["lanl_ini.dat", "velmo.dat"], 2))
    seeds.append(("astra", {"velmo.dat": simple_velmo("", "IFLAG_DIS=21"), "sclinac.dat": HARM_LATTICE,
                            "astra_ini.dat": ASTRA}, ["astra_ini.dat"], 2))
    seeds.append(("kobra", {"velmo.dat": simple_velmo("", "IFLAG_DIS=23"), "sclinac.dat": HARM_LATTICE,
                            "kobra_ini.dat": KOBRA}, ["kobra_ini.dat"], 1))
    seeds.append(("dinamion", {"velmo.dat": simple_velmo("", "IFLAG_DIS=49").replace("WIN=1.0D6, ", ""),
                               "sclinac.dat": DRIFTS, "dinamion_ini.dat": DINAMION},
                  ["dinamion_ini.dat"], 2))
    # The other examples with 300 particles per state: matrix sections, a
    # bending magnet, space charge, and the lens channel with its two field
    # tables (written by make_field_table beside the program).
    for name, weight in (("fodo_matrix", 2), ("bend_drifts", 2), ("space_charge_drift", 2)):
        files = other_example(name)
        seeds.append((name, files, sorted(files), weight))
    # The examples with field tables: the lens channel and the cavity linac
    # (its RF gap table and fi_in.dat phases).
    tool = os.path.join(os.path.dirname(program), "make_field_table")
    for name, weight in (("lens_channel", 3), ("cavity_linac", 3)):
        if not os.path.exists(tool):
            print("warning: no make_field_table beside the program; {} seed skipped".format(name),
                  file=sys.stderr)
            continue
        d = os.path.join(work, "tables-" + name)
        os.makedirs(d)
        subprocess.run(["bash", os.path.join(EXAMPLES, name, "make_tables.sh"), tool], cwd=d,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        files = other_example(name)
        for t in sorted(os.listdir(d)):
            files[t] = read(os.path.join(d, t), "rb" if t.startswith("eh_") else "r")
        seeds.append((name, files, sorted(files), weight))
    # read_dis.dat: the particle file of a first run (IWRITE_DIS = 1).
    d = os.path.join(work, "make-read-dis")
    os.makedirs(d)
    files = {"velmo.dat": example_velmo(npat=200, extra_index="IWRITE_DIS = 1"), "sclinac.dat": DRIFTS,
             "graph.cfg": graph}
    for name, text in files.items():
        with open(os.path.join(d, name), "w") as f:
            f.write(text)
    subprocess.run([program], cwd=d, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    rd = os.path.join(d, "read_dis.out")
    if os.path.exists(rd):
        seeds.append(("read_dis", {"velmo.dat": example_velmo(npat=200, extra_index="IREAD_DIS = 1"),
                                   "sclinac.dat": DRIFTS, "graph.cfg": graph, "read_dis.dat": read(rd, "rb")},
                      ["read_dis.dat"], 4))
    else:
        print("warning: the first run wrote no read_dis.out; read_dis.dat seed skipped", file=sys.stderr)
    # scratch.#07: the beam state a "-7 scrch" line saves; the damaged copy is
    # read back by a run that restarts at the "7 scrch" line.
    d = os.path.join(work, "make-restart")
    os.makedirs(d)
    files = {"velmo.dat": simple_velmo("", "IFLAG_DIS=1"), "sclinac.dat": SAVE_LATTICE}
    for name, text in files.items():
        with open(os.path.join(d, name), "w") as f:
            f.write(text)
    subprocess.run([program], cwd=d, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    sc = os.path.join(d, "scratch.#07")
    if os.path.exists(sc):
        seeds.append(("restart", {"velmo.dat": simple_velmo("", "IFLAG_DIS=1"), "sclinac.dat": RESTART_LATTICE,
                                  "scratch.#07": read(sc, "rb")}, ["scratch.#07"], 4))
    else:
        print("warning: the first run wrote no scratch.#07; restart seed skipped", file=sys.stderr)
    return seeds


# ---------------------------------------------------------------------------
# Mutations.

NUMBER = re.compile(r"(?<![A-Za-z_])[-+]?(\d+\.?\d*|\.\d+)([eEdD][-+]?\d+)?")


def mutate_text(rng, text):
    lines = text.split("\n")
    op = rng.choice(["flip", "truncate", "truncate_line", "delete_line", "dup_line", "number", "number",
                     "number", "overlong", "unknown", "garbage", "empty"])
    if op == "flip" and text:
        i = rng.randrange(len(text))
        text = text[:i] + chr(rng.randrange(1, 256)) + text[i + 1:]
    elif op == "truncate" and text:
        text = text[:rng.randrange(len(text))]
    elif op == "truncate_line":
        text = "\n".join(lines[:rng.randrange(len(lines) + 1)])
    elif op == "delete_line" and lines:
        del lines[rng.randrange(len(lines))]
        text = "\n".join(lines)
    elif op == "dup_line" and lines:
        k = rng.randrange(len(lines))
        lines.insert(k, lines[k])
        text = "\n".join(lines)
    elif op == "number":
        matches = list(NUMBER.finditer(text))
        if matches:
            m = rng.choice(matches)
            text = text[:m.start()] + rng.choice(BAD_NUMBERS) + text[m.end():]
    elif op == "overlong":
        k = rng.randrange(len(lines) + 1)
        lines.insert(k, rng.choice(["1 drift ", "x", "&TRAN ", "0 "]) * rng.randrange(40, 2000))
        text = "\n".join(lines)
    elif op == "unknown":
        k = rng.randrange(len(lines) + 1)
        lines.insert(k, rng.choice(["9 frobn 1 2 3", "FOO_BAR = 1,", "&TRAN BOGUS=3 /", "QQ(9)=1,",
                                    "NPAT(0)=5,", "7 drift", "stop"]))
        text = "\n".join(lines)
    elif op == "garbage":
        i = rng.randrange(len(text) + 1)
        junk = "".join(chr(rng.randrange(0, 256)) for _ in range(rng.randrange(1, 64)))
        text = text[:i] + junk + text[i:]
    elif op == "empty":
        text = ""
    return op, text


def records(data):
    """(start, length) of the payload of each sequential unformatted record:
    a 4-byte length, the payload, the same length again."""
    out, i = [], 0
    while i + 4 <= len(data):
        n = struct.unpack_from("<i", data, i)[0]
        if n < 0 or i + 8 + n > len(data):
            break
        out.append((i + 4, n))
        i += 8 + n
    return out


# A particle record: x, x', y, y', phase, beta (8 bytes each), status (4),
# Q/A (8).
PARTICLE_RECORD = 60
BAD_DOUBLES = [math.nan, math.inf, -math.inf, 1e308, -1e308, 1.0, 1.5, -0.5, 0.0, 3.7e37, 1e-300]


def put_in_record(rng, data):
    """One value of one record replaced by a bad one, on a field boundary."""
    recs = [r for r in records(data) if r[1] >= 4]
    if not recs:
        return
    # Half of the hits go to the leading records (run scalars, counts and
    # per-state arrays), which the many particle records would else drown.
    start, n = rng.choice(recs[:11] if rng.random() < 0.5 else recs)
    if n == PARTICLE_RECORD:
        off = rng.choice([0, 8, 16, 24, 32, 40, 48, 52])
        is_int = off == 48
    elif n % 8 == 0 and rng.random() < 0.7:
        off, is_int = 8 * rng.randrange(n // 8), False
    else:
        off, is_int = 4 * rng.randrange(n // 4), True
    if is_int or off + 8 > n:
        data[start + off:start + off + 4] = struct.pack(
            "<i", rng.choice([-1, 0, 7, 2147483647, -2147483648, 166002, 1000000]))
    else:
        data[start + off:start + off + 8] = struct.pack("<d", rng.choice(BAD_DOUBLES))


def mutate_binary(rng, data):
    data = bytearray(data)
    op = rng.choice(["flip", "truncate", "double", "double", "int", "garbage", "record", "record",
                     "record"])
    if op == "flip" and data:
        data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
    elif op == "truncate" and data:
        data = data[:rng.randrange(len(data))]
    elif op == "double" and len(data) >= 8:
        # A value of a record: 8 bytes after a 4-byte marker, at an offset
        # that may or may not align with a field.
        i = rng.randrange(0, len(data) - 7)
        data[i:i + 8] = struct.pack("<d", rng.choice(BAD_DOUBLES))
    elif op == "int" and len(data) >= 4:
        i = rng.randrange(0, len(data) - 3)
        v = rng.choice([-1, 0, 7, 2147483647, -2147483648, 166002, 1000000])
        data[i:i + 4] = struct.pack("<i", v)
    elif op == "record":
        put_in_record(rng, data)
    elif op == "garbage":
        i = rng.randrange(len(data) + 1)
        data[i:i] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 64)))
    return op, bytes(data)


# ---------------------------------------------------------------------------
# Running and classifying.

def damaged_outputs(d):
    for name in OUTPUTS + FINITE_OUTPUTS:
        p = os.path.join(d, name)
        if not os.path.exists(p):
            continue
        for line in read(p, "rb").decode("latin-1").splitlines():
            for tok in line.split():
                t = tok.lower().lstrip("+-")
                if t in ("nan", "inf", "infinity") or (name in OUTPUTS and re.fullmatch(r"\*+", tok)):
                    return name
    return None


def run_one(program, timeout, files, target, rng_seed, keep):
    rng = random.Random(rng_seed)
    files = dict(files)
    content = files[target]
    if isinstance(content, bytes):
        op, files[target] = mutate_binary(rng, content)
    else:
        op, files[target] = mutate_text(rng, content)
    d = tempfile.mkdtemp(prefix="fuzz-")
    try:
        for name, c in files.items():
            with open(os.path.join(d, name), "wb") as f:
                f.write(c if isinstance(c, bytes) else c.encode("latin-1", "replace"))
        env = dict(os.environ, OMP_NUM_THREADS="1",
                   ASAN_OPTIONS="exitcode=86:detect_leaks=0", UBSAN_OPTIONS="halt_on_error=1:exitcode=87")
        try:
            p = subprocess.run([program], cwd=d, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, timeout=timeout, env=env)
            rc, out, err = p.returncode, p.stdout.decode("latin-1"), p.stderr.decode("latin-1")
            bad = None
            if rc == 0:
                bad = damaged_outputs(d)
                cls = "silent damage" if bad else "clean end"
            elif rc == 1:
                # The stop message follows the begin stamp.
                msg = [l for l in out.splitlines() if l.strip() and "Task begin" not in l]
                cls = "clear stop" if msg else "mute stop"
            else:
                cls = "crash"
        except subprocess.TimeoutExpired:
            cls, rc, err, bad = "hang", None, "", None
        if keep and cls not in ("clean end", "clear stop"):
            dest = os.path.join(keep, "{}-{}".format(cls.replace(" ", "_"), rng_seed))
            shutil.copytree(d, dest, dirs_exist_ok=True)
            with open(os.path.join(dest, "why.txt"), "w") as f:
                f.write("target {} op {} rc {} damaged {}\n{}\n".format(target, op, rc, bad, err[-4000:]))
        return cls, op, target
    finally:
        shutil.rmtree(d, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--program", required=True)
    ap.add_argument("--variants", type=int, default=5000)
    ap.add_argument("--jobs", type=int, default=3)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--timeout", type=float, default=20.0)
    ap.add_argument("--keep", default="")
    a = ap.parse_args()
    program = os.path.abspath(a.program)
    work = tempfile.mkdtemp(prefix="fuzz-seeds-")
    seeds = make_seeds(program, work)
    weights = [w for *_, w in seeds]
    rng = random.Random(a.seed)
    tasks = []
    for k in range(a.variants):
        name, files, targets, _ = rng.choices(seeds, weights)[0]
        tasks.append((name, files, rng.choice(targets), a.seed * 1000003 + k))
    table = collections.Counter()
    by_seed = collections.defaultdict(collections.Counter)
    with ThreadPoolExecutor(max_workers=a.jobs) as pool:
        futures = [(name, pool.submit(run_one, program, a.timeout, files, target, s, a.keep))
                   for name, files, target, s in tasks]
        for n, (name, fut) in enumerate(futures, 1):
            cls, op, target = fut.result()
            table[cls] += 1
            by_seed[name][cls] += 1
            if n % 500 == 0:
                print("{} variants: {}".format(n, dict(table)), file=sys.stderr, flush=True)
    shutil.rmtree(work, ignore_errors=True)
    classes = ["clean end", "clear stop", "mute stop", "crash", "hang", "silent damage"]
    print("| seed | " + " | ".join(classes) + " | total |")
    print("|---" * (len(classes) + 2) + "|")
    for name in sorted(by_seed):
        c = by_seed[name]
        print("| {} | {} | {} |".format(name, " | ".join(str(c[k]) for k in classes), sum(c.values())))
    print("| all | {} | {} |".format(" | ".join(str(table[k]) for k in classes), sum(table.values())))
    return 0 if all(table[k] == 0 for k in ("crash", "hang", "silent damage", "mute stop")) else 1


if __name__ == "__main__":
    sys.exit(main())
