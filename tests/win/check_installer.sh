#!/usr/bin/env bash
# The Windows packages under wine, in a fresh prefix (build-win/wine/installer/,
# removed at the end): the MSI installs silently (files byte for byte the
# staged ones, per machine, the shortcut only with the window, the
# Add/Remove Programs entry); the installed pelkisp.exe runs --version and
# programs examples/blinky.hex into pelkisp-target on a pseudo-terminal mapped
# to COM5 (pelkisp.exe has no --port sim); the installed window, on an Xvfb
# display, maps its window and writes PelkISP.cfg when closed; a newer version of the same
# installer upgrades it; a silent uninstall leaves nothing. Also the zip's list.
#
#   check_installer.sh PELKISP_TARGET SOURCE_DIR VERSION
# Run by ./dev test (CTest label wine) with PELK_WINE_PELKISP set; else skipped.
set -uo pipefail
target=$1 source=$2 version=$3
if [ -z "${PELK_WINE_PELKISP:-}" ]; then
  echo "skipped: run by ./dev test, which builds the Windows packages and sets PELK_WINE_PELKISP"
  exit 77
fi
win=$(cd "$(dirname "$PELK_WINE_PELKISP")/../.." && pwd)
msi=$win/pelkisp-$version-x64.msi
zip=$win/pelkisp-$version-windows-x64.zip
folder=pelkisp-$version-windows-x64
stage=$win/packaging/windows/$folder
work=$win/wine/installer
# No winemenubuilder: it would copy the shortcut into this machine's menus.
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
installed="$WINEPREFIX/drive_c/Program Files/Pelk ISP"
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# same WHAT EXPECTED ACTUAL
same() {
  [ "$2" = "$3" ] || fail "$1"$'\n'"  expected: ${2//$'\n'/ }"$'\n'"  actual:   ${3//$'\n'/ }"
}

# The packages' files in C's sort order (the window is not PelkISP.exe,
# which Windows takes for pelkisp.exe).
files=(LICENSE.txt README.txt pelkisp.exe) with_window=no
[ -f "$win/src/app/PelkISP.exe" ] && files=(LICENSE.txt "Pelk ISP.exe" README.txt pelkisp.exe) with_window=yes
{ [ -f "$msi" ] && [ -f "$zip" ]; } || { echo "FAIL: no $msi or $zip (./dev windows makes them)"; exit 1; }
same "the zip's files" "$(printf "$folder/%s\n" "${files[@]}" | sort)" "$(cmake -E tar tf "$zip" | sort)"

