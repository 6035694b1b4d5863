#!/usr/bin/env bash
# The main job: builds the updater, makes a demo folder with five update files,
# starts the simulated device plugged in, and starts Pushwell.exe in the demo folder.
# With a display you press "Update File" yourself. Without one it runs under Xvfb,
# presses the button itself, answers the boxes, saves screenshots and prints a summary.
# PUSHWELL_DEMO_DPI sets the Wine prefix's LogPixels (96 = 100 %) before the run,
# PUSHWELL_DEMO_REGISTRY=FILE.reg imports those values into it (the screenshots' looks).
# PUSHWELL_DEMO_ARCH=x86 runs the i686 build (default x64).
# PUSHWELL_DEMO_PACKAGE=dist/pushwell-<version>-win32.zip (or -win64) runs the updater
# unpacked from that release package instead, with the simulator's pipe library put
# beside it as a device maker adds the vendor's; the build matching the package
# supplies the device and the helpers.
# PUSHWELL_DEMO_HIGH_CONTRAST=1 runs the test link of the updater, told that High
# Contrast is on (Wine cannot turn it on), for the screenshots.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"

HEADLESS=0
[ -z "${DISPLAY:-}" ] && HEADLESS=1
RATE="${PUSHWELL_DEMO_RATE:-1200000}"   # bytes per second, about USB full speed
PACKAGE="${PUSHWELL_DEMO_PACKAGE:-}"
ARCH="${PUSHWELL_DEMO_ARCH:-x64}"
case "$PACKAGE" in
  *-win32.zip) ARCH=x86 ;;
  *-win64.zip) ARCH=x64 ;;
  "") ;;
  *) echo "PUSHWELL_DEMO_PACKAGE must name a -win32.zip or -win64.zip package" >&2; exit 2 ;;
esac
# The x86_64 build needs nothing 32-bit; the i686 build needs its compiler and 32-bit Wine.
if [ "$ARCH" = x86 ]; then scripts/install-deps.sh main i686 wine32; else scripts/install-deps.sh main; fi
source scripts/wine-env.sh
if [ "$ARCH" = x86 ] && [ -n "${PUSHWELL_NO_WINE32:-}" ]; then
  echo "the i686 build cannot run here: $PUSHWELL_NO_WINE32_REASON" >&2
  exit 2
fi

cmake --preset "windows-$ARCH" >/dev/null
UPDATER=Pushwell
[ "${PUSHWELL_DEMO_HIGH_CONTRAST:-}" = 1 ] && [ -z "$PACKAGE" ] && UPDATER=Pushwell-test
cmake --build --preset "windows-$ARCH" -j "${JOBS:-2}" --target "$UPDATER" devsim BMC51xUSB InstallUsbDrive camtool pushwell_demo
BIN="$ROOT/build/windows-$ARCH/bin"
UPDATER_DIR="$BIN"
DEMO="$ROOT/build/demo"
[ -n "$PACKAGE" ] && DEMO="$ROOT/build/demo-$(basename "$PACKAGE" .zip)"
rm -rf "$DEMO"
if [ -n "$PACKAGE" ]; then
  [ -f "$PACKAGE" ] || { echo "no package $PACKAGE (scripts/package.sh makes it)" >&2; exit 2; }
  mkdir -p "$DEMO/unpacked"
  python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$PACKAGE" "$DEMO/unpacked"
  UPDATER_DIR="$(find "$DEMO/unpacked" -name Pushwell.exe -printf '%h\n' | head -n1)"
  [ -n "$UPDATER_DIR" ] || { echo "no Pushwell.exe in $PACKAGE" >&2; exit 2; }
  cp "$BIN/BMC51xUSB.dll" "$UPDATER_DIR/"
  echo "updater from package: $UPDATER_DIR"
fi

pushwell_ensure_display
trap 'pushwell_stop_wine_and_display' EXIT
pushwell_ensure_prefix
if [ -n "${PUSHWELL_DEMO_DPI:-}" ] || [ -n "${PUSHWELL_DEMO_REGISTRY:-}" ]; then
  [ -n "${PUSHWELL_DEMO_DPI:-}" ] &&
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$PUSHWELL_DEMO_DPI" /f >/dev/null 2>&1
  [ -n "${PUSHWELL_DEMO_REGISTRY:-}" ] && wine regedit /S "$(winepath -w "$PUSHWELL_DEMO_REGISTRY")" >/dev/null 2>&1
  wineserver -w   # every Wine program reads the scale and the colours at its start: let them all end first
