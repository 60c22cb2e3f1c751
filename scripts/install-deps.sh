#!/usr/bin/env bash
# Installs, with apt-get, whatever of the build and test dependencies is missing.
set -euo pipefail
pkgs=(cmake g++ make pkg-config libgtest-dev libgmock-dev libfmt-dev libcairo2-dev
      pybind11-dev python3-dev python3-iminuit libbenchmark-dev libfftw3-dev
      fonts-liberation2)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
