#!/usr/bin/env bash
# Lays out a station program folder from support/ and a build:
#   scripts/layout_home.sh BUILD_DIR HOME_DIR
# HOME_DIR gets misc/ and flash/ (from support/), the port program misc/usbdos,
# an empty log/, the sample firmware files and folder in samples/ and the
# pre-copy list misc/seting.ini naming them. Settings and logs the station
# wrote there before are kept (without misc/prefer.ini it starts from the
# settings' defaults).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
home=$2

mkdir -p "$home/misc" "$home/flash" "$home/log" "$home/samples"
cp -r "$root/support/misc/." "$home/misc/"
cp -r "$root/support/flash/." "$home/flash/"
cp -r "$root/support/samples/." "$home/samples/"
cp "$build/src/production/usbdos" "$home/misc/usbdos"
home=$(cd "$home" && pwd)

# The pre-copy list: UTF-16LE with its byte-order mark, CR LF after each path.
{
  printf '\xff\xfe'
  printf '%s\r\n' "$home/samples/player.bin" "$home/samples/prefer.dat" "$home/samples/files" |
    iconv -f UTF-8 -t UTF-16LE
} > "$home/misc/seting.ini"

echo "$home"