fi
wineserver -p >/dev/null 2>&1 </dev/null

SHOTS="$DEMO/screenshots"
mkdir -p "$SHOTS"
win_path() { winepath -w "$1" 2>/dev/null; }

# Five update files, each with its send flag set and a payload of its own.
declare -A SIZES=([firmware]=1048576 [image]=786432 [imageru]=786432 [sound]=524288 [database]=262144)
seed=1
for name in firmware image imageru sound database; do
  wine "$BIN/camtool.exe" make "$(win_path "$DEMO/$name.cam")" "${SIZES[$name]}" --flag 1 --seed $seed --command "$(printf '%02X' $seed)A55A"
  seed=$((seed + 1))
done
{ printf '\x40'; wine "$BIN/camtool.exe" stream $(for n in firmware image imageru sound database; do win_path "$DEMO/$n.cam"; done); } > "$DEMO/expected-stream.bin"
EXPECTED_BYTES=$(stat -c %s "$DEMO/expected-stream.bin")
echo "demo folder: $DEMO"
wine "$BIN/camtool.exe" show "$(win_path "$DEMO/firmware.cam")"

export PUSHWELL_SIM_DEVICE="demo-$$"
if [ "$UPDATER" = Pushwell-test ]; then
  echo 1 >"$DEMO/high-contrast.txt"
  export PUSHWELL_TEST_HIGH_CONTRAST="$(win_path "$DEMO/high-contrast.txt")"
fi
wine "$BIN/devsim.exe" --capture "$(win_path "$DEMO/device-capture.bin")" --rate "$RATE" >"$DEMO/devsim.log" 2>&1 &
DEVSIM_PID=$!
for _ in $(seq 1 200); do grep -q ready "$DEMO/devsim.log" 2>/dev/null && break; sleep 0.1; done

status=0
if [ "$HEADLESS" = 1 ]; then
  wine "$BIN/pushwell_demo.exe" "$(win_path "$UPDATER_DIR/$UPDATER.exe")" "$(win_path "$DEMO")" "$(win_path "$SHOTS")" "$EXPECTED_BYTES" || status=$?
  for bmp in "$SHOTS"/*.bmp; do
    [ -f "$bmp" ] && convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
  done
else
  echo "Press \"Update File\" in the updater's window; it ends after the final message."
  (cd "$DEMO" && wine "$UPDATER_DIR/$UPDATER.exe") || status=$?
fi

# A pipe write completes once its bytes are in the pipe's buffer: let the device read
# what is still on its way (its size stops changing) before stopping it.
capture_size() { stat -c %s "$DEMO/device-capture.bin" 2>/dev/null || echo 0; }
last=-1; still=0
for _ in $(seq 1 600); do
  now=$(capture_size)
  [ "$now" -ge "$EXPECTED_BYTES" ] && break
  if [ "$now" = "$last" ]; then still=$((still + 1)); [ "$still" -ge 30 ] && break; else still=0; fi
  last=$now
  sleep 0.1
done
kill "$DEVSIM_PID" 2>/dev/null || true
wait "$DEVSIM_PID" 2>/dev/null || true

echo
echo "== summary =="
echo "files sent:            $(for n in firmware image imageru sound database; do printf '%s.cam ' $n; done)"
echo "bytes expected:        $EXPECTED_BYTES (0x40, then each file's 48-byte header and payload)"
echo "bytes the device got:  $(stat -c %s "$DEMO/device-capture.bin" 2>/dev/null || echo 0)"
if cmp -s "$DEMO/expected-stream.bin" "$DEMO/device-capture.bin"; then
  echo "capture matches:       yes"
else
  echo "capture matches:       NO"
  status=1
fi
if [ "$HEADLESS" = 1 ]; then
  for png in "$SHOTS"/*.png; do [ -f "$png" ] && echo "screenshot:            $png"; done
fi
exit "$status"
