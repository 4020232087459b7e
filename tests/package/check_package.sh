#!/usr/bin/env bash
# The Debian package, made by cpack from this build and checked as a user's
# system would get it. Nothing is installed into this machine's system: the
# package is only listed and unpacked into a folder of the build.
#
#   check_package.sh STEP BUILD_DIR SOURCE_DIR VERSION
#
#   make        cpack makes the package into BUILD_DIR/package-check and
#               unpacks it there (dpkg-deb -x)
#   contents    its control fields, its file list (dpkg-deb -c), and what
#               the files hold (stripped programs, compressed pages,
#               changelog, icons, metainfo that appstreamcli accepts)
#   programs    the unpacked programs run: --version, and pelkisp programs
#               the example firmware into a simulated target
#   completion  the bash completion, sourced into a real bash with
#               bash-completion's helpers, completes options and values
#   clean       removes BUILD_DIR/package-check
set -uo pipefail
step=$1 build=$(cd "$2" && pwd) source=$(cd "$3" && pwd) version=$4
work=$build/package-check
root=$work/root
arch=$(dpkg --print-architecture)
deb=$work/out/pelkisp_${version}_${arch}.deb

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# same WHAT EXPECTED ACTUAL
same() {
  if [ "$2" != "$3" ]; then
    fail "$1"
    echo "  expected: $(printf '%s' "$2" | tr '\n' ' ')"
    echo "  actual:   $(printf '%s' "$3" | tr '\n' ' ')"
  fi
}
finish() {
  if [ "$failures" -gt 0 ]; then
    echo "$step: $failures check(s) failed"
    exit 1
  fi
  echo "$step: all checks passed"
}
need_package() {
  if [ ! -f "$deb" ] || [ ! -d "$root" ]; then
    echo "no package at $deb (the step 'make' failed or did not run)"
    exit 1
  fi
}

make_package() {
  rm -rf "$work"
  mkdir -p "$work/out"
  if ! (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1); then
    cat "$work/cpack.log"
    echo "cpack failed"
    exit 1
  fi
  if [ ! -f "$deb" ]; then
    ls -l "$work/out"
    echo "cpack made no $deb"
    exit 1
  fi
  dpkg-deb -x "$deb" "$root" || exit 1
  echo "made $deb"
}

