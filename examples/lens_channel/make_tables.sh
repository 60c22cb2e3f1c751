#!/usr/bin/env bash
# Writes the field tables of the lens channel into the current directory:
#   solenoid.#01  on-axis samples of B0 sin^2(pi z/L), L = 30 cm, 81 samples
#   eh_EMS.#02    electric quadrupole E = (g x, -g y, 0), g = -5000 V/cm^2,
#                 over |x|, |y| <= 2.5 cm and the 10 cm of the eq3d line
# Usage: make_tables.sh PATH_TO_make_field_table
set -euo pipefail
tool=$1
"$tool" solenoid solenoid solenoid.#01 b0=1 L=30 n=81
"$tool" ems0 quad eh_EMS.#02 g=-5000 xmax=2.5 ymax=2.5 zmax=5
