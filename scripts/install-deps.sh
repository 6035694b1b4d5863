#!/usr/bin/env bash
# Installs the Debian packages a command needs, in layers, only what is missing.
#
#   scripts/install-deps.sh LAYER... [--optional LAYER...]
#   scripts/install-deps.sh            (all of them: main i686 tests --optional wine32)
#
#   main    the updater against the simulated device: the x86_64 cross compiler,
#           64-bit Wine, Xvfb, the fonts, ImageMagick
#   i686    the i686 cross compiler (the build that loads a 32-bit pipe library)
#   tests   the native toolchain, GoogleTest, the sanitizers' runtime, OpenSSL,
#           osslsigncode, zip
#   wine32  32-bit Wine (wine32:i386), which runs the i686 build; it needs
#           Debian's i386 architecture, whose package lists often lag the amd64
#           ones (then wine32:i386 cannot be installed until they catch up)
#
# Each layer is installed by itself, so one that cannot be installed keeps no
# other from being installed. A required layer that cannot be installed ends the
# script with status 1, naming its packages and apt's reason. An optional one is
# said in one line; for wine32 the reason is kept in build/wine32-unavailable,
# where scripts/wine-env.sh reads it.
# A failed `apt-get update` is tried again, then the lists at hand are used.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WINE32_NOTE="$ROOT/build/wine32-unavailable"

declare -A LAYER_PACKAGES=(
  [main]="cmake make g++-mingw-w64-x86-64-posix wine wine64 xvfb xauth x11-utils imagemagick
          python3 locales fonts-wine fonts-nanum libcli11-dev openssl"
  [i686]="g++-mingw-w64-i686-posix mingw-w64"
  [tests]="g++ googletest libgtest-dev clang libclang-rt-14-dev libssl-dev osslsigncode zip unzip"
  [wine32]="wine32:i386"
)

required=(); optional=()
target=required
(($#)) || set -- main i686 tests --optional wine32
for arg in "$@"; do
  case "$arg" in
    --optional) target=optional ;;
    *) [ -n "${LAYER_PACKAGES[$arg]+x}" ] || { echo "install-deps: no layer '$arg' (main, i686, tests, wine32)" >&2; exit 2; }
       if [ "$target" = required ]; then required+=("$arg"); else optional+=("$arg"); fi ;;
  esac
done

SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
apt_get() { DEBIAN_FRONTEND=noninteractive $SUDO apt-get "$@"; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing_of() {  # the layer's packages that are not installed, one a line
  local p
  for p in ${LAYER_PACKAGES[$1]}; do installed "$p" || echo "$p"; done
}

# apt's own reason from its output: its error line, and the first unmet
# dependency (the package's own line where it has one), on one line.
apt_reason() {  # LOG PACKAGE
  local error unmet
  error="$(grep -m1 '^E: ' "$1" | sed 's/^E: //')"
  unmet="$(grep -E ' : (Depends|PreDepends|Conflicts|Breaks):' "$1" | grep -F -- " $2 : " | head -n1)"
  # wine32:i386 has no line of its own: the lagging libraries of its architecture say why.
  [ -n "$unmet" ] || [[ "$2" != *:* ]] ||
    unmet="$(grep -E ' : (Depends|PreDepends|Conflicts|Breaks):' "$1" | grep -F -- ":${2##*:} " | head -n1)"
  [ -n "$unmet" ] || unmet="$(grep -m1 -E ' : (Depends|PreDepends|Conflicts|Breaks):' "$1")"
  unmet="$(echo "$unmet" | sed 's/^ *//; s/  */ /g')"
  [ -n "$error" ] || error="apt-get exited with an error"
  if [ -n "$unmet" ]; then echo "$error (first unmet: $unmet)"; else echo "$error"; fi
}

declare -A missing_in=()
anything_missing=0
for layer in "${required[@]}" "${optional[@]}"; do
  missing_in[$layer]="$(missing_of "$layer" | tr '\n' ' ')"
  [ -n "${missing_in[$layer]// /}" ] && anything_missing=1
done
if ((!anything_missing)); then
  for layer in "${optional[@]}"; do [ "$layer" = wine32 ] && rm -f "$WINE32_NOTE"; done
  exit 0
fi

added_i386=0
if [[ " ${optional[*]} ${required[*]} " == *" wine32 "* ]] && [ -n "${missing_in[wine32]// /}" ] &&
   ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386 && added_i386=1
fi

# The package lists: a mirror in the middle of a sync fails one index now and
# then; try again, then go on with what the lists hold.
update_failure=""
tries="${PUSHWELL_APT_UPDATE_TRIES:-3}"
for ((try = 1; try <= tries; try++)); do
  if apt_get update -qq >"$work/update.log" 2>&1; then update_failure=""; break; fi
  update_failure="$(grep -m1 '^E: ' "$work/update.log" | sed 's/^E: //')"
  [ -n "$update_failure" ] || update_failure="apt-get update failed"
  ((try < tries)) && sleep "${PUSHWELL_APT_RETRY_PAUSE:-5}"
done
[ -n "$update_failure" ] &&
  echo "apt-get update failed $tries times ($update_failure); going on with the package lists at hand"

# Installs one layer's missing packages. Where the set cannot be installed as a
# whole, each package is tried alone so that all that can be installed are.
# Prints "PACKAGE<TAB>REASON" for each one that could not be installed.
install_layer() {  # LAYER
  local -a missing=(${missing_in[$1]})
  ((${#missing[@]})) || return 0
  echo "installing ($1): ${missing[*]}" >&2
  apt_get install -y -qq --no-install-recommends "${missing[@]}" >"$work/$1.log" 2>&1 && return 0
  local -a installable=()
  local p
  for p in "${missing[@]}"; do
    if apt_get install -s -y --no-install-recommends "$p" >"$work/sim.log" 2>&1; then
      installable+=("$p")
    else
      printf '%s\t%s\n' "$p" "$(apt_reason "$work/sim.log" "$p")"
    fi
  done
  ((${#installable[@]})) || return 0
  apt_get install -y -qq --no-install-recommends "${installable[@]}" >"$work/$1.log" 2>&1 && return 0
  for p in "${installable[@]}"; do printf '%s\t%s\n' "$p" "$(apt_reason "$work/$1.log" "$p")"; done
}

refused=""
for layer in "${required[@]}"; do
  refused+="$(install_layer "$layer")"$'\n'
done
refused="$(echo "$refused" | sed '/^$/d')"

for layer in "${optional[@]}"; do
  not_installed="$(install_layer "$layer")"
  [ "$layer" = wine32 ] || { [ -n "$not_installed" ] && echo "optional packages not installed: $(echo "$not_installed" | cut -f1 | tr '\n' ' ')"; continue; }
  if [ -z "$not_installed" ]; then
    rm -f "$WINE32_NOTE"
    continue
  fi
  reason="$(echo "$not_installed" | head -n1 | cut -f2)"
  [ -n "$update_failure" ] && reason="$reason; the last apt-get update failed ($update_failure)"
  mkdir -p "$(dirname "$WINE32_NOTE")"
  echo "wine32:i386 cannot be installed: $reason" >"$WINE32_NOTE"
  echo "32-bit Wine left out: $(cat "$WINE32_NOTE")"
  # An i386 architecture added for nothing would fail every later apt-get update
  # of this machine on the same lagging index.
  ((added_i386)) && $SUDO dpkg --remove-architecture i386 2>/dev/null
done

if [ -n "$refused" ]; then
  {
    echo
    echo "Cannot install what this command needs:"
    while IFS=$'\t' read -r package reason; do echo "  $package: $reason"; done <<<"$refused"
    [ -n "$update_failure" ] && echo "The package lists may be out of date: apt-get update failed ($update_failure)."
    echo "Run 'apt-get update' and this command again later, or install the packages named above by hand."
  } >&2
  exit 1
fi
exit 0
