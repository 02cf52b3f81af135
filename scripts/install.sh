#!/usr/bin/env bash
# Builds the plug-in, installs its bundle where OpenFX hosts look for
# plug-ins, installs the local matting backend prismhollow-backend into
# /usr/local/bin, and lists the plug-in the way a host would.
#   scripts/install.sh [FOLDER]   (default: /usr/OFX/Plugins)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
source scripts/jobs.sh

folder="${1:-/usr/OFX/Plugins}"
cmake -S . -B build -DOFX_PLUGIN_INSTALL_DIR="$folder"
cmake --build build -j "$jobs" --target PrismhollowDuneVeil prismhollow prismhollow-backend
cmake --install build --component plugin
cmake --install build --component host
build/cli/prismhollow describe "$folder/PrismhollowDuneVeil.ofx.bundle"
