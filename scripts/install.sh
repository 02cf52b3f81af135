#!/usr/bin/env bash
# Builds the plug-in, installs its bundle where OpenFX hosts look for
# plug-ins, and lists it the way a host would.
#   scripts/install.sh [FOLDER]   (default: /usr/OFX/Plugins)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

folder="${1:-/usr/OFX/Plugins}"
cmake -S . -B build -DOFX_PLUGIN_INSTALL_DIR="$folder"
cmake --build build -j "$(nproc)" --target PrismhollowDuneVeil prismhollow
cmake --install build --component plugin
build/host/prismhollow describe "$folder/PrismhollowDuneVeil.ofx.bundle"
