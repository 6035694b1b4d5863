#!/usr/bin/env bash
# The device maker's tools under Wine, checked by the openssl program: camtool's
# keys and signatures are what openssl makes and takes, and the programs built
# with the test maker's key name it. None of the programs imports bcrypt.dll or
# crypt32.dll, which would be looked for beside it first.
#   maker_tools_test.sh BIN_DIR TEST_MAKER_PUBLIC_PEM OBJDUMP
set -u
bin="$1"
test_key="$2"
objdump="$3"
wine_run="$(cd "$(dirname "$0")/../.." && pwd)/scripts/wine-run"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
camtool() { "$wine_run" "$bin/camtool.exe" "$@" | tr -d '\r'; return "${PIPESTATUS[0]}"; }

for program in Pushwell pushwell-cli Pushwell-signed-test pushwell-cli-signed-test camtool; do
  "$objdump" -p "$bin/$program.exe" | grep -iE "DLL Name: (bcrypt|crypt32)" && fail "$program.exe imports it"
done

camtool keygen maker.pem maker-public.pem >keygen.txt || fail "camtool keygen"
openssl ec -in maker.pem -check -noout 2>/dev/null || fail "openssl does not take camtool's private key"
fingerprint="$(openssl pkey -pubin -in maker-public.pem -outform DER | sha256sum | cut -d' ' -f1)"
grep -qx "fingerprint *$fingerprint" keygen.txt || fail "keygen names another fingerprint: $(cat keygen.txt)"
camtool keygen maker.pem other.pem >/dev/null && fail "keygen overwrote a private key"
openssl ecparam -name prime256v1 -genkey -noout -out openssl-maker.pem
openssl ec -in openssl-maker.pem -pubout -out openssl-maker-public.pem 2>/dev/null

for key in maker openssl-maker; do
  rm -rf "$key" && mkdir "$key" && cd "$key"
  camtool make firmware.cam 3000 >/dev/null && camtool make database.cam 5000 --seed 2 >/dev/null
  camtool sign --key "../$key.pem" . >/dev/null || fail "camtool sign with $key.pem"
  sha256sum --quiet -c SHA256SUMS || fail "SHA256SUMS of $key is not what sha256sum takes"
  [ "$(wc -l < SHA256SUMS)" = 2 ] || fail "SHA256SUMS of $key lists other files: $(cat SHA256SUMS)"
  openssl dgst -sha256 -verify "../$key-public.pem" -signature SHA256SUMS.sig SHA256SUMS >/dev/null \
    || fail "openssl does not verify camtool's signature with $key.pem"
  camtool verify --key "../$key-public.pem" . >verify.txt && grep -q "^folder *accepted" verify.txt \
    || fail "camtool verify --key refuses the folder signed with $key.pem: $(cat verify.txt)"
  cd ..
done

want="$(openssl pkey -pubin -in "$test_key" -outform DER | sha256sum | cut -d' ' -f1)"
got="$("$wine_run" "$bin/pushwell-cli-signed-test.exe" keys | tr -d '\r')"
[ "$got" = "$want" ] || fail "pushwell-cli-signed-test keys: '$got', not '$want'"
got="$("$wine_run" "$bin/pushwell-cli-signed-test.exe" --json keys | tr -d '\r')"
[ "$got" = "$(printf '{"event":"key","fingerprint":"%s"}\n{"event":"end","exit":0}' "$want")" ] \
  || fail "pushwell-cli-signed-test --json keys: $got"

echo "maker tools: $failures failed"
[ "$failures" = 0 ]
