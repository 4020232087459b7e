#!/usr/bin/env bash
# Finishes the Debian package's staged tree before cpack packs it, as
# Debian's packaging helpers would (dh_installchangelogs, dh_compress):
#   - the manual pages and README compressed (gzip -9n: no name, no time);
#   - CHANGELOG.md turned into /usr/share/doc/pelkisp/changelog.gz in
#     Debian's changelog format (this is a native package: its one changelog);
#   - the icon rendered from its SVG into the usual PNG sizes (rsvg-convert).
#
#   deb-finish.sh STAGED_USR SOURCE_DIR VERSION MAINTAINER WITH_UI
set -euo pipefail
usr=$1 source=$2 version=$3 maintainer=$4 with_ui=$5
umask 022
doc=$usr/share/doc/pelkisp

# CHANGELOG.md: "## VERSION (YYYY-MM-DD)" headings, then items "- text"
# with continuation lines indented by two blanks.
debian_changelog() {
  local heading='^## ([0-9][0-9.]*) \(([0-9]{4}-[0-9]{2}-[0-9]{2})\)$'
  local line date="" entries=0
  while IFS= read -r line || [ -n "$line" ]; do
    if [[ $line =~ $heading ]]; then
      if [ "$entries" -gt 0 ]; then
        printf '\n -- %s  %s\n\n' "$maintainer" "$date"
      elif [ "${BASH_REMATCH[1]}" != "$version" ]; then
        echo "deb-finish.sh: CHANGELOG.md's newest entry is ${BASH_REMATCH[1]}, not $version" >&2
        return 1
      fi
      date=$(LC_ALL=C date -u -R -d "${BASH_REMATCH[2]} 00:00 UTC")
      printf 'pelkisp (%s) unstable; urgency=medium\n\n' "${BASH_REMATCH[1]}"
      entries=$((entries + 1))
    elif [ "$entries" -gt 0 ] && [[ $line == '- '* ]]; then
      printf '  * %s\n' "${line#- }"
    elif [ "$entries" -gt 0 ] && [[ $line == '  '?* ]]; then
      printf '    %s\n' "${line#  }"
    fi
  done
  if [ "$entries" -eq 0 ]; then
    echo "deb-finish.sh: CHANGELOG.md has no entry" >&2
    return 1
  fi
  printf '\n -- %s  %s\n' "$maintainer" "$date"
}

debian_changelog <"$doc/CHANGELOG.md" >"$doc/changelog"
rm "$doc/CHANGELOG.md"
gzip -9nf "$doc/changelog" "$doc/README.md"
gzip -9nf "$usr"/share/man/man1/*.1

case ${with_ui^^} in
  ON | TRUE | YES | 1)
    if ! command -v rsvg-convert >/dev/null; then
      echo "deb-finish.sh: rsvg-convert (Debian package librsvg2-bin) is needed for the icon's PNG sizes" >&2
      exit 1
    fi
    icons=$usr/share/icons/hicolor
    for size in 16 22 24 32 48 64 128 256; do
      mkdir -p "$icons/${size}x${size}/apps"
      rsvg-convert -w "$size" -h "$size" -o "$icons/${size}x${size}/apps/pelkisp.png" \
        "$icons/scalable/apps/pelkisp.svg"
    done
    ;;
esac
