#!/usr/bin/env python3
"""Damaged-input driver for the linac program (not run by CI).

Mutates the inputs of small runs, runs the program on each variant in a
fresh directory with a time and memory limit, and classifies the outcome.
Every input file kind the program reads has seeds (kind names in brackets,
for --kinds):

  velmo.dat [velmo], its TABLE_DIR member [tabledir], sclinac.dat [lattice],
  the values of its prmtr lines [prmtr], graph.cfg [graph], fi_in.dat
  [fi_in], RF tables eh_MWS.#NN [rf], static 3-D tables eh_EMS.#NN
  [table3d], 2-D (r, z) tables [table2d], on-axis solenoid tables
  solenoid.#NN [solenoid], buncher tables MHBrz.#0N [mhb], the superimposed
  table of ebfld [ebfld], RFQ cell files rfq.#NN [rfq], stripper files
  stripper.#NN [stripper], the binary read_dis.dat [read_dis] and restart
  file scratch.#07 [restart] that first runs write, and the text
  distributions of the LANL, ASTRA, KOBRA and DINAMION kinds [lanl, astra,
  kobra, dinamion].

The field tables come from make_field_table, the RFQ cell files from
make_rfq_cells (both looked for beside the program) and the examples/
inputs; seeds whose tool is missing are skipped with a warning. Each seed is
run once undamaged first and must end clean (the lattice of every keyword,
made to be refused, in a clear stop); the lines with asterisks of these
runs (frames of headings) are not taken for overflowed fields later.

Outcomes:

  clean end      status 0, every number of every formatted output finite
                 and inside its field
  clear stop     status 1 with a message on the screen
  mute stop      status 1 without a message
  crash          a signal, a sanitizer report or an internal error (status 2)
  hang           the time limit ran out, or the run held more memory than
                 the limit
  silent damage  status 0 with NaN, Inf or a field of asterisks in any
                 formatted output (out.dat, coord.dat, matrix.dat,
                 bp_monitor.dat, ph_monitor.dat, co_monitor.dat, log.dat,
                 emit_level.dat, rms.dat, the space-charge files, ...), or
                 status 0 for a variant that breaks a rule of the input
                 format for certain (a non-finite number in a table, RFQ
                 cell file or stripper file, a table node off its regular
                 grid, a doubled or missing record, a prmtr value that is
                 not a finite number, a stripper charge that is not a whole
                 number in 1..300, W_s above the energy at the foil, a
                 TABLE_DIR with a control character, too long, or naming
                 no place that holds the table)

Usage: tools/fuzz_inputs.py --program build/linac --variants 5000 [--jobs 3]
       [--seed 1] [--timeout 20] [--kinds new|rfq,table3d,...] [--keep DIR]
       [--keep-per-cause 5] [--log FILE] [--mem-limit MB]
The table printed at the end counts the outcomes by input kind. With
--keep, the inputs of every crash, hang, mute stop and silent damage (at
most --keep-per-cause of each cause) are copied to DIR/<class>-<n>/ with
why.txt naming the damaged file, the mutation (line, column or record, old
and new value) and the screen; --log writes one JSON line per variant.
Run it with a sanitizer build of the program to also catch undefined
behaviour.
"""
import argparse
import collections
import json
import math
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")
EXAMPLE = os.path.join(EXAMPLES, "drift_channel")

BAD_NUMBERS = ["1e300", "-1e300", "0", "-1", "NaN", "Inf", "-Inf", "2147483648", "-2147483649",
               "1e28", "3.7e37", "1e-300", "-0.5", "1.5", "1e9", "0.5", "-100", "1D308", "99999999",
               "1e-320", "1e200", "-1e200"]
# Texts in place of a number that are no number at all (letters, digits and
# the signs the lattice allows, so the lattice reader's character check
# does not catch them first).
NOT_NUMBERS = ["abc", "1e", "1.2.3", "--1", "+", ".", "1e+", "NaN", "Inf", "-Inf", "infinity", "nan"]
CONTROL_CHARS = ["\x00", "\x01", "\x07", "\x08", "\x0b", "\x0c", "\x1b", "\x7f", "\r"]
NEW_KINDS = ["rf", "table3d", "table2d", "solenoid", "mhb", "ebfld", "rfq", "stripper", "prmtr", "graph",
             "fi_in", "tabledir"]
OLD_KINDS = ["velmo", "lattice", "lanl", "astra", "kobra", "dinamion", "read_dis", "restart"]


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def finite_number(text):
    """The value of a number as the readers write it (D exponents too), or
    None when the text is no number or not finite."""
    try:
        v = float(text.replace("D", "e").replace("d", "e"))
    except ValueError:
        return None
    return v if math.isfinite(v) else None


# ---------------------------------------------------------------------------
# Seeds: each a name, a set of files, the damageable files with their input
# kind, and a weight.

def example_velmo(npat=None, extra_index=""):
    text = read(os.path.join(EXAMPLE, "velmo.dat"))
    if npat is not None:
        text = text.replace("NPAT = 12000, 12000, 12000", "NPAT = {0}, {0}, {0}".format(npat))
    if extra_index:
        text = text.replace("IFLAG_DIS = 1", "IFLAG_DIS = 1, " + extra_index)
    return text


def other_example(name, npat=300):
    """The inputs of examples/<name> with npat particles per charge state."""
    d = os.path.join(EXAMPLES, name)
    files = {f: read(os.path.join(d, f)) for f in os.listdir(d)
             if f in ("velmo.dat", "sclinac.dat", "graph.cfg", "fi_in.dat") or f.startswith("rfq.#")}
    files["velmo.dat"] = re.sub(r"NPAT = ([0-9]+(?:, *[0-9]+)*)",
                                lambda m: "NPAT = " + ", ".join(str(npat) for _ in m.group(1).split(",")),
                                files["velmo.dat"])
    return files


def simple_velmo(tran, index, more=""):
    return ("&TRAN QDESIGN=5, ADESIGN=40, WIN=1.0D6, FREQB=5.0D7, NQTOT=2, NPAT=200, 200, QQ=5, 6,\n"
            "  AMASS=40, 40, EPSNX=0.1, BETX=100, EPSNY=0.1, BETY=100, EPSNZ=100, BETZ=100 " + tran +
            " /\n&INDEX IGRAPH=0, ISRF=1, " + index + " /\n" + more)


