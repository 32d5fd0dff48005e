#!/usr/bin/env bash
# Signs every program the build ships (agent, service, installer, and the uninstaller inside the installer)
# with a throw-away certificate, through the same script and NSIS hooks a vendor's build uses, and verifies
# each signature with osslsigncode. An unsigned program and one changed after signing must fail the check.
set -euo pipefail
src=${TAVREL_SOURCE_DIR:?} built=${TAVREL_INSTALLER_DIR:?} makensis=${TAVREL_MAKENSIS:?} version=${TAVREL_VERSION:?}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/signed"

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Tavrel Throwaway Signer" \
  -addext extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
cp "$built/TavrelAgent.exe" "$built/TavrelService.exe" "$work/"
export TAVREL_SIGNED_COPIES=$work/signed
"$src/scripts/sign.sh" "$work/cert.pem" "$work/key.pem" "$work/TavrelAgent.exe"
"$src/scripts/sign.sh" "$work/cert.pem" "$work/key.pem" "$work/TavrelService.exe"
"$makensis" -V1 -INPUTCHARSET UTF8 -DAGENT_EXE="$work/TavrelAgent.exe" -DSERVICE_EXE="$work/TavrelService.exe" \
  -DVERSION="$version" -DOUT_FILE="$work/Tavrel_Setup.exe" -DRES_DIR="$src/res" \
  -DSIGN_SCRIPT="$src/scripts/sign.sh" -DSIGN_CERT="$work/cert.pem" -DSIGN_KEY="$work/key.pem" \
  "$src/installer/TavrelSetup.nsi"

passed=0 failed=0
check() {  # name, file, expected: good or bad
  local out
  if out=$(osslsigncode verify -CAfile "$work/cert.pem" -in "$2" 2>&1) &&
     grep -q "Signature verification: ok" <<<"$out" && grep -q "CN=Tavrel Throwaway Signer" <<<"$out"; then
    result=good
  else
    result=bad
  fi
  if [ "$result" = "$3" ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL $1: $result"; echo "$out"; fi
}
for name in TavrelAgent.exe TavrelService.exe Tavrel_Setup.exe Uninstall.exe; do
  [ -f "$work/signed/$name" ] || { echo "FAIL $name: not signed"; failed=$((failed + 1)); continue; }
  check "$name" "$work/signed/$name" good
done
check "the installer as written" "$work/Tavrel_Setup.exe" good
check "an unsigned agent" "$built/TavrelAgent.exe" bad
cp "$work/signed/TavrelAgent.exe" "$work/changed.exe"
printf 'X' | dd of="$work/changed.exe" bs=1 seek=4096 conv=notrunc 2>/dev/null
check "an agent changed after signing" "$work/changed.exe" bad
echo "signing: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
