#!/usr/bin/env bash
# scripts/install-deps.sh against a fake apt-get, dpkg and dpkg-query first on
# PATH: what each command installs when an index fails to update, when
# wine32:i386 is refused, and when a required package is refused. Nothing real
# is installed.
set -u
source_script="$(cd "$(dirname "$0")/../.." && pwd)/scripts/install-deps.sh"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A scratch project holding the script (it writes build/wine32-unavailable
# beside itself) and a fake package system whose state lives in files.
new_machine() {
  machine="$(mktemp -d)"
  mkdir -p "$machine/project/scripts" "$machine/bin" "$machine/state"
  cp "$source_script" "$machine/project/scripts/"
  : >"$machine/state/installed"; : >"$machine/state/arches"; : >"$machine/state/refused"
  : >"$machine/state/calls"; echo 0 >"$machine/state/update_fails"
  cat >"$machine/bin/dpkg-query" <<'EOF'
#!/usr/bin/env bash
package="${@: -1}"
grep -qxF "$package" "$FAKE_STATE/installed" && printf 'install ok installed' && exit 0
exit 1
EOF
  cat >"$machine/bin/dpkg" <<'EOF'
#!/usr/bin/env bash
case "$1" in
  --print-foreign-architectures) cat "$FAKE_STATE/arches" ;;
  --add-architecture) echo "$2" >>"$FAKE_STATE/arches"; echo "dpkg --add-architecture $2" >>"$FAKE_STATE/calls" ;;
  --remove-architecture) sed -i "/^$2\$/d" "$FAKE_STATE/arches"; echo "dpkg --remove-architecture $2" >>"$FAKE_STATE/calls" ;;
esac
EOF
  # apt-get: `update` fails as often as state/update_fails says; `install`
  # refuses the whole transaction when it holds a package of state/refused
  # ("NAME<TAB>how apt says it"), as apt does; -s only simulates.
  cat >"$machine/bin/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "apt-get $*" >>"$FAKE_STATE/calls"
if [ "$1" = update ]; then
  left=$(cat "$FAKE_STATE/update_fails")
  if [ "$left" -gt 0 ]; then
    echo $((left - 1)) >"$FAKE_STATE/update_fails"
    echo "E: Failed to fetch http://mirror/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100
  fi
  exit 0
fi
simulate=0; packages=()
for arg in "${@:2}"; do
  case "$arg" in -s) simulate=1 ;; -*) ;; *) packages+=("$arg") ;; esac
done
status=0
for p in "${packages[@]}"; do
  how="$(awk -F'\t' -v p="$p" '$1 == p { print $2 }' "$FAKE_STATE/refused")"
  if [ -n "$how" ]; then
    echo "The following packages have unmet dependencies:"
    echo " $p : Depends: $how but it is not going to be installed"
    echo "E: Unable to correct problems, you have held broken packages."
    status=100
  fi
done
[ "$status" = 0 ] && [ "$simulate" = 0 ] && printf '%s\n' "${packages[@]}" >>"$FAKE_STATE/installed"
exit "$status"
EOF
  chmod +x "$machine/bin/"*
}
run_install() {  # LAYERS...: runs the script, keeps its status and output
  FAKE_STATE="$machine/state" PATH="$machine/bin:$PATH" PUSHWELL_APT_RETRY_PAUSE=0 \
    bash "$machine/project/scripts/install-deps.sh" "$@" >"$machine/out" 2>&1
  status=$?
}
is_installed() { grep -qxF "$1" "$machine/state/installed"; }
expect_installed() { for p; do is_installed "$p" || fail "$case: $p was not installed"; done; }
count_calls() { grep -c "$1" "$machine/state/calls"; }

# The main job on a fresh machine installs its own layer and nothing 32-bit.
case="main job, fresh machine"
new_machine
run_install main
[ "$status" = 0 ] || fail "$case: exit $status"
expect_installed g++-mingw-w64-x86-64-posix wine64 xvfb imagemagick fonts-wine
for p in wine32:i386 g++-mingw-w64-i686-posix libgtest-dev; do is_installed "$p" && fail "$case: installed $p"; done
[ -s "$machine/state/arches" ] && fail "$case: added an architecture"
rm -rf "$machine"

# A mirror mid-sync: one index fails every update, and wine32:i386 is refused.
# The test command still installs every required layer, says once why 32-bit
# Wine is left out, keeps the reason for the test run and takes back the
# architecture it added.
case="lagging i386 index"
new_machine
echo 99 >"$machine/state/update_fails"
printf 'wine32:i386\tlibwine:i386 (= 8.0~repack-4)\n' >"$machine/state/refused"
run_install main i686 tests --optional wine32
[ "$status" = 0 ] || { fail "$case: exit $status"; cat "$machine/out"; }
expect_installed wine64 g++-mingw-w64-i686-posix libgtest-dev osslsigncode
is_installed wine32:i386 && fail "$case: wine32:i386 installed"
[ "$(count_calls '^apt-get update')" = 3 ] || fail "$case: apt-get update ran $(count_calls '^apt-get update') times, not 3"
grep -q "going on with the package lists at hand" "$machine/out" || fail "$case: the failed update is not said"
grep -q "^32-bit Wine left out: wine32:i386 cannot be installed: Unable to correct problems.*libwine:i386" "$machine/out" ||
  { fail "$case: no line with apt's reason"; cat "$machine/out"; }
grep -q "Mirror sync in progress" "$machine/project/build/wine32-unavailable" 2>/dev/null ||
  fail "$case: the reason kept for the test run does not name the failed update"
[ -s "$machine/state/arches" ] && fail "$case: the i386 architecture was left added"
# Once wine32 installs, the kept reason goes.
: >"$machine/state/refused"
run_install main i686 tests --optional wine32
[ "$status" = 0 ] && is_installed wine32:i386 || fail "$case: wine32:i386 not installed once it can be"
[ -e "$machine/project/build/wine32-unavailable" ] && fail "$case: a stale reason was kept"
rm -rf "$machine"

# A required package that cannot be installed: everything else is installed,
# then the script ends naming it with apt's reason, in a few lines.
case="refused required package"
new_machine
printf 'osslsigncode\tlibcurl4 (>= 7.16.2)\n' >"$machine/state/refused"
run_install main i686 tests --optional wine32
[ "$status" = 1 ] || fail "$case: exit $status, not 1"
expect_installed wine64 g++-mingw-w64-i686-posix libgtest-dev zip wine32:i386
is_installed osslsigncode && fail "$case: osslsigncode installed"
grep -q "^  osslsigncode: Unable to correct problems.*libcurl4" "$machine/out" || { fail "$case: apt's reason not named"; cat "$machine/out"; }
[ "$(grep -c . "$machine/out")" -le 10 ] || { fail "$case: more than 10 lines said"; cat "$machine/out"; }
rm -rf "$machine"

# Everything in place: apt is not asked at all.
case="nothing missing"
new_machine
run_install main tests
FAKE_STATE="$machine/state" PATH="$machine/bin:$PATH" bash -c ': >"$FAKE_STATE/calls"'
run_install main tests
[ "$status" = 0 ] && [ ! -s "$machine/state/calls" ] || fail "$case: apt or dpkg called: $(cat "$machine/state/calls")"
rm -rf "$machine"

echo "install-deps: $failures failed"
[ "$failures" = 0 ]
