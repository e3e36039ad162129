#!/usr/bin/env bash
# Signs a Windows executable with Authenticode (SHA-256), for release.
# Usage: SIGN_PFX=certificate.pfx SIGN_PASSWORD=... [SIGN_TIMESTAMP_URL=https://...] \
#        scripts/sign.sh IN.exe OUT.exe
#   SIGN_PFX            the PKCS#12 file with the code-signing certificate and its key
#   SIGN_PASSWORD       its password (read from the environment, never put on a command line)
#   SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server; without one the signature carries no
#                       time stamp and is valid only while the certificate is
# OUT may be IN: the file is then replaced by its signed copy. The signature must verify against
# the certificate in SIGN_PFX (its chain from what the file carries and the system's roots, the
# leaf pinned by its hash) before OUT gets it. On any failure it says why, exits non-zero and
# leaves OUT as it was (no OUT file at all when there was none).
set -euo pipefail

fail() {
    echo "sign.sh: $*" >&2
    exit 1
}

[ $# -eq 2 ] || fail "usage: SIGN_PFX=file.pfx SIGN_PASSWORD=... scripts/sign.sh IN.exe OUT.exe"
in=$1
out=$2
[ -f "$in" ] || fail "no executable to sign at '$in'"
# A folder would take the signed file inside it under a name nobody asked for.
[ ! -d "$out" ] || fail "'$out' is a folder: name the signed file itself, e.g. '$out/$(basename "$in")'"
[[ $out != */ ]] || fail "'$out' ends in a slash: name the signed file itself"
[ -n "${SIGN_PFX:-}" ] || fail "SIGN_PFX is not set: name the PKCS#12 (.pfx) file to sign with"
[ -f "$SIGN_PFX" ] && [ -r "$SIGN_PFX" ] || fail "cannot read the PKCS#12 file '$SIGN_PFX'"
[ -n "${SIGN_PASSWORD+set}" ] || fail "SIGN_PASSWORD is not set"
command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (bash scripts/setup.sh)"

# Reads SIGN_PFX with openssl's defaults, or else its legacy ciphers.
pkcs12() {
    openssl pkcs12 -in "$SIGN_PFX" -passin env:SIGN_PASSWORD "$@" 2>/dev/null ||
        openssl pkcs12 -legacy -in "$SIGN_PFX" -passin env:SIGN_PASSWORD "$@" 2>/dev/null
}
# Open the file first, so that a wrong password is reported as one.
pkcs12 -noout || fail "cannot open '$SIGN_PFX': wrong password, or not a PKCS#12 file"

work=$(mktemp -d)
trap 'rm -rf "$work" "$out.partial"' EXIT
timestamp=()
if [ -n "${SIGN_TIMESTAMP_URL:-}" ]; then
    timestamp=(-ts "$SIGN_TIMESTAMP_URL")
fi
# The password reaches osslsigncode through a pipe (printf is a shell builtin), so it is
# never on disk nor on a command line.
if ! osslsigncode sign -pkcs12 "$SIGN_PFX" -readpass <(printf '%s' "$SIGN_PASSWORD") -h sha256 \
    -n "Marblefinch_associate" "${timestamp[@]}" -in "$in" -out "$work/signed.exe" \
    >"$work/log" 2>&1; then
    cat "$work/log" >&2
    fail "osslsigncode could not sign '$in'"
fi
# What was signed with is what verifies: the certificates the file carries and the system's
# roots make the chain, and the leaf must be the file's own.
pkcs12 -nokeys -out "$work/chain.pem" || fail "cannot read the certificates of '$SIGN_PFX'"
leaf=$(pkcs12 -nokeys -clcerts | openssl x509 -outform DER | sha256sum | cut -d' ' -f1) ||
    fail "'$SIGN_PFX' holds no certificate of its key"
roots=/etc/ssl/certs/ca-certificates.crt
[ ! -r "$roots" ] || cat "$roots" >>"$work/chain.pem"
# The time stamp's own chain is the time-stamp server's, not checked here.
if ! osslsigncode verify -CAfile "$work/chain.pem" -require-leaf-hash "sha256:$leaf" -ignore-timestamp \
    -in "$work/signed.exe" >"$work/log" 2>&1; then
    cat "$work/log" >&2
    fail "the signature of '$in' does not verify against the certificate in '$SIGN_PFX' (osslsigncode's log above says why)"
fi
# Only a finished, verified signature reaches OUT.
mkdir -p "$(dirname "$out")"
cp "$work/signed.exe" "$out.partial"
mv -f "$out.partial" "$out"
echo "signed: $out"
