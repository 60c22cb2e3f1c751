#!/usr/bin/env bash
# Writes the field table of the corrector cavity into the current directory:
#   eh_MWS.#01  RF gap with Ez = E0 exp(-dz^2/(2 sigma^2)) on the axis,
#               E0 = 50000 V/cm, sigma = 1 cm, over the 10 cm of a cav line
#               (dz from the gap centre) and |x|, |y| <= 2 cm; the header's
#               aperture radius is 2 cm
# Usage: make_tables.sh PATH_TO_make_field_table
set -euo pipefail
tool=$1
"$tool" mws gap eh_MWS.#01 e0=50000 sigma=1 xmax=2 ymax=2 zmax=5 aper=2 cells=1
