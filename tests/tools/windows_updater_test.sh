#!/bin/sh
# scripts/windows-updater without Wine: a stand-in build whose runner plays the program (it
# reports what it was given and writes onto the card). Checks the drive, a card of a given
# capacity (a tmpfs, root only), that the card survives a run that cannot start, and the runner
# on an X display with its own prefix.
# Usage: windows_updater_test.sh LAUNCHER
set -u
launcher=$1
[ "$(id -u)" = 0 ] || { echo "needs root (mount)"; exit 77; }
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
failures=0
check() {
  if eval "$2"; then :; else echo "FAILED: $1 ($2)"; failures=$((failures + 1)); fi
}

build=$work/build
mkdir -p "$build/bin" "$build/wineprefix/dosdevices"
: >"$build/bin/OrvantaUpdate.exe"
touch "$build/wineprefix/.orvanta-prefix"
cat >"$build/wine-run" <<'RUNNER'
#!/bin/sh
{ echo "device=$ORVANTA_DEVICE"; echo "ui=$ORVANTA_UI"; echo "card=$(stat -f -c %T 'SD Card')"
  echo "link=$(readlink "$(dirname "$0")/wineprefix/dosdevices/d:")"; } >"$RUN_REPORT"
echo written >"SD Card/new.txt"
exit 1
RUNNER
chmod +x "$build/wine-run"
# The X display's runner reports its own prefix's drive and the files named for the program.
mkdir -p "$build/wineprefix-x11/dosdevices"
touch "$build/wineprefix-x11/.orvanta-prefix"
cat >"$build/wine-x11-run" <<'RUNNER'
#!/bin/sh
{ echo "x11 link=$(readlink "$(dirname "$0")/wineprefix-x11/dosdevices/d:")"
  echo "hold=$ORVANTA_HOLD_BOXES"; } >"$RUN_REPORT"
RUNNER
chmod +x "$build/wine-x11-run"
export ORVANTA_WINDOWS_BUILD=$build RUN_REPORT=$work/report
unset ORVANTA_UI ORVANTA_TRANSCRIPT

device=$work/device
mkdir -p "$device/SD Card"
echo '{ "card_capacity": 65536 }' >"$device/device.json"
echo old >"$device/SD Card/old.txt"
ORVANTA_DEVICE=$device "$launcher"
check "the program's status is passed on" '[ $? = 1 ]'
check "the device is drive D: and the run is headless" \
  'grep -qx "device=D:\\\\" "$RUN_REPORT" && grep -qx "ui=headless" "$RUN_REPORT"'
check "drive D: is the device directory" 'grep -qx "link=$device" "$RUN_REPORT"'
check "the card of a given capacity is a tmpfs" 'grep -qx "card=tmpfs" "$RUN_REPORT"'
check "the drive is removed after the run" '[ ! -e "$build/wineprefix/dosdevices/d:" ]'
check "what the run wrote is on the card" '[ "$(cat "$device/SD Card/new.txt")" = written ]'
check "the card's files stay" '[ "$(cat "$device/SD Card/old.txt")" = old ]'
check "no copy of the card is left" '[ -z "$(ls -A "$device" | grep before-run)" ]'
check "the card is unmounted" '! mountpoint -q "$device/SD Card"'

# A card whose files do not fit in its capacity: refused, the card as it was.
echo '{ "card_capacity": 4096 }' >"$device/device.json"
head -c 65536 /dev/zero >"$device/SD Card/big.bin"
rm -f "$RUN_REPORT"
ORVANTA_DEVICE=$device "$launcher" 2>/dev/null
check "a card that does not fit is refused" '[ $? = 2 ] && [ ! -e "$RUN_REPORT" ]'
check "the refused card is intact" \
  '[ "$(wc -c <"$device/SD Card/big.bin")" = 65536 ] && [ -f "$device/SD Card/new.txt" ]'
check "the refused card is unmounted" '! mountpoint -q "$device/SD Card"'

ORVANTA_UI=tui ORVANTA_DEVICE=$device "$launcher" 2>/dev/null
check "a terminal UI is refused" '[ $? = 2 ]'

echo "{}" >"$device/device.json"
rm -f "$RUN_REPORT"
(cd "$work" && ORVANTA_WINE_RUNNER=wine-x11-run ORVANTA_HOLD_BOXES=box ORVANTA_DEVICE=$device \
  "$launcher")
check "the X display's runner runs the program" '[ $? = 0 ]'
check "its drive is in its own prefix" 'grep -qx "x11 link=$device" "$RUN_REPORT"'
check "the hold file goes by its Windows name" 'grep -qx "hold=Z:$work/box" "$RUN_REPORT"'
ORVANTA_WINE_RUNNER=wine ORVANTA_DEVICE=$device "$launcher" 2>/dev/null
check "an unknown runner is refused" '[ $? = 2 ]'
exit $((failures != 0))