def kind_of(name, content):
    if name == "velmo.dat":
        return "velmo"
    if name == "sclinac.dat":
        return "lattice"
    if name == "graph.cfg":
        return "graph"
    if name == "fi_in.dat":
        return "fi_in"
    if name.startswith("eh_MWS"):
        return "rf"
    if name.startswith("eh_EMS"):
        return "table2d" if isinstance(content, str) else "table3d"
    if name.startswith("solenoid"):
        return "solenoid"
    if name.startswith("MHBrz"):
        return "mhb"
    if name.startswith("rfq.#"):
        return "rfq"
    if name.startswith("stripper"):
        return "stripper"
    if name == "read_dis.dat":
        return "read_dis"
    if name.startswith("scratch"):
        return "restart"
    return name.split("_")[0]


def all_targets(files, names=None):
    return [(n, kind_of(n, files[n])) for n in sorted(names if names is not None else files)]


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

# Argon 7+ and 8+ at 1000 keV/u: the velmo.dat of the table seeds (with the
# INDEX switches of each) and of the stripper foil.
TABLE_VELMO = ("&TRAN QDESIGN=8, ADESIGN=40, WIN=1.0D6, FREQB=80.5D6, NQTOT=2, NPAT=200, 200, QQ=7, 8,\n"
               "  AMASS=40, 40, CURRENT=0, 0, EPSNX=0.1, BETX=100, EPSNY=0.1, BETY=100, EPSNZ=100, BETZ=100 /\n"
               "&INDEX IGRAPH=0, ISRF=1, IFLAG_DIS=1{} /\n")
# A stripper file of the documented form: Ar 17+ and 18+ behind the foil,
# 950 keV/u behind a foil that the beam reaches at 1000 keV/u.
STRIPPER = "2\n17 18\n0.4 0.6\n0 0\n950.0\n"
# prmtr lines with a value of each kind: switches, design values, currents,
# grids, bend fringes and output requests, in a space-charge channel, in
# front of a bend and in front of an RFQ.
PRMTR_SC = ("1 prmtr Qdesign=8\n1 prmtr Adesign=40\n1 prmtr current=2.0 2.0\n1 prmtr scur=2.0\n"
            "1 prmtr gridSC=17 17 17\n1 prmtr zlhSC=1000\n1 prmtr iflag2D=0\n1 prmtr iflag_lev=1\n"
            "1 prmtr iwrite_rms=1\n1 prmtr trace=1\n0 prmtr outSC=2 0.0 0.0 0.0 1 1 1\n"
            "0 prmtr dev_field=0.1 0.1\n1 prmtr nqtot1=2\n1 prmtr outQ=1\n"
            "1 drift 10.0 1.5 1.5 6\n1 prmtr Cneutr=0.0\n1 prmtr iflag2D=1\n2 drift 10.0 1.5 1.5 6\n"
            "1 prmtr harm=2\n3 drift 5.0 1.5 1.5 4\nstop\n")
PRMTR_BEND = ("1 prmtr delta1=0.45\n1 prmtr delta2=3\n1 prmtr init_COSY=0\n1 prmtr iflag_log=1\n"
              "1 drift 20.0 3.0 3.0\n2 bmag 98.5398163 100.0 45.0 1.2 10.0 0.0 0.0 0.0 0.0 60\n"
              "1 prmtr trace=2\n3 drift 30.0 3.0 3.0\nstop\n")
PRMTR_RFQ_LINES = "1 prmtr AijRFQ=1 1 1 1 1 1\n1 prmtr aperRFQ=1.0\n"