target_pid="" xvfb_pid=""
finish() {
  [ -n "$target_pid" ] && kill "$target_pid" 2>/dev/null && wait "$target_pid" 2>/dev/null
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT
rm -rf "$work"
mkdir -p "$work"

# The target first: its terminal goes into the prefix's port map
# (HKLM\Software\Wine\Ports), which wine reads when it starts.
"$target" >"$work/target.out" 2>&1 &
target_pid=$!
for _ in $(seq 300); do
  [ -s "$work/target.out" ] && break
  kill -0 "$target_pid" 2>/dev/null || break
  sleep 0.1
done
pty=$(head -n 1 "$work/target.out")
[[ $pty == /dev/* ]] || { echo "FAIL: pelkisp-target gave no terminal: $pty"; exit 1; }

# The window needs a display, which must be there before wine's first
# program: the prefix's desktop keeps the display it started with.
if [ "$with_window" = yes ]; then
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  xvfb_pid=$!
  for _ in $(seq 300); do [ -s "$work/display" ] && break; sleep 0.1; done
  [ -s "$work/display" ] || { echo "FAIL: Xvfb did not start: $(cat "$work/xvfb.log")"; exit 1; }
  export DISPLAY=:$(cat "$work/display")
fi

started=$SECONDS
timeout 300 wineboot -i >"$work/wineboot.log" 2>&1 || { echo "FAIL: wineboot"; cat "$work/wineboot.log"; exit 1; }
printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n"COM5"="%s"\n' "$pty" >"$work/ports.reg"
# The map is in the registry file once wine's server has stopped. One run of
# many found no COM5 after a "ShellExecuteEx failed": it is written again.
for attempt in 1 2 3; do
  timeout 120 wine regedit /S "$(winepath -w "$work/ports.reg")" >"$work/regedit.log" 2>&1
  timeout 120 wineserver -w
  grep -qF "\"COM5\"=\"$pty\"" "$WINEPREFIX/system.reg" && break
  echo "COM5 is not in the prefix's port map after attempt $attempt; regedit said: $(cat "$work/regedit.log")"
done
grep -qF "\"COM5\"=\"$pty\"" "$WINEPREFIX/system.reg" || { echo "FAIL: COM5 is not in the prefix's port map"; exit 1; }
# From here on one server, whose output (its objects when stopped) is logged.
wineserver -p 2>"$work/wineserver.log" >&2
echo "fresh wine prefix in $((SECONDS - started)) s"

# run_msiexec ACTION MSI: silently, with a log.
run_msiexec() {
  timeout 300 wine msiexec "$1" "$(winepath -w "$2")" /qn /l*v "$(winepath -w "$work/msiexec.log")"
  local status=$?
  [ "$status" -eq 0 ] || { fail "msiexec $1 $2: exit status $status"; tr -d '\0' <"$work/msiexec.log" | tail -n 40; }
}
# logged NAME: a property's value in the log of the last msiexec run.
logged() {
  tr -d '\0\r' <"$work/msiexec.log" | sed -n "s/^Property(S): $1 = //p" | tail -n 1
}
product_code() { # MSI
  msiinfo export "$1" Property | tr -d '\r' | awk '$1 == "ProductCode" { print $2 }'
}
# entry PRODUCT_CODE NAME: a value of the product's Add/Remove Programs entry.
entry() {
  wine reg query "$uninstall\\$1" /v "$2" 2>/dev/null | tr -d '\r' | awk -v name="$2" '$1 == name { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'
}
check_installed() { # VERSION
  same "installed files" "$(printf '%s\n' "${files[@]}")" "$(cd "$installed" && LC_ALL=C ls)"
  for file in "${files[@]}"; do
    cmp -s "$stage/$file" "$installed/$file" || fail "installed $file is not the staged one"
  done
  same "README.txt's lines ending in CR LF" "$(wc -l <"$installed/README.txt")" "$(grep -c $'\r$' "$installed/README.txt")"
  same "a per-machine install (ALLUSERS)" 1 "$(logged ALLUSERS)"
  # Wine's msi puts a per-machine shortcut into the user's Start menu,
  # Windows into that of all users: where ProgramMenuFolder says.
  shortcut="$(winepath -u "$(logged ProgramMenuFolder)")Pelk ISP.lnk"
  if [ "$with_window" = yes ]; then
    [ -f "$shortcut" ] || fail "no Start-menu shortcut $shortcut"
    strings -el "$shortcut" >"$work/shortcut.txt"
    grep -qF 'Pelk ISP.exe' "$work/shortcut.txt" || fail "the shortcut does not lead to Pelk ISP.exe"
    grep -qF "$(logged PersonalFolder | sed 's/\\$//')" "$work/shortcut.txt" ||
      fail "the shortcut does not start in the user's Documents ($(logged PersonalFolder))"
  else
    [ ! -e "$shortcut" ] || fail "a Start-menu shortcut without the window: $shortcut"
  fi
  same "Add/Remove Programs: name" "Pelk ISP" "$(entry "$code" DisplayName)"
  same "Add/Remove Programs: version" "$1" "$(entry "$code" DisplayVersion)"
  same "Add/Remove Programs: publisher" "Pelk ISP developers" "$(entry "$code" Publisher)"
}

started=$SECONDS
code=$(product_code "$msi")
run_msiexec /i "$msi"
check_installed "$version"
pelkisp='C:\Program Files\Pelk ISP\pelkisp.exe'
same "pelkisp.exe --version" "pelkisp $version" "$(timeout 60 wine "$pelkisp" --version 2>&1 | tr -d '\r')"
out=$(cd "$source/examples" && timeout 120 wine "$pelkisp" -p COM5 -b 115200 program blinky.hex 2>"$work/program.err")
status=$?
same "pelkisp.exe program blinky.hex: exit status" 0 "$status"
[ "$status" -eq 0 ] || cat "$work/program.err"
same "pelkisp.exe program blinky.hex: result lines" \
  "$(printf 'Device erased.\nDevice programmed.\nVerification OK.')" "$(printf '%s' "$out" | tr -d '\r')"
# The installed window, started as a user starts it: its window "Pelk ISP"
# appears on the display, and closed as Windows closes a program
# (taskkill), it writes PelkISP.cfg into its working folder.
if [ "$with_window" = yes ]; then
  run=$work/window-run
  mkdir -p "$run"
  printf 'PELKORD ISP Configuration File\r\n0\r\n2\r\n\r\n6\r\n1\r\n' >"$run/PelkISP.cfg"
  touch -d '2001-01-01' "$run/PelkISP.cfg"
  (cd "$run" && exec timeout 300 wine 'C:\Program Files\Pelk ISP\Pelk ISP.exe' >"$run/output.log" 2>&1) &
  window_pid=$!
  mapped=no
  for _ in $(seq 600); do
    # Read whole: grep -q would end the pipe early, which pipefail counts.
    if [[ $(xwininfo -root -tree 2>/dev/null || true) == *'"Pelk ISP"'* ]]; then mapped=yes; break; fi
    kill -0 "$window_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ "$mapped" = yes ]; then
    timeout 60 wine taskkill /IM 'Pelk ISP.exe' >/dev/null 2>&1
    for _ in $(seq 600); do kill -0 "$window_pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$window_pid" 2>/dev/null; then
      fail "Pelk ISP.exe did not end within 60 s of taskkill"
    elif [ "$run/PelkISP.cfg" -nt "$work/display" ] && head -n 1 "$run/PelkISP.cfg" | grep -q '^PELKORD ISP Configuration File'; then
      echo "Pelk ISP.exe: its window \"Pelk ISP\" mapped; closed by taskkill, it wrote PelkISP.cfg"
    else
      fail "Pelk ISP.exe, closed by taskkill, did not write PelkISP.cfg"
    fi
  else
    fail "the installed Pelk ISP.exe mapped no window \"Pelk ISP\" within 60 s: $(cat "$run/output.log")"
  fi
  wait "$window_pid" 2>/dev/null
fi

# A newer version of the same installer replaces this one.
IFS=. read -r major minor patch <<<"$version"
newer=$major.$minor.$((patch + 1))
cmake -DVERSION="$newer" -DOUTPUT="$work/pelkisp-$newer-x64.msi" -P "$win/packaging/windows/make_msi.cmake" >/dev/null ||
  { echo "FAIL: make_msi.cmake made no installer of version $newer"; exit 1; }
old_code=$code
code=$(product_code "$work/pelkisp-$newer-x64.msi")
[ "$code" != "$old_code" ] || fail "version $newer has the product code of $version"
run_msiexec /i "$work/pelkisp-$newer-x64.msi"
same "Add/Remove Programs: $version after the upgrade" "" "$(entry "$old_code" DisplayName)"
check_installed "$newer"

run_msiexec /x "$work/pelkisp-$newer-x64.msi"
[ ! -e "$installed" ] || fail "left after uninstall: $(find "$installed" | tr '\n' ' ')"
[ ! -e "$shortcut" ] || fail "shortcut left after uninstall"
same "Add/Remove Programs after uninstall" "" "$(entry "$code" DisplayName)"
echo "install, run, upgrade and uninstall in $((SECONDS - started)) s"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