check_contents() {
  need_package
  # Control fields; Depends comes from the programs (dpkg-shlibdeps), with
  # the window's platform plugins added.
  same "Package" pelkisp "$(dpkg-deb -f "$deb" Package)"
  same "Version (the project's)" "$version" "$(dpkg-deb -f "$deb" Version)"
  same "Architecture" "$arch" "$(dpkg-deb -f "$deb" Architecture)"
  same "Section" electronics "$(dpkg-deb -f "$deb" Section)"
  [ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "no Maintainer field"
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  for dependency in libc6 libstdc++6 libqt6widgets6 qt6-qpa-plugins; do
    [[ ", $depends," == *", $dependency "[\(,]* || ", $depends," == *", $dependency,"* ]] ||
      fail "Depends has no $dependency: $depends"
  done

  # The file list: exactly these files, owned by root, with Debian's modes.
  local expected=(
    usr/bin/PelkISP usr/bin/pelkisp usr/bin/pelkisp-target
    usr/share/man/man1/PelkISP.1.gz usr/share/man/man1/pelkisp.1.gz usr/share/man/man1/pelkisp-target.1.gz
    usr/share/applications/pelkisp.desktop
    usr/share/icons/hicolor/scalable/apps/pelkisp.svg
    usr/share/bash-completion/completions/pelkisp
    usr/share/doc/pelkisp/README.md.gz usr/share/doc/pelkisp/changelog.gz usr/share/doc/pelkisp/copyright
  )
  local size
  for size in 16 22 24 32 48 64 128 256; do
    expected+=("usr/share/icons/hicolor/${size}x${size}/apps/pelkisp.png")
  done
  local metainfo
  metainfo=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep '^\./usr/share/metainfo/.*\.metainfo\.xml$' | sed 's|^\./||')
  [ "$(printf '%s' "$metainfo" | grep -c .)" -eq 1 ] || fail "not one metainfo file: $metainfo"
  expected+=("$metainfo")
  same "the package's files" "$(printf '%s\n' "${expected[@]}" | sort)" \
    "$(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ {print $6}' | sed 's|^\./||' | sort)"
  dpkg-deb -c "$deb" | awk '$2 != "root/root" {print "FAIL: not owned by root: " $0}' | grep . && failures=$((failures + 1))
  dpkg-deb -c "$deb" | awk '
    $1 ~ /^-/ && $6 ~ /^\.\/usr\/bin\// { if ($1 != "-rwxr-xr-x") print "FAIL: mode " $1 " of " $6; next }
    $1 ~ /^-/ { if ($1 != "-rw-r--r--") print "FAIL: mode " $1 " of " $6; next }
    $1 ~ /^d/ { if ($1 != "drwxr-xr-x") print "FAIL: mode " $1 " of " $6 }' | grep . && failures=$((failures + 1))

  # What the files hold.
  local program
  for program in PelkISP pelkisp pelkisp-target; do
    file -b "$root/usr/bin/$program" | grep -q 'ELF.*, stripped' || fail "$program is not a stripped program: $(file -b "$root/usr/bin/$program")"
  done
  local gz
  for gz in "$root"/usr/share/man/man1/*.gz "$root"/usr/share/doc/pelkisp/*.gz; do
    gzip -t "$gz" || fail "not gzip: $gz"
  done
  for size in 16 22 24 32 48 64 128 256; do
    file -b "$root/usr/share/icons/hicolor/${size}x${size}/apps/pelkisp.png" | grep -q "^PNG image data, $size x $size," ||
      fail "the ${size}x${size} icon is not a PNG of that size"
  done
  # The changelog in Debian's format, its newest entry this version.
  zcat "$root/usr/share/doc/pelkisp/changelog.gz" >"$work/changelog"
  same "the changelog's newest version" "$version" "$(dpkg-parsechangelog -l "$work/changelog" -S Version 2>&1)"
  same "the changelog's package" pelkisp "$(dpkg-parsechangelog -l "$work/changelog" -S Source 2>&1)"
  grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' \
    "$root/usr/share/doc/pelkisp/copyright" || fail "copyright is not in the machine-readable format"
  # The metainfo: valid, named after its id, and for the desktop entry.
  if [ -n "$metainfo" ]; then
    appstreamcli validate --no-net "$root/$metainfo" >"$work/appstream.log" 2>&1 ||
      fail "appstreamcli validate: $(cat "$work/appstream.log")"
    local id
    id=$(sed -n 's|^ *<id>\(.*\)</id>$|\1|p' "$root/$metainfo")
    same "the metainfo file's name" "usr/share/metainfo/$id.metainfo.xml" "$metainfo"
    grep -q '<launchable type="desktop-id">pelkisp.desktop</launchable>' "$root/$metainfo" ||
      fail "the metainfo does not launch pelkisp.desktop"
  fi
  finish
}

check_programs() {
  need_package
  local bin=$root/usr/bin out status
  same "pelkisp --version" "pelkisp $version" "$("$bin/pelkisp" --version 2>&1)"
  same "pelkisp-target --version" "pelkisp-target $version" "$("$bin/pelkisp-target" --version 2>&1)"
  out=$(cd "$work" && timeout 60 "$bin/pelkisp" --port sim program "$source/examples/blinky.hex" 2>/dev/null)
  status=$?
  same "pelkisp --port sim program: exit status" 0 "$status"
  same "pelkisp --port sim program: result lines" \
    "$(printf 'Device erased.\nDevice programmed.\nVerification OK.')" "$out"
  # The window's libraries are all found.
  ldd "$bin/PelkISP" | grep 'not found' && fail "PelkISP: libraries not found"
  finish
}

check_completion() {
  need_package
  local script=$root/usr/share/bash-completion/completions/pelkisp
  # complete LINE: what pressing Tab at the end of LINE offers, one a line
  # (sorted), in a bash without the user's settings; the completion
  # function is the one the script registers for pelkisp, and `pelkisp`
  # is the unpacked program.
  local session='
    source /usr/share/bash-completion/bash_completion || exit 1
    source "$0" || exit 1
    registered=$(complete -p pelkisp) || exit 1
    function=${registered#*-F }; function=${function%% *}
    for line in "$@"; do
      read -ra COMP_WORDS <<<"$line"
      [[ $line == *" " ]] && COMP_WORDS+=("")
      COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
      COMP_LINE=$line COMP_POINT=${#line}
      COMPREPLY=()
      "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
      printf "%s\n" "${COMPREPLY[@]}" | sort
      echo "--end--"
    done'
  complete() {
    (cd "$work" && PATH=$root/usr/bin:$PATH bash --norc --noprofile -c "$session" "$script" "$1" | sed '/^--end--$/d;/^$/d')
  }
  same "pelkisp --dev" "--device" "$(complete 'pelkisp --dev')"
  same "pelkisp -d W7" "$(printf '%s\n' W77E532 W78E516B W78E58B W78E858 W78LE516 W78LE58)" "$(complete 'pelkisp -d W7')"
  same "pelkisp -b 11" "$(printf '%s\n' 110 115200)" "$(complete 'pelkisp -b 11')"
  same "pelkisp pro" "program" "$(complete 'pelkisp pro')"
  same "pelkisp --port=s" "sim" "$(complete 'pelkisp --port=s')"
  same "pelkisp -p COM1,COM" "$(printf 'COM1,COM%s\n' 1 2 3 4)" "$(complete 'pelkisp -p COM1,COM')"
  # --port: COM1..COM4, sim, and the device paths that `pelkisp ports`
  # lists for this machine (none is fine), also when pelkisp cannot run.
  local machine
  machine=$(cd "$work" && "$root/usr/bin/pelkisp" ports 2>/dev/null | awk '$1 ~ /^\/dev\// {print $1}')
  same "pelkisp --port" "$(printf '%s\n' COM1 COM2 COM3 COM4 sim $machine | sort)" "$(complete 'pelkisp --port ')"
  same "a pelkisp that cannot run: --port" "$(printf '%s\n' COM1 COM2 COM3 COM4 sim | sort)" \
    "$(complete '/nonexistent/pelkisp -p ')"
  # Every long option of pelkisp --help is offered.
  local offered option
  offered=$(complete 'pelkisp --')
  for option in $("$root/usr/bin/pelkisp" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
    grep -qx -- "$option" <<<"$offered" || fail "pelkisp -- does not offer $option (from pelkisp --help)"
  done
  finish
}

case $step in
  make) make_package ;;
  contents) check_contents ;;
  programs) check_programs ;;
  completion) check_completion ;;
  clean) rm -rf "$work" ;;
  *)
    echo "unknown step $step" >&2
    exit 2
    ;;
esac
