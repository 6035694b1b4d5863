#!/usr/bin/env bash
# camtool refuses what it cannot do exactly, and `verify` says what the updater
# would do with a folder, with the same stream `camtool stream` writes.
set -u
camtool="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
expect() {  # expect STATUS DESCRIPTION -- ARGS...
  local want="$1" what="$2"; shift 3
  "$camtool" "$@" >out.txt 2>err.txt
  local got=$?
  if { [ "$want" = 0 ] && [ "$got" != 0 ]; } || { [ "$want" != 0 ] && [ "$got" = 0 ]; }; then
    echo "FAIL: $what: exit $got"; cat err.txt; failures=$((failures + 1))
  fi
}
expect 1 "a size with trailing junk" -- make a.cam 12abc
expect 1 "a flag that is not a number" -- make a.cam 12 --flag zz
expect 1 "a flag above 255" -- make a.cam 12 --flag 300
expect 1 "bad hex" -- make a.cam 12 --command ZZ
expect 1 "an odd number of hex digits" -- make a.cam 12 --command ABC
expect 1 "a command header over 46 bytes" -- make a.cam 12 --command "$(printf 'AB%.0s' $(seq 47))"
expect 1 "a payload under 4 bytes" -- make a.cam 3
[ -e a.cam ] && { echo "FAIL: a refused command wrote a file"; failures=$((failures + 1)); }
expect 0 "46 command bytes and a hex flag" -- make firmware.cam 5000 --flag 0x80 --command "$(printf 'CD%.0s' $(seq 46))"
expect 0 "a file not sent" -- make sound.cam 300 --flag 0 --seed 2
expect 0 "the database" -- make database.cam 100 --seed 3
printf 'not an update file' > junk.cam
expect 1 "show of a file the updater refuses" -- show junk.cam
expect 0 "show of a good file" -- show firmware.cam

expect 0 "verify of a folder that completes" -- verify .
grep -q "^sound.cam *not sent" out.txt || { echo "FAIL: sound.cam not reported as not sent"; failures=$((failures + 1)); }
want="$("$camtool" stream firmware.cam database.cam | sha256sum | cut -d' ' -f1)"
grep -q "sha256 $want (after" out.txt || { echo "FAIL: the stream digest is not that of camtool stream"; cat out.txt; failures=$((failures + 1)); }
grep -q "sha256 $(sha256sum firmware.cam | cut -d' ' -f1)" out.txt || { echo "FAIL: firmware digest"; failures=$((failures + 1)); }

cp junk.cam image.cam
expect 1 "verify of a folder with a damaged second file" -- verify .
grep -q "^image.cam *damaged: shorter than its header; the update stops here" out.txt \
  || { echo "FAIL: the damaged file is not named"; cat out.txt; failures=$((failures + 1)); }
grep -q "^imageru.cam *not looked at" out.txt || { echo "FAIL: files after the stop were looked at"; failures=$((failures + 1)); }
rm image.cam database.cam
expect 1 "verify of a folder without the database" -- verify "$work"
grep -q "^database.cam *missing; the program ends here" out.txt || { echo "FAIL: missing database"; failures=$((failures + 1)); }

# A folder signed with the openssl program: verify --key judges it as a build with that key would.
mkdir signed && cd signed
"$camtool" make firmware.cam 3000 >/dev/null && "$camtool" make database.cam 200 --seed 4 >/dev/null
openssl ecparam -name prime256v1 -genkey -noout -out ../maker.pem
openssl ec -in ../maker.pem -pubout -out ../maker-public.pem 2>/dev/null
expect 1 "verify --key of an unsigned folder" -- verify --key ../maker-public.pem .
grep -q "^folder *refused: no SHA256SUMS$" out.txt || { echo "FAIL: unsigned folder"; cat out.txt; failures=$((failures + 1)); }
sha256sum firmware.cam database.cam > SHA256SUMS
openssl dgst -sha256 -sign ../maker.pem -out SHA256SUMS.sig SHA256SUMS
expect 0 "verify --key of a signed folder" -- verify --key ../maker-public.pem .
fingerprint="$(openssl pkey -pubin -in ../maker-public.pem -outform DER | sha256sum | cut -d' ' -f1)"
grep -q "^signature *verified with key $fingerprint$" out.txt || { echo "FAIL: signer"; cat out.txt; failures=$((failures + 1)); }
expect 0 "verify without --key of a signed folder" -- verify .
grep -q "^signature *not checked" out.txt || { echo "FAIL: keyless verify"; cat out.txt; failures=$((failures + 1)); }
"$camtool" make image.cam 100 >/dev/null
expect 1 "verify --key with a file the list lacks" -- verify --key ../maker-public.pem .
grep -q "^folder *refused: not listed in SHA256SUMS: image.cam$" out.txt || { echo "FAIL: unlisted file"; cat out.txt; failures=$((failures + 1)); }
cd ..

echo "camtool checks: $failures failed"
[ "$failures" = 0 ]
