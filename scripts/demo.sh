#!/usr/bin/env bash
# The whole job on real footage: installs what is needed (Debian packages;
# root or sudo), builds, installs the plug-in bundle and the prismhollow and
# prismhollow-backend programs, then pulls the matte of the man through the
# fourth shot of Megamind.avi (frames 200 to 269) from a box drawn around him
# on frame 235, with a local backend for the length of the job.
#   scripts/demo.sh [OUT]   (default: ./megamind_matte)
set -euo pipefail
out="$(realpath -m "${1:-megamind_matte}")"
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
source scripts/jobs.sh

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release
cmake --build build-release -j "$jobs" --target PrismhollowDuneVeil prismhollow prismhollow-backend
"${as_root[@]}" cmake --install build-release --component plugin
"${as_root[@]}" cmake --install build-release --component host --prefix /usr/local

/usr/local/bin/prismhollow pull /usr/share/doc/opencv-doc/examples/data/Megamind.avi \
  --frames 200:269 --anchor 235 --box-px 120,0,580,528 --out "$out"
