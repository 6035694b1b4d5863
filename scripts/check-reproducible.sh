#!/usr/bin/env bash
# Builds the release packages twice from clean build folders at different paths
# and compares them byte for byte; then signs both with one throwaway self-signed
# certificate at a fixed time, compares again and verifies the signatures.
# Takes a few minutes: two full builds of the updater per architecture.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
WORK="$PWD/build/reproducible"
rm -rf "$WORK"
mkdir -p "$WORK"

compare() {  # compare LABEL: the two runs' dist folders
  local label="$1" status=0
  echo "== $label"
  for run in 1 2; do echo "run $run:"; cat "$WORK/dist-$label-$run/SHA256SUMS"; done
  if diff -r "$WORK/dist-$label-1" "$WORK/dist-$label-2" >/dev/null; then
    echo "$label packages: identical"
  else
    echo "$label packages: DIFFERENT"
    status=1
  fi
  return "$status"
}

status=0
for run in 1 2; do
  PUSHWELL_BUILD_ROOT="$WORK/build-$run" PUSHWELL_DIST="$WORK/dist-unsigned-$run" scripts/package.sh >"$WORK/package-$run.log" 2>&1 ||
    { tail -20 "$WORK/package-$run.log"; exit 1; }
done
compare unsigned || status=1

# A certificate for this check only: never one that signs a real release. Both
# runs sign at one fixed time inside its validity.
SIGN_TIME="$(date +%s)"
openssl req -x509 -newkey rsa:2048 -sha256 -nodes -days 2 -subj "/CN=Pushwell test signing" \
  -keyout "$WORK/test-key.pem" -out "$WORK/test-cert.pem" >/dev/null 2>&1
for run in 1 2; do
  PUSHWELL_BUILD_ROOT="$WORK/build-$run" PUSHWELL_DIST="$WORK/dist-signed-$run" \
    PUSHWELL_SIGN_CERT="$WORK/test-cert.pem" PUSHWELL_SIGN_KEY="$WORK/test-key.pem" PUSHWELL_SIGN_TIME="$SIGN_TIME" \
    scripts/package.sh >>"$WORK/package-$run.log" 2>&1 || { tail -20 "$WORK/package-$run.log"; exit 1; }
done
compare signed || status=1

echo "== signatures"
for zip in "$WORK"/dist-signed-1/*.zip; do
  dir="$WORK/unpacked/$(basename "$zip" .zip)"
  mkdir -p "$dir"
  (cd "$dir" && python3 -m zipfile -e "$zip" .)
  exe="$(find "$dir" -name Pushwell.exe)"
  if osslsigncode verify -CAfile "$WORK/test-cert.pem" -in "$exe" >"$dir.verify.log" 2>&1; then
    echo "$(basename "$zip"): $(grep -m1 -E '^Signature verification' "$dir.verify.log")"
    grep -m1 -E 'Signing time' "$dir.verify.log" || true
  else
    cat "$dir.verify.log"
    echo "$(basename "$zip"): signature NOT verified"
    status=1
  fi
done
exit "$status"
