#!/usr/bin/env bash
# Writes the README's picture of the demo workstation anew, from the current demo:
# examples/workstation/screenshot.png, rendered offscreen at the demo's own size.
set -euo pipefail
cd "$(dirname "$0")/.."
QT_QPA_PLATFORM=offscreen bash scripts/demo.sh --screenshot "$PWD/examples/workstation/screenshot.png"