def run_tool(cmd, d):
    r = subprocess.run(cmd, cwd=d, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    if r.returncode != 0:
        raise RuntimeError("{} failed: {}".format(" ".join(cmd), r.stdout.decode("latin-1")))


def tool_files(tool, work, name, commands):
    """The files that the tool writes for the commands, read back by name:
    the unformatted 3-D tables as bytes, the others as text."""
    d = os.path.join(work, "tables-" + name)
    os.makedirs(d)
    for c in commands:
        run_tool([tool] + c, d)
    files = {}
    for t in sorted(os.listdir(d)):
        data = read(os.path.join(d, t), "rb")
        files[t] = data if t.startswith("eh_") and not data.startswith(b"2D") else data.decode("latin-1")
    return files


def make_seeds(program, work):
    seeds = []
    lattice = read(os.path.join(EXAMPLE, "sclinac.dat"))
    # The example draws its plots (IGRAPH = 1): the windows come from graph.cfg.
    graph = read(os.path.join(EXAMPLE, "graph.cfg"))
    files = {"velmo.dat": example_velmo(), "sclinac.dat": lattice, "graph.cfg": graph}
    seeds.append(("example", files, all_targets(files, ["velmo.dat", "sclinac.dat"]), 1))
    small = example_velmo(npat=300)
    files = {"velmo.dat": small, "sclinac.dat": lattice, "graph.cfg": graph}
    seeds.append(("example-small", files, all_targets(files), 6))
    every_keyword = "".join("{} {} 10 2 2\n".format(i + 1, k) for i, k in enumerate(
        ["drift", "quad", "sol", "bend", "cav", "rfq", "strip", "scrch", "prmtr harm=1", "align quad 1 2",
         "enge quad", "swtch", "cdump", "vary", "fit", "matrx", "filtr", "buncher"])) + "stop\n"
    files = {"velmo.dat": small, "sclinac.dat": every_keyword, "graph.cfg": graph}
    seeds.append(("keywords", files, all_targets(files, ["sclinac.dat"]), 2))
    for name, flag, text, lat, weight in (
            ("lanl", 20, LANL, HARM_LATTICE, 2), ("astra", 21, ASTRA, HARM_LATTICE, 2),
            ("kobra", 23, KOBRA, HARM_LATTICE, 1), ("dinamion", 49, DINAMION, DRIFTS, 2)):
        velmo = simple_velmo("", "IFLAG_DIS={}".format(flag))
        if name == "dinamion":
            velmo = velmo.replace("WIN=1.0D6, ", "")
        files = {"velmo.dat": velmo, "sclinac.dat": lat, name + "_ini.dat": text}
        targets = [name + "_ini.dat"] + (["velmo.dat"] if name == "lanl" else [])
        seeds.append((name, files, all_targets(files, targets), weight))
    # The other examples with 300 particles per state: matrix sections, a
    # bending magnet, space charge.
    for name, weight in (("fodo_matrix", 2), ("bend_drifts", 2), ("space_charge_drift", 2)):
        files = other_example(name)
        seeds.append((name, files, all_targets(files), weight))

    # Field tables of every kind, written by make_field_table.
    tool = os.path.join(os.path.dirname(program), "make_field_table")
    if not os.path.exists(tool):
        print("warning: no make_field_table beside the program; the field-table seeds are skipped",
              file=sys.stderr)
    else:
        # The lens channel, the cavity linac and the error study (its
        # corrector cavity) as the examples make them.
        for name, weight in (("lens_channel", 3), ("cavity_linac", 3), ("error_study", 2)):
            d = os.path.join(work, "tables-" + name)
            os.makedirs(d)
            subprocess.run(["bash", os.path.join(EXAMPLES, name, "make_tables.sh"), tool], cwd=d,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
            files = other_example(name)
            for t in sorted(os.listdir(d)):
                files[t] = read(os.path.join(d, t), "rb" if t.startswith("eh_") else "r")
            seeds.append((name, files, all_targets(files), weight))
        # An RF gap of a half table (mirrored in x, y and z) in a short linac.
        files = tool_files(tool, work, "rf-half", [
            ["mws", "gap", "eh_MWS.#02", "e0=50000", "sigma=1", "xmax=2", "ymax=2", "zmax=5", "aper=2",
             "cells=1", "symx=1", "symy=1", "symz=1"]])
        files["velmo.dat"] = TABLE_VELMO.format(", IFLAG_CAV=1")
        files["sclinac.dat"] = "1 drift 5.0 2.0 -2.0\n2 cav 10.0 1.0 1.0 0.0 40\n2 drift 5.0 2.0 -2.0\nstop\n"
        files["fi_in.dat"] = "-30.0\n"
        seeds.append(("rf-half", files, all_targets(files, ["eh_MWS.#02", "fi_in.dat"]), 3))
        # Static 3-D tables: an electrostatic quadrupole (full table) and a
        # solenoid of a half table holding B only.
        files = tool_files(tool, work, "static3d", [
            ["ems0", "quad", "eh_EMS.#02", "g=-5000", "xmax=2.5", "ymax=2.5", "zmax=5"],
            ["ems1", "gsol", "eh_EMS.#03", "b0=2000", "sigma=2", "xmax=2", "ymax=2", "zmax=5", "symx=1",
             "symy=1", "symz=1"]])
        files["velmo.dat"] = TABLE_VELMO.format("")
        files["sclinac.dat"] = ("1 drift 5.0 2.0 2.0\n2 eq3d 1.0 10.0 2.0 20\n"
                                "3 sol3d 1.0 10.0 2.0 20\n2 drift 5.0 2.0 2.0\nstop\n")
        seeds.append(("static3d", files, all_targets(files, ["eh_EMS.#02", "eh_EMS.#03"]), 4))
        # A 2-D (r, z) table of an einzel-lens gap.
        files = tool_files(tool, work, "table2d", [
            ["2d", "gap", "eh_EMS.#04", "e0=2000", "sigma=1", "nu=11", "nz=41", "du=0.2", "dz=0.25"]])
        files["velmo.dat"] = TABLE_VELMO.format("")
        files["sclinac.dat"] = "1 drift 5.0 2.0 2.0\n4 einz 1.0 10.0 2.0 20\n2 drift 5.0 2.0 2.0\nstop\n"
        seeds.append(("table2d", files, all_targets(files, ["eh_EMS.#04"]), 4))
        # An on-axis solenoid table.
        files = tool_files(tool, work, "solenoid", [["solenoid", "solenoid", "solenoid.#01", "b0=1", "L=30",
                                                     "n=81"]])
        files["velmo.dat"] = TABLE_VELMO.format(", ISOL=1")
        files["sclinac.dat"] = "1 drift 5.0 2.0 2.0\n1 sol 3000.0 30.0 0.0 2.0 0.0 60\n2 drift 5.0 2.0 2.0\nstop\n"
        seeds.append(("solenoid", files, all_targets(files, ["solenoid.#01"]), 4))
        # TABLE_DIR, set in velmo.dat of the solenoid seed: every value
        # tried holds a control character, is too long or names no place
        # that has the table.
        seeds.append(("tabledir", files, [("velmo.dat", "tabledir")], 2))
        # The r-z table of a two-harmonic buncher.
        files = tool_files(tool, work, "mhb", [["rz", "gap", "MHBrz.#01", "e0=1000", "sigma=1", "nz=101",
                                                "nr=11", "L=10", "rmax=2"]])
        files["velmo.dat"] = TABLE_VELMO.format(", IFLAG_MHB=1")
        files["sclinac.dat"] = ("1 drift 5.0 2.0 2.0\n1 mhb 1.0 0.5 10.0 2.0 40.0 101 11 1 2 40\n"
                                "2 drift 5.0 2.0 2.0\nstop\n")
        seeds.append(("mhb", files, all_targets(files, ["MHBrz.#01"]), 4))
        # A uniform E and B table laid over drifts by an ebfld line.
        files = tool_files(tool, work, "ebfld", [["ems2", "uniform", "eh_EMS.#07", "ex=100", "by=500",
                                                  "xmax=3", "ymax=3", "zmax=10"]])
        files["velmo.dat"] = TABLE_VELMO.format("")
        files["sclinac.dat"] = ("-7 ebfld 1.0 1.0 20.0 3.0\n1 drift 10.0 0.0 0.0 10\n2 drift 10.0 0.0 0.0 10\n"
                                "3 drift 5.0 0.0 0.0 5\nstop\n")
        seeds.append(("ebfld", files, [("eh_EMS.#07", "ebfld")], 4))

    # RFQ cell files: the example's (made by make_rfq_cells) and a short
    # chain with every cell type, made here.
    files = other_example("rfq_buncher")
    seeds.append(("rfq_buncher", files, all_targets(files, ["rfq.#01"]), 5))
    files = dict(files)
    files["sclinac.dat"] = files["sclinac.dat"].replace("46 rfq", PRMTR_RFQ_LINES + "46 rfq")
    seeds.append(("prmtr-rfq", files, [("sclinac.dat", "prmtr")], 2))
    rtool = os.path.join(os.path.dirname(program), "make_rfq_cells")
    if not os.path.exists(rtool):
        print("warning: no make_rfq_cells beside the program; the rfq-chain seed is skipped", file=sys.stderr)
    else:
        d = os.path.join(work, "rfq-chain")
        os.makedirs(d)
        run_tool([rtool, "rfq.#02", "W=50", "gain=0.5", "freq=350e6", "V=60", "R=0.3", "r0=0.3", "m=1.2",
                  "nreg=8", "types=-1,-4,0,0,0,0,0,0,0,0,4,-2,2,1,-3,3,7"], d)
        files = other_example("rfq_buncher")
        del files["rfq.#01"]
        files["rfq.#02"] = read(os.path.join(d, "rfq.#02"))
        files["sclinac.dat"] = "1 prmtr harm=1\n1 prmtr iflag_t=1\n17 rfq 60.0 0.0 0.3 -150.0 1.0 20 2 -1\n" \
                               "1 drift 5.0 1.0 1.0\nstop\n"
        seeds.append(("rfq-chain", files, all_targets(files, ["rfq.#02"]), 5))

    # A stripper foil: Ar 7+ and 8+ at 1000 keV/u to 17+ and 18+.
    files = {"velmo.dat": TABLE_VELMO.format(""), "stripper.#01": STRIPPER,
             "sclinac.dat": "1 drift 5.0 2.0 2.0\n1 strip 0.0 0.0 0.0 0.1\n2 drift 10.0 2.0 2.0\nstop\n"}
    seeds.append(("stripper", files, all_targets(files, ["stripper.#01"]), 6))
    # prmtr values.
    files = other_example("space_charge_drift", npat=200)
    files["sclinac.dat"] = PRMTR_SC
    files["velmo.dat"] = files["velmo.dat"].replace("CURRENT = 5.0, 5.0", "CURRENT = 0.0, 0.0")
    seeds.append(("prmtr-sc", files, [("sclinac.dat", "prmtr")], 4))
    files = other_example("bend_drifts")
    files["sclinac.dat"] = PRMTR_BEND
    seeds.append(("prmtr-bend", files, [("sclinac.dat", "prmtr")], 2))

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
        files = {"velmo.dat": example_velmo(npat=200, extra_index="IREAD_DIS = 1"),
                 "sclinac.dat": DRIFTS, "graph.cfg": graph, "read_dis.dat": read(rd, "rb")}
        seeds.append(("read_dis", files, all_targets(files, ["read_dis.dat"]), 4))
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
        files = {"velmo.dat": simple_velmo("", "IFLAG_DIS=1"), "sclinac.dat": RESTART_LATTICE,
                 "scratch.#07": read(sc, "rb")}
        seeds.append(("restart", files, all_targets(files, ["scratch.#07"]), 4))
    else:
        print("warning: the first run wrote no scratch.#07; restart seed skipped", file=sys.stderr)
    return seeds


# ---------------------------------------------------------------------------
# Mutations. Each returns the operation, the new content, a description of
# the change (where, old and new value) and whether the variant breaks a
# rule of the input format for certain (then it must not end with status 0).

NUMBER = re.compile(r"(?<![A-Za-z_#])[-+]?(\d+\.?\d*|\.\d+)([eEdD][-+]?\d+)?")


def position(text, i):
    """Line (1-based) and column (1-based index of the blank-separated item)
    of character i."""
    line = text.count("\n", 0, i) + 1
    start = text.rfind("\n", 0, i) + 1
    # A number that starts an item opens a new column; one inside an item
    # (NPAT=200) belongs to that item.
    column = len(text[start:i].split()) + (1 if i == start or text[i - 1] in " \t" else 0)
    return line, column


def replace_number(rng, text, choices, pick=None):
    matches = [m for m in NUMBER.finditer(text) if pick is None or pick(text, m)]
    if not matches:
        return text, None, None
    m = rng.choice(matches)
    new = rng.choice(choices)
    line, col = position(text, m.start())
    return text[:m.start()] + new + text[m.end():], "line {} column {} {!r} -> {!r}".format(
        line, col, m.group(0), new), new


def mutate_text(rng, text, kind="lattice"):
    lines = text.split("\n")
    op = rng.choice(["flip", "truncate", "truncate_line", "delete_line", "dup_line", "number", "number",
                     "number", "scale", "scale", "overlong", "unknown", "garbage", "empty", "control",
                     "no_line_ends", "crlf"])
    detail, must = "", False
    data_kind = kind in ("table2d", "solenoid", "mhb")
    if op == "flip" and text:
        i = rng.randrange(len(text))
        c = chr(rng.randrange(1, 256))
        detail = "line {} char {!r} -> {!r}".format(text.count("\n", 0, i) + 1, text[i], c)
        text = text[:i] + c + text[i + 1:]
    elif op == "truncate" and text:
        i = rng.randrange(len(text))
        detail = "cut at byte {} of {} (line {})".format(i, len(text), text.count("\n", 0, i) + 1)
        # A cut that takes whole numbers off a table leaves too few of them
        # (one inside the last number only changes its value).
        must = data_kind and len(text[:i].split()) < len(text.split())
        text = text[:i]
    elif op == "truncate_line":
        k = rng.randrange(len(lines) + 1)
        detail = "first {} of {} lines".format(k, len(lines))
        must = data_kind and any(l.strip() for l in lines[k:])
        text = "\n".join(lines[:k])
    elif op == "delete_line" and lines:
        k = rng.randrange(len(lines))
        detail = "line {} removed: {!r}".format(k + 1, lines[k][:60])
        must = data_kind and bool(NUMBER.search(lines[k]))
        del lines[k]
        text = "\n".join(lines)
    elif op == "dup_line" and lines:
        k = rng.randrange(len(lines))
        detail = "line {} doubled: {!r}".format(k + 1, lines[k][:60])
        must = data_kind and bool(NUMBER.search(lines[k]))
        lines.insert(k, lines[k])
        text = "\n".join(lines)
    elif op == "number":
        text, detail, new = replace_number(rng, text, BAD_NUMBERS + (NOT_NUMBERS if kind != "lattice" else []))
        # Every number of a table, RFQ cell file or stripper file is finite.
        must = new is not None and kind in ("table2d", "solenoid", "mhb", "rfq", "stripper") and \
            finite_number(new) is None
    elif op == "scale":
        # A realistic value grown by a factor (a 10 m drift in place of a
        # 1 m one, a limit raised by 1e9): inside every range, but perhaps
        # too wide for the field an output prints it in.
        matches = list(NUMBER.finditer(text))
        if matches:
            m = rng.choice(matches)
            f = rng.choice([10.0, 100.0, 1e3, 1e6, 1e9, -1.0])
            old = finite_number(m.group(0))
            if old is None:
                new = m.group(0)
            elif re.fullmatch(r"[-+]?\d+", m.group(0)):
                new = str(int(old * f))  # a count or code stays a whole number
            else:
                new = repr(old * f)
            line, col = position(text, m.start())
            detail = "line {} column {} {!r} -> {!r}".format(line, col, m.group(0), new)
            text = text[:m.start()] + new + text[m.end():]
    elif op == "overlong":
        k = rng.randrange(len(lines) + 1)
        n = rng.randrange(40, 2000)
        piece = rng.choice(["1 drift ", "x", "&TRAN ", "0 ", "1.0 "])
        detail = "line {} inserted: {!r} x {}".format(k + 1, piece, n)
        lines.insert(k, piece * n)
        text = "\n".join(lines)
    elif op == "unknown":
        k = rng.randrange(len(lines) + 1)
        piece = rng.choice(["9 frobn 1 2 3", "FOO_BAR = 1,", "&TRAN BOGUS=3 /", "QQ(9)=1,", "NPAT(0)=5,",
                            "7 drift", "stop"])
        detail = "line {} inserted: {!r}".format(k + 1, piece)
        lines.insert(k, piece)
        text = "\n".join(lines)
    elif op == "garbage":
        i = rng.randrange(len(text) + 1)
        junk = "".join(chr(rng.randrange(0, 256)) for _ in range(rng.randrange(1, 64)))
        detail = "line {} {} bytes of junk".format(text.count("\n", 0, i) + 1, len(junk))
        text = text[:i] + junk + text[i:]
    elif op == "empty":
        detail = "empty file"
        must = data_kind or kind in ("rfq", "stripper")
        text = ""
    elif op == "control":
        i = rng.randrange(len(text) + 1)
        c = rng.choice(CONTROL_CHARS)
        detail = "line {} {!r} inserted".format(text.count("\n", 0, i) + 1, c)
        text = text[:i] + c + text[i:]
    elif op == "no_line_ends":
        sep = rng.choice([" ", ""])
        detail = "line ends replaced by {!r}".format(sep)
        # Free-format tables read the same numbers whatever the line breaks;
        # only numbers run together change the table.
        must = sep == "" and data_kind and len(lines) > 2 and sep.join(lines).split() != text.split()
        text = sep.join(lines) * rng.choice([1, 1, 200])
    elif op == "crlf":
        detail = "line ends CR LF"
        text = "\r\n".join(lines)
    return op, text, detail, must


def round_half_away(v):
    return math.floor(abs(v) + 0.5) * (1 if v >= 0 else -1) if math.isfinite(v) else v


def mutate_velmo_table_dir(rng, text):
    """TABLE_DIR with a control character, NUL bytes, or overlong."""
    value = rng.choice(["/etc/passwd\x00", "/dev/zero\x00", "./\x00", "\x01./", "./\x1b", "./\r", "tab\tle/",
                        "./" + "x" * 300 + "/", "/dev/zero", "/nonexistent/", "../", "/proc/self/"])
    detail = "TABLE_DIR = {!r}".format(value)
    return "table_dir", text.replace("&TRAN", "&TRAN TABLE_DIR = '" + value + "',", 1), detail, True


PRMTR_LINE = re.compile(r"^(-?\d+\s+prmtr\s+\S*?=)(.*)$", re.I | re.M)


def mutate_prmtr(rng, text):
    """One value of one prmtr line: a bad number, a text that is no number,
    a missing or an extra value."""
    lines = list(PRMTR_LINE.finditer(text))
    m = rng.choice(lines)
    head, values = m.group(1), m.group(2).split()
    line = text.count("\n", 0, m.start()) + 1
    name = head.split()[-1].rstrip("=")
    op = rng.choice(["value", "value", "value", "not_number", "drop", "extra"])
    if op in ("value", "not_number") and values:
        k = rng.randrange(len(values))
        new = rng.choice(BAD_NUMBERS if op == "value" else NOT_NUMBERS)
        detail = "line {} {} value {} {!r} -> {!r}".format(line, name, k + 1, values[k], new)
        v = finite_number(new)
        # Not a finite number, or above the 1e15 the lattice allows.
        must = v is None or abs(v) > 1e15
        values[k] = new
    elif op == "drop" and values:
        detail = "line {} {} values {!r} removed".format(line, name, " ".join(values))
        must = False
        values = []
    else:
        new = rng.choice(BAD_NUMBERS + NOT_NUMBERS)
        detail = "line {} {} value {!r} appended".format(line, name, new)
        must = finite_number(new) is None
        values = values + [new] * rng.choice([1, 10])
        op = "extra"
    new_line = head + " ".join(values)
    return op, text[:m.start()] + new_line + text[m.end():], detail, must


def mutate_rfq(rng, text):
    """A cell line's number: every column with bad numbers, the cell type
    with values of no defined kind, or a generic text damage."""
    lines = text.split("\n")
    cells = [i for i, l in enumerate(lines) if l.split()]
    if rng.random() < 0.35 or not cells:
        return mutate_text(rng, text, "rfq")
    i = rng.choice(cells)
    items = lines[i].split()
    col = rng.randrange(min(len(items), 14))
    if col == 5:
        new = rng.choice(["2147483648", "-2147483649", "1000", "1e9", "-99", "2.5", "5", "-5", "NaN", "Inf",
                          "1e300"])
    else:
        new = rng.choice(BAD_NUMBERS + NOT_NUMBERS[:4])
    detail = "line {} column {} {!r} -> {!r}".format(i + 1, col + 1, items[col], new)
    v = finite_number(new)
    # A non-finite number breaks the file's form for certain, and so does a
    # cell type beyond -9 .. 9 (the type is the nearest integer to its
    # column, halves away from zero: a fraction names a type).
    must = v is None or (col == 5 and abs(round_half_away(v)) > 9)
    items[col] = new
    lines[i] = " ".join(items)
    return "cell_value", "\n".join(lines), detail, must


def mutate_stripper(rng, text):
    lines = text.split("\n")
    op = rng.choice(["charge", "charge", "energy", "energy", "probability", "count", "text"])
    if op == "text":
        return mutate_text(rng, text, "stripper")
    if op == "charge":
        k = rng.randrange(2)
        items = lines[1].split()
        new = rng.choice(["0", "-9", "1e9", "1e-300", "9.5", "NaN", "Inf", "17.00001", "2147483648", "41",
                          "3"])
        detail = "line 2 column {} {!r} -> {!r}".format(k + 1, items[k], new)
        v = finite_number(new)
        # Whole positive charges within the QQ range of velmo.dat (300).
        must = v is None or v <= 0 or v != int(v) or v > 300
        items[k] = new
        lines[1] = " ".join(items)
    elif op == "energy":
        new = rng.choice(["2000", "1000.5", "0", "-950", "1e-300", "NaN", "Inf", "1e300", "999.9", "1"])
        detail = "line 5 column 1 {!r} -> {!r}".format(lines[4], new)
        v = finite_number(new)
        # W_s above 0 and not above the 1000 keV/u at the foil.
        must = v is None or v <= 0 or v > 1000.0
        lines[4] = new
    elif op == "probability":
        k = rng.randrange(2)
        items = lines[2].split()
        new = rng.choice(["0.5", "-0.4", "1.4", "NaN", "Inf", "0.40001", "0.400001"])
        detail = "line 3 column {} {!r} -> {!r}".format(k + 1, items[k], new)
        items[k] = new
        v = [finite_number(x) for x in items]
        must = any(x is None or x < 0 for x in v) or abs(sum(v) - 1.0) > 1e-4
        lines[2] = " ".join(items)
    else:
        new = rng.choice(["0", "3", "7", "-1", "1.5", "NaN", "2147483648"])
        detail = "line 1 column 1 {!r} -> {!r}".format(lines[0], new)
        must = True
        lines[0] = new
    return op, "\n".join(lines), detail, must


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
        return ""
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
        v = rng.choice([-1, 0, 7, 2147483647, -2147483648, 166002, 1000000])
        data[start + off:start + off + 4] = struct.pack("<i", v)
    else:
        v = rng.choice(BAD_DOUBLES)
        data[start + off:start + off + 8] = struct.pack("<d", v)
    return "record {} byte {} -> {!r}".format(recs.index((start, n)) + 1, off, v)


def mutate_binary(rng, data):
    data = bytearray(data)
    op = rng.choice(["flip", "truncate", "double", "double", "int", "garbage", "record", "record",
                     "record"])
    detail = ""
    if op == "flip" and data:
        i = rng.randrange(len(data))
        data[i] ^= 1 << rng.randrange(8)
        detail = "bit flip at byte {}".format(i)
    elif op == "truncate" and data:
        i = rng.randrange(len(data))
        detail = "cut at byte {} of {}".format(i, len(data))
        data = data[:i]
    elif op == "double" and len(data) >= 8:
        # A value of a record: 8 bytes after a 4-byte marker, at an offset
        # that may or may not align with a field.
        i = rng.randrange(0, len(data) - 7)
        v = rng.choice(BAD_DOUBLES)
        data[i:i + 8] = struct.pack("<d", v)
        detail = "double {!r} at byte {}".format(v, i)
    elif op == "int" and len(data) >= 4:
        i = rng.randrange(0, len(data) - 3)
        v = rng.choice([-1, 0, 7, 2147483647, -2147483648, 166002, 1000000])
        data[i:i + 4] = struct.pack("<i", v)
        detail = "int {} at byte {}".format(v, i)
    elif op == "record":
        detail = put_in_record(rng, data)
    elif op == "garbage":
        i = rng.randrange(len(data) + 1)
        data[i:i] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 64)))
        detail = "junk at byte {}".format(i)
    return op, bytes(data), detail, False


