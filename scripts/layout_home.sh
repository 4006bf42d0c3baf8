#!/usr/bin/env bash
# Lays out a station program folder from support/ and a build:
#   scripts/layout_home.sh BUILD_DIR HOME_DIR
# HOME_DIR gets whatever it is missing of: misc/ and flash/ (from support/),
# the port program misc/usbdos, log/, the sample firmware files and folder in
# samples/ and the pre-copy list misc/seting.ini naming them. Every file that
# is there already stays as it stands: the lists and settings the station or
# the operator wrote (without misc/prefer.ini the station starts from the
# settings' defaults), the logs, and support files the operator replaced (the
# maker's FSM file or flash tables). Only the port program, which is the
# build's own, is replaced when the build holds another one.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
home=$2

# Copies each file of folder $1 that folder $2 does not hold yet.
copy_missing() {
  local from=$1 to=$2 file
  (cd "$from" && find . -type f -print0) | while IFS= read -r -d '' file; do
    if [ ! -e "$to/$file" ] && [ ! -L "$to/$file" ]; then
      mkdir -p "$(dirname "$to/$file")"
      cp -p "$from/$file" "$to/$file"
    fi
  done
}

mkdir -p "$home/misc" "$home/flash" "$home/log" "$home/samples"
home=$(cd "$home" && pwd)
copy_missing "$root/support/misc" "$home/misc"
copy_missing "$root/support/flash" "$home/flash"
copy_missing "$root/support/samples" "$home/samples"

# A new port program goes in by renaming, so that one a station runs at this
# moment is not written over.
if ! cmp -s "$build/src/production/usbdos" "$home/misc/usbdos"; then
  cp "$build/src/production/usbdos" "$home/misc/.usbdos.new"
  mv -f "$home/misc/.usbdos.new" "$home/misc/usbdos"
fi

# The pre-copy list: UTF-16LE with its byte-order mark, CR LF after each path.
if [ ! -e "$home/misc/seting.ini" ]; then
  {
    printf '\xff\xfe'
    printf '%s\r\n' "$home/samples/player.bin" "$home/samples/prefer.dat" "$home/samples/files" |
      iconv -f UTF-8 -t UTF-16LE
  } > "$home/misc/.seting.ini.new"
  mv "$home/misc/.seting.ini.new" "$home/misc/seting.ini"
fi

echo "$home"
