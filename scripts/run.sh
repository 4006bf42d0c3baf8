#!/usr/bin/env bash
# The station's run command: installs what is missing, builds the station,
# lays out a program folder in build/run-home/ and starts the station there.
#   ./scripts/run.sh                       four emulated devices of different profiles
#   ./scripts/run.sh --emulate 2 --exit-when-done
#   ./scripts/run.sh --emulate standard,small-disk --time-scale 0.2
# Options after the command go to the station as they stand (see README.md);
# without any, "--emulate 4" is used. The program folder is laid out only
# where something is missing: the lists, settings and logs of earlier starts
# stay. A command line the station refuses ends the command before the
# folder is touched, with the station's status (2).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"

"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j3 --target station usbdos

if [ $# -eq 0 ]; then
  set -- --emulate 4
fi
station="$build/src/console/station"
# Checked as the start below will take it (its --home first), headless unless
# the options ask for the window.
"$station" --check-options --headless --home "$build" "$@"
home=$("$root/scripts/layout_home.sh" "$build" "$build/run-home")
exec "$station" --home "$home" "$@"
