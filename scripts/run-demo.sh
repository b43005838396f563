#!/usr/bin/env bash
# The main job: builds ORVEX, installs the VST3 and LV2 plug-ins for this user (~/.vst3,
# ~/.lv2) and renders the built-in demo phrase through the plug-in to orvex-demo.wav.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/build.sh

artefacts=build/OrvexCore_artefacts/Release
mkdir -p "$HOME/.vst3" "$HOME/.lv2"
rm -rf "$HOME/.vst3/ORVEX.vst3" "$HOME/.lv2/ORVEX.lv2"
cp -r "$artefacts/VST3/ORVEX.vst3" "$HOME/.vst3/"
cp -r "$artefacts/LV2/ORVEX.lv2" "$HOME/.lv2/"
echo "Installed $HOME/.vst3/ORVEX.vst3 and $HOME/.lv2/ORVEX.lv2"
echo "Standalone application: $root/$artefacts/Standalone/ORVEX"

build/orvex-render --output "$root/orvex-demo.wav"
