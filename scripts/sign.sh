#!/usr/bin/env bash
# Signs one Windows program in place (Authenticode, SHA-256) with osslsigncode: the build's agent and service,
# and, from makensis (!finalize, !uninstfinalize), the installer and the uninstaller inside it.
#
#   scripts/sign.sh CERT.pem KEY.pem FILE [NAME]
#
# TAVREL_SIGN_TIMESTAMP: a timestamp server's URL, so the signature outlives the certificate (vendors' builds).
# TAVREL_SIGNED_COPIES: a folder that gets a copy of the signed file as NAME (the tests verify those copies;
# the uninstaller exists only as makensis's temporary file otherwise).
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: sign.sh CERT KEY FILE [NAME]" >&2; exit 2; }
cert=$1 key=$2 file=$3 name=${4:-$(basename "$3")}
args=(sign -certs "$cert" -key "$key" -h sha256 -n TavrelAgent -in "$file" -out "$file.signed")
[ -n "${TAVREL_SIGN_TIMESTAMP:-}" ] && args+=(-ts "$TAVREL_SIGN_TIMESTAMP")
osslsigncode "${args[@]}" >/dev/null
mv -f "$file.signed" "$file"
if [ -n "${TAVREL_SIGNED_COPIES:-}" ]; then
  cp "$file" "$TAVREL_SIGNED_COPIES/$name"
fi
