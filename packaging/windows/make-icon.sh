#!/usr/bin/env bash
# Makes packaging/windows/pelkisp.ico, the Windows programs' icon, from
# share/pelkisp.svg: the sizes Windows picks from (16 to 48 for menus,
# lists and the task bar, 64 and 128 for large views, 256 for the largest
# tiles): up to 64 as bitmaps, 128 and 256 as PNG, which Windows Vista and
# later read (and which keeps the file small). The .ico is committed, so that a build needs neither tool;
# run this again when the SVG changes.
#
#   packaging/windows/make-icon.sh     (needs rsvg-convert and icotool:
#                                       Debian packages librsvg2-bin, icoutils)
set -euo pipefail
cd "$(dirname "$0")"
for tool in rsvg-convert icotool; do
  command -v "$tool" >/dev/null || { echo "make-icon.sh: $tool is needed" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
images=()
for size in 16 20 24 32 40 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" -o "$work/$size.png" ../../share/pelkisp.svg
  if [ "$size" -le 64 ]; then images+=("$work/$size.png"); else images+=("--raw=$work/$size.png"); fi
done
icotool -c -o pelkisp.ico "${images[@]}"
