#!/usr/bin/env bash
# Builds the updater for x86_64 and i686 and writes the release packages:
#   dist/pushwell-<version>-win64.zip, dist/pushwell-<version>-win32.zip, then dist/SHA256SUMS.
# Two runs from the same commit give the same bytes (fixed link stamp, zip times
# from SOURCE_DATE_EPOCH, sorted entries).
#
# Environment:
#   SOURCE_DATE_EPOCH    time of the zip entries; default: the commit's time
#   PUSHWELL_BUILD_ROOT  where the two build folders go; default: build
#   PUSHWELL_DIST        where the packages go; default: dist
#   PUSHWELL_SIGN_CERT, PUSHWELL_SIGN_KEY
#                        PEM certificate (chain) and key: sign Pushwell.exe and pushwell-cli.exe with osslsigncode
#   PUSHWELL_SIGN_TIME   signing time (Unix seconds) written into the signature;
#                        default SOURCE_DATE_EPOCH, so signed packages are reproducible too
#   PUSHWELL_TRUSTED_KEYS
#                        PEM file of the EC P-256 public keys update folders must be signed with;
#                        unset: none (the packages' README.txt says which)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}"
BUILD_ROOT="$(realpath -m "${PUSHWELL_BUILD_ROOT:-build}")"
DIST="$(realpath -m "${PUSHWELL_DIST:-dist}")"
SIGN_TIME="${PUSHWELL_SIGN_TIME:-$SOURCE_DATE_EPOCH}"
if [ -n "${PUSHWELL_SIGN_CERT:-}" ] && [ -z "${PUSHWELL_SIGN_KEY:-}" ]; then
  echo "PUSHWELL_SIGN_CERT needs PUSHWELL_SIGN_KEY" >&2
  exit 2
fi

TRUSTED_KEYS=""
[ -n "${PUSHWELL_TRUSTED_KEYS:-}" ] && TRUSTED_KEYS="$(realpath "$PUSHWELL_TRUSTED_KEYS")"

mkdir -p "$DIST"
# A checksum list never stands beside packages it does not describe.
rm -f "$DIST/SHA256SUMS"

zips=()
for arch in x64 x86; do
  build="$BUILD_ROOT/windows-$arch"
  # Always given, so keys a build folder was configured with earlier never linger.
  cmake --preset "windows-$arch" -B "$build" -DPUSHWELL_TRUSTED_KEYS="$TRUSTED_KEYS" >/dev/null
  cmake --build "$build" -j "${JOBS:-2}" --target Pushwell pushwell-cli
  version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
  suffix=win64; [ "$arch" = x86 ] && suffix=win32
  name="pushwell-$version-$suffix"

  stage="$build/package/$name"
  rm -rf "$build/package"
  mkdir -p "$stage/lang"
  # What ships carries no symbols (the build keeps them, for the binding check and debugging).
  triple=x86_64-w64-mingw32; [ "$arch" = x86 ] && triple=i686-w64-mingw32
  for program in Pushwell.exe pushwell-cli.exe; do
    "$triple-strip" -o "$stage/$program" "$build/bin/$program"
    # strip writes a time into the PE header; the link left none, and neither may this.
    python3 -c 'import struct, sys
f = open(sys.argv[1], "r+b"); d = f.read(); f.seek(struct.unpack_from("<I", d, 0x3C)[0] + 8); f.write(bytes(4))' \
      "$stage/$program"
  done
  cp resources/lang.ini "$stage/lang.ini"
  for pack in resources/lang/*.ini; do
    [ -e "$pack" ] && cp "$pack" "$stage/lang/"
  done
  rmdir --ignore-fail-on-non-empty "$stage/lang"
  sed 's/$/\r/' "$build/generated/README.txt" > "$stage/README.txt"

  if [ -n "${PUSHWELL_SIGN_CERT:-}" ]; then
    osslsigncode sign -certs "$PUSHWELL_SIGN_CERT" -key "$PUSHWELL_SIGN_KEY" -h sha256 \
      -n "Pushwell device updater" -time "$SIGN_TIME" \
      -in "$stage/Pushwell.exe" -out "$stage/Pushwell.signed.exe" >/dev/null
    mv "$stage/Pushwell.signed.exe" "$stage/Pushwell.exe"
    osslsigncode sign -certs "$PUSHWELL_SIGN_CERT" -key "$PUSHWELL_SIGN_KEY" -h sha256 \
      -n "Pushwell device updater for scripts" -time "$SIGN_TIME" \
      -in "$stage/pushwell-cli.exe" -out "$stage/pushwell-cli.signed.exe" >/dev/null
    mv "$stage/pushwell-cli.signed.exe" "$stage/pushwell-cli.exe"
  fi

  python3 scripts/make_zip.py "$DIST/$name.zip" "$stage"
  zips+=("$name.zip")
  echo "package: $DIST/$name.zip"
done

(cd "$DIST" && sha256sum "${zips[@]}" > SHA256SUMS.tmp && mv SHA256SUMS.tmp SHA256SUMS)
cat "$DIST/SHA256SUMS"