def regular(nodes):
    """Strictly increasing with equal spacing (within rounding)."""
    if not all(math.isfinite(x) for x in nodes) or len(nodes) < 2:
        return False
    h = (nodes[-1] - nodes[0]) / (len(nodes) - 1)
    if not h > 0 or not math.isfinite(h):
        return False
    return all(abs(nodes[0] + k * h - x) <= 1e-9 * (abs(h) + abs(x)) for k, x in enumerate(nodes))


def mutate_table3d(rng, data):
    """The records of a 3-D table (header, mirror flags, three node records,
    the field components, the trailer): a node off its grid, a grid scaled,
    a field value, a header value, a record doubled, removed or cut, or a
    length marker or bit damaged."""
    recs = records(data)
    data = bytearray(data)
    op = rng.choice(["node", "node", "node", "scale_grid", "field", "field", "header", "dup_record",
                     "drop_record", "truncate", "marker", "flip", "trailing"])
    nodes_recs = [2, 3, 4]
    if op in ("node", "scale_grid"):
        r = rng.choice(nodes_recs)
        start, n = recs[r]
        nodes = list(struct.unpack_from("<{}d".format(n // 8), data, start))
        if op == "node":
            k = rng.randrange(len(nodes))
            old = nodes[k]
            new = rng.choice([math.nan, math.inf, -math.inf, 1e300, -1e300, old * 5 - 1, old - 8, 1e-320,
                              old + 1e-3, nodes[k - 1] if k else nodes[1], old * (1 + 1e-15)])
            nodes[k] = new
            detail = "record {} node {} {!r} -> {!r}".format(r + 1, k + 1, old, new)
        else:
            f = rng.choice([1e200, 1e-200, 1e-320, -1.0, 0.0, 1e15])
            nodes = [x * f for x in nodes]
            detail = "record {} every node times {!r}".format(r + 1, f)
        struct.pack_into("<{}d".format(len(nodes)), data, start, *nodes)
        must = not regular(nodes)
    elif op == "field":
        comps = [r for r in range(5, len(recs) - 1) if recs[r][1] >= 8]
        r = rng.choice(comps)
        start, n = recs[r]
        k = rng.randrange(n // 8)
        old = struct.unpack_from("<d", data, start + 8 * k)[0]
        new = rng.choice([math.nan, math.inf, -math.inf, 1e300, 1e308, -1e300, 1e-320])
        struct.pack_into("<d", data, start + 8 * k, new)
        detail = "record {} value {} {!r} -> {!r}".format(r + 1, k + 1, old, new)
        must = not math.isfinite(new)
    elif op == "header":
        r = rng.choice([0, 1])
        start, n = recs[r]
        if r == 0:
            off = rng.choice([0, 8, 16])
            if off + 8 <= n and off < 16:
                new = rng.choice([math.nan, math.inf, 0.0, -1.0, 1e-320, 1e300])
                struct.pack_into("<d", data, start + off, new)
                must = False
            else:
                off = n - 4
                new = rng.choice([-1, 0, 2, 1000000, 2147483647, -2147483648])
                struct.pack_into("<i", data, start + off, new)
                must = False
        else:
            off = 4 * rng.randrange(n // 4)
            new = rng.choice([-1, 2, 7, 2147483647, -2147483648])
            struct.pack_into("<i", data, start + off, new)
            must = False
        detail = "record {} byte {} -> {!r}".format(r + 1, off, new)
    elif op in ("dup_record", "drop_record"):
        r = rng.randrange(len(recs))
        start, n = recs[r]
        whole = bytes(data[start - 4:start + n + 4])
        if op == "dup_record":
            data[start + n + 4:start + n + 4] = whole
            detail = "record {} doubled".format(r + 1)
        else:
            del data[start - 4:start + n + 4]
            detail = "record {} removed".format(r + 1)
        # The trailer record is not used: removing or doubling it may leave a
        # right table.
        must = r < len(recs) - 1
    elif op == "truncate":
        i = rng.randrange(len(data))
        detail = "cut at byte {} of {}".format(i, len(data))
        # Only a cut inside the unused trailer may leave a right table.
        must = i < recs[-1][0] - 4
        del data[i:]
    elif op == "marker":
        r = rng.randrange(len(recs))
        start, n = recs[r]
        where = rng.choice([start - 4, start + n])
        new = rng.choice([n + 8, n - 8, 0, -1, 2147483647])
        struct.pack_into("<i", data, where, new)
        detail = "record {} length marker {} -> {}".format(r + 1, n, new)
        must = r < len(recs) - 1
    elif op == "trailing":
        junk = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 64)))
        data += junk
        detail = "{} bytes appended".format(len(junk))
        must = False
    else:
        i = rng.randrange(len(data))
        data[i] ^= 1 << rng.randrange(8)
        detail = "bit flip at byte {}".format(i)
        must = False
    return op, bytes(data), detail, must


def mutate_table2d(rng, text):
    """A 2-D table: a node moved off its grid, the header's counts off the
    rows, or a generic text damage."""
    lines = text.split("\n")
    op = rng.choice(["node", "node", "count", "text", "text"])
    if op == "text":
        return mutate_text(rng, text, "table2d")
    if op == "count":
        items = lines[1].split()
        k = rng.choice([1, 3])
        old = items[k]
        new = rng.choice([str(int(old) - 1), str(int(old) + 1), "0", "2", "1000000", "NaN"])
        items[k] = new
        lines[1] = " ".join(items)
        return "count", "\n".join(lines), "line 2 column {} {!r} -> {!r}".format(k + 1, old, new), True
    rows = [i for i in range(3, len(lines)) if len(lines[i].split()) >= 2]
    i = rng.choice(rows)
    items = lines[i].split()
    k = rng.randrange(2)
    old = items[k]
    new = repr(float(old) + rng.choice([0.0371, -0.0371, 10.0, -10.0, 1e300]))
    items[k] = new
    lines[i] = " ".join(items)
    return "node", "\n".join(lines), "line {} column {} {!r} -> {!r}".format(i + 1, k + 1, old, new), True


def mutate_solenoid(rng, text):
    if rng.random() < 0.3:
        items = text.split(None, 1)
        new = rng.choice(["80", "82", "1", "0", "801", "-81", "81.5", "2147483648"])
        return "count", new + "\n" + items[1], "line 1 column 1 {!r} -> {!r}".format(items[0], new), True
    return mutate_text(rng, text, "solenoid")


def mutate(rng, kind, content):
    if kind == "tabledir":
        return mutate_velmo_table_dir(rng, content)
    if kind == "prmtr":
        return mutate_prmtr(rng, content)
    if isinstance(content, bytes):
        if kind in ("rf", "table3d", "ebfld") and rng.random() < 0.85:
            return mutate_table3d(rng, content)
        return mutate_binary(rng, content)
    if kind == "rfq":
        return mutate_rfq(rng, content)
    if kind == "stripper":
        return mutate_stripper(rng, content)
    if kind == "table2d":
        return mutate_table2d(rng, content)
    if kind == "solenoid":
        return mutate_solenoid(rng, content)
    return mutate_text(rng, content, kind)


# ---------------------------------------------------------------------------
# Running and classifying.

# A number that does not fit its field prints as asterisks; NaN and Inf in
# any spelling the writers might use. A unit's power (V/cm**2) is no such
# field.
ASTERISKS = re.compile(r"(?<![A-Za-z)])\*{2,}(?![0-9])|\*{4,}")
NON_FINITE = re.compile(r"(?<![A-Za-z])[-+]?(nan|inf|infinity)(?![A-Za-z])", re.I)
# Lines that hold asterisks in the undamaged runs of the seeds (frames of
# headings, '*** RMS parameters ***'), with their numbers blanked: the same
# line in a damaged run is no overflow. Filled once before the variants run.
DECORATION = set()


def line_form(line):
    return " ".join(NUMBER.sub("#", line).split())


def damaged_outputs(d, inputs, decoration=None):
    """The first formatted output (every text file the run wrote) holding a
    field of asterisks, NaN or Inf, with the line. With a decoration set,
    the lines of asterisks found are added to it instead."""
    for name in sorted(os.listdir(d)):
        p = os.path.join(d, name)
        # linac.dat is the lattice as written, with the phases of fi_in.dat.
        if name in inputs or name == "linac.dat" or not os.path.isfile(p):
            continue
        data = read(p, "rb")
        if b"\x00" in data[:65536]:
            continue  # an unformatted file
        for n, line in enumerate(data.decode("latin-1").splitlines(), 1):
            if ASTERISKS.search(line):
                if decoration is not None:
                    decoration.add(line_form(line))
                    continue
                if line_form(line) in DECORATION:
                    continue
                return "{} line {}: {}".format(name, n, line.strip()[:100])
            if NON_FINITE.search(line):
                return "{} line {}: {}".format(name, n, line.strip()[:100])
    return None


def signature(rc, out, err):
    """The cause of a crash or stop, for grouping: the sanitizer's report
    and its first frame inside the program's sources, the signal, or the
    first message line."""
    m = re.search(r"([\w/.-]+\.(?:cpp|hpp|h)):(\d+):\d+: runtime error: ([^\n]*)", err)
    if m:
        return "UB {}:{} {}".format(os.path.basename(m.group(1)), m.group(2), m.group(3)[:80])
    m = re.search(r"ERROR: AddressSanitizer: ([\w-]+)", err)
    if m:
        f = re.search(r"#\d+ 0x[0-9a-f]+ in (\S+) (\S*src/[^\s:]+:\d+)", err)
        return "ASan {} {}".format(m.group(1), os.path.basename(f.group(2)) if f else "")
    if rc is not None and rc < 0:
        return "signal {}".format(-rc)
    lines = [l.strip() for l in (out + "\n" + err).splitlines() if l.strip() and "Task begin" not in l]
    return lines[0][:100] if lines else ""


def rss_mb(pid):
    try:
        with open("/proc/{}/status".format(pid)) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return 0.0


def run_program(program, d, timeout, mem_limit):
    """Runs the program in d; (status or None, stdout, stderr, why killed)."""
    env = dict(os.environ, OMP_NUM_THREADS="1",
               ASAN_OPTIONS="exitcode=86:detect_leaks=0", UBSAN_OPTIONS="halt_on_error=1:exitcode=87")
    with tempfile.TemporaryFile() as fo, tempfile.TemporaryFile() as fe:
        p = subprocess.Popen([program], cwd=d, stdin=subprocess.DEVNULL, stdout=fo, stderr=fe, env=env)
        t0, killed = time.monotonic(), None
        while True:
            try:
                p.wait(timeout=0.05)
                break
            except subprocess.TimeoutExpired:
                pass
            if time.monotonic() - t0 > timeout:
                killed = "time limit {} s".format(timeout)
            elif mem_limit and rss_mb(p.pid) > mem_limit:
                killed = "memory above {} MB".format(mem_limit)
            if killed:
                p.kill()
                p.wait()
                break
        fo.seek(0)
        fe.seek(0)
        out, err = fo.read().decode("latin-1"), fe.read().decode("latin-1")
    return (None if killed else p.returncode), out, err, killed


def classify(rc, out, err, killed, d, inputs, must):
    if killed:
        return "hang", killed
    if rc == 0:
        bad = damaged_outputs(d, inputs)
        if bad:
            return "silent damage", bad
        if must:
            return "silent damage", "accepted a variant the input rules refuse"
        return "clean end", ""
    if rc == 1:
        # The stop message follows the begin stamp.
        msg = [l for l in out.splitlines() if l.strip() and "Task begin" not in l]
        return ("clear stop" if msg else "mute stop"), signature(rc, out, err)
    return "crash", signature(rc, out, err)


def write_files(d, files):
    for name, c in files.items():
        with open(os.path.join(d, name), "wb") as f:
            f.write(c if isinstance(c, bytes) else c.encode("latin-1", "replace"))


KEPT = collections.Counter()
KEPT_LOCK = threading.Lock()


def cause(rec):
    """The outcome with its numbers blanked: variants of one cause share it."""
    return (rec["class"], rec["kind"], rec["op"], re.sub(r"[-+.\deE]+|\*+", "#", rec["why"].split(":")[0]
                                                         if rec["class"] == "silent damage" else rec["why"]))


def run_one(program, timeout, mem_limit, keep_per_cause, seed_name, files, target, kind, rng_seed, keep):
    rng = random.Random(rng_seed)
    files = dict(files)
    op, files[target], detail, must = mutate(rng, kind, files[target])
    d = tempfile.mkdtemp(prefix="fuzz-")
    try:
        write_files(d, files)
        rc, out, err, killed = run_program(program, d, timeout, mem_limit)
        cls, why = classify(rc, out, err, killed, d, set(files), must)
        rec = {"n": rng_seed, "seed": seed_name, "kind": kind, "file": target, "op": op, "change": detail,
               "must_refuse": must, "class": cls, "status": rc, "why": why}
        kept = False
        if keep and cls not in ("clean end", "clear stop"):
            with KEPT_LOCK:
                KEPT[cause(rec)] += 1
                kept = KEPT[cause(rec)] <= keep_per_cause
        if kept:
            dest = os.path.join(keep, "{}-{}".format(cls.replace(" ", "_"), rng_seed))
            os.makedirs(dest, exist_ok=True)
            write_files(dest, files)
            with open(os.path.join(dest, "why.txt"), "w") as f:
                f.write(json.dumps(rec) + "\n--- screen\n" + out[-3000:] + "\n--- stderr\n" + err[-4000:] + "\n")
        return rec
    finally:
        shutil.rmtree(d, ignore_errors=True)


def check_seeds(program, seeds, timeout):
    """Every seed undamaged must end clean or, for a lattice made to be
    refused, in a clear stop; a seed that does not is dropped (its outcomes
    would say nothing about the damage)."""
    kept = []
    for seed in seeds:
        name, files = seed[0], seed[1]
        d = tempfile.mkdtemp(prefix="fuzz-seed-")
        try:
            write_files(d, files)
            t0 = time.monotonic()
            rc, out, err, killed = run_program(program, d, 4 * timeout, 0)
            if rc == 0:
                damaged_outputs(d, set(files), DECORATION)
            cls, why = classify(rc, out, err, killed, d, set(files), False)
            print("seed {:20s} {:10s} {:5.2f} s {}".format(name, cls, time.monotonic() - t0, why),
                  file=sys.stderr)
            if cls in ("clean end", "clear stop"):
                kept.append(seed)
        finally:
            shutil.rmtree(d, ignore_errors=True)
    return kept


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--program", required=True)
    ap.add_argument("--variants", type=int, default=5000)
    ap.add_argument("--jobs", type=int, default=3)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--timeout", type=float, default=20.0)
    ap.add_argument("--mem-limit", type=float, default=1500.0,
                    help="MB of resident memory after which a run counts as a hang (0: none)")
    ap.add_argument("--kinds", default="",
                    help="comma list of input kinds to damage; 'new' for " + ",".join(NEW_KINDS) +
                    "; all kinds when empty")
    ap.add_argument("--keep", default="")
    ap.add_argument("--keep-per-cause", type=int, default=5,
                    help="inputs kept for each cause (class, kind, mutation, outcome without its numbers)")
    ap.add_argument("--log", default="")
    a = ap.parse_args()
    program = os.path.abspath(a.program)
    kinds = set()
    for k in filter(None, a.kinds.split(",")):
        kinds.update(NEW_KINDS if k == "new" else [k])
    unknown = kinds - set(NEW_KINDS + OLD_KINDS)
    if unknown:
        ap.error("unknown kinds {}; known: {}".format(sorted(unknown), ", ".join(NEW_KINDS + OLD_KINDS)))
    work = tempfile.mkdtemp(prefix="fuzz-seeds-")
    seeds = check_seeds(program, make_seeds(program, work), a.timeout)
    # Each seed's weight is shared by its damageable files of the kinds asked.
    choices, weights = [], []
    for name, files, targets, w in seeds:
        chosen = [t for t in targets if not kinds or t[1] in kinds]
        for target, kind in chosen:
            choices.append((name, files, target, kind))
            weights.append(w / len(chosen))
    if not choices:
        ap.error("no seed has a file of the kinds asked")
    rng = random.Random(a.seed)
    tasks = [rng.choices(choices, weights)[0] + (a.seed * 1000003 + k,) for k in range(a.variants)]
    table = collections.defaultdict(collections.Counter)
    log = open(a.log, "w") if a.log else None
    t0 = time.monotonic()
    with ThreadPoolExecutor(max_workers=a.jobs) as pool:
        futures = [pool.submit(run_one, program, a.timeout, a.mem_limit, a.keep_per_cause, name, files, target,
                               kind, s, a.keep)
                   for name, files, target, kind, s in tasks]
        for n, fut in enumerate(futures, 1):
            rec = fut.result()
            table[rec["kind"]][rec["class"]] += 1
            if log:
                log.write(json.dumps(rec) + "\n")
            if n % 500 == 0:
                total = collections.Counter()
                for c in table.values():
                    total.update(c)
                print("{} variants, {:.0f} s: {}".format(n, time.monotonic() - t0, dict(total)),
                      file=sys.stderr, flush=True)
    if log:
        log.close()
    shutil.rmtree(work, ignore_errors=True)
    classes = ["clean end", "clear stop", "mute stop", "crash", "hang", "silent damage"]
    total = collections.Counter()
    print("| kind | " + " | ".join(classes) + " | total |")
    print("|---" * (len(classes) + 2) + "|")
    for kind in sorted(table):
        c = table[kind]
        total.update(c)
        print("| {} | {} | {} |".format(kind, " | ".join(str(c[k]) for k in classes), sum(c.values())))
    print("| all | {} | {} |".format(" | ".join(str(total[k]) for k in classes), sum(total.values())))
    return 0 if all(total[k] == 0 for k in ("crash", "hang", "silent damage", "mute stop")) else 1


if __name__ == "__main__":
    sys.exit(main())
