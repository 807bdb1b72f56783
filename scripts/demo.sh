#!/usr/bin/env bash
# The demo: installs what is missing, builds the library and the host HAL
# emulator, writes two recordings (a "Preview" task list and a capture task
# list with HDR scenes and faces), each in the device's layout into the
# device root <output-folder>/<scenario>/recording, plays each through the
# real libzebsim.so, and prints where the reports and pictures are. The
# recordings name device paths, so they play wherever they are moved.
#   scripts/demo.sh [output-folder]   (default: out/demo)
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-out/demo}"
echo "report: $out/capture/report/report.html (and $out/preview/report/report.html), written at the end"
bash scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target zebsim-hal
rm -rf "$out"
mkdir -p "$out"
for scenario in preview capture; do
  echo "=== playing the ${scenario} recording ==="
  mkdir -p "$out/$scenario"
  build/tools/zebsim-hal/zebsim-hal --device-root "$out/$scenario/recording" --generate "$scenario" \
    --out "$out/$scenario/report" --log-file "$out/$scenario/library.log" --time-scale 0.05
done
echo "=== summary ==="
for scenario in capture preview; do
  echo "$scenario: report $out/$scenario/report/report.html"
done
for scenario in preview capture; do
  echo "$scenario: report data $out/$scenario/report/report.json"
  for picture in "$out/$scenario/report/"*.png; do echo "$scenario: picture $picture"; done
  echo "$scenario: library log $out/$scenario/library.log"
  echo "$scenario: recording $out/$scenario/recording"
done
