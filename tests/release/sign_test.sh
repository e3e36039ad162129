#!/usr/bin/env bash
# scripts/sign.sh with a throwaway self-signed code-signing certificate: the signature
# verifies against it; a wrong password, a missing file, an unset variable, a folder as the
# output and a failure of osslsigncode itself give a clear error and no output file. Leaves
# the signed tool at SIGNED_OUT for the Wine tests, which run it beside the unsigned one.
# Usage: sign_test.sh TOOL_EXE SIGNED_OUT
# Any step that fails outside a check (set-up, the copy at the end) fails the test too.
set -euo pipefail
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2' ERR
root=$(cd "$(dirname "$0")/../.." && pwd)
tool=$1
signed_out=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
check() {  # description, then a command that must succeed
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $what" >&2
    fi
}
# Spaces and shell characters: the password must reach osslsigncode exactly.
password='right pass $word "x"'
# osslsigncode as sign.sh finds it on the PATH: notes whether the password file it is given
# is a file on disk, then runs the real one; with SIGN_AS_OTHER set it signs with that file.
mkdir "$work/bin"
cat >"$work/bin/osslsigncode" <<EOF
#!/usr/bin/env bash
previous=
arguments=()
for argument in "\$@"; do
    if [ "\$previous" = -readpass ]; then
        if [ -f "\$argument" ]; then echo file; else echo pipe; fi >>'$work/password-via'
    fi
    [ "\$previous" != -pkcs12 ] || argument=\${SIGN_AS_OTHER:-\$argument}
    arguments+=("\$argument")
    previous=\$argument
done
exec '$(command -v osslsigncode)' "\${arguments[@]}"
EOF
chmod +x "$work/bin/osslsigncode"
sign() {  # pfx, password, output
    PATH="$work/bin:$PATH" SIGN_PFX=$1 SIGN_PASSWORD=$2 bash "$root/scripts/sign.sh" "$tool" "$3"
}

for name in certificate other; do
    openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Marblefinch test $name" \
        -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
        -keyout "$work/$name-key.pem" -out "$work/$name.pem" 2>/dev/null
    password=$password openssl pkcs12 -export -inkey "$work/$name-key.pem" -in "$work/$name.pem" \
        -passout env:password -out "$work/$name.pfx"
done

unsigned_sum=$(sha256sum <"$tool")
check "signing with the right password" sign "$work/certificate.pfx" "$password" "$work/signed.exe"
check "the signed file is there" test -s "$work/signed.exe"
check "the password reached osslsigncode through a pipe, not a file on disk" \
    test "$(cat "$work/password-via")" = pipe
check "the signature verifies against the certificate" \
    osslsigncode verify -CAfile "$work/certificate.pem" -in "$work/signed.exe" >"$work/verify.log"
check "the input is left as it was" test "$(sha256sum <"$tool")" = "$unsigned_sum"
differs() {  # cmp says 1 for files that differ, 2 when it cannot read one
    local status=0
    cmp -s "$1" "$2" || status=$?
    [ "$status" -eq 1 ]
}
check "the signed file differs from the unsigned one" differs "$tool" "$work/signed.exe"

cp "$tool" "$work/in-place.exe"
check "signing a file in place" sign "$work/certificate.pfx" "$password" "$work/in-place.exe"
check "the file signed in place verifies" \
    osslsigncode verify -CAfile "$work/certificate.pem" -in "$work/in-place.exe" >"$work/verify.log"
in_place_sum=$(sha256sum <"$work/in-place.exe")
check "a failed signing leaves the file in place as it was" bash -c "
    ! SIGN_PFX='$work/certificate.pfx' SIGN_PASSWORD=wrong bash '$root/scripts/sign.sh' \
        '$work/in-place.exe' '$work/in-place.exe' 2>/dev/null &&
        test \"\$(sha256sum <'$work/in-place.exe')\" = '$in_place_sum'"

rejects() {  # what, expected words in the message, then the signing command
    local what=$1 words=$2
    shift 2
    local message
    if message=$("$@" 2>&1); then
        echo "FAIL: $what was accepted" >&2
        return 1
    fi
    [[ $message == *"$words"* ]] || { echo "FAIL: $what said: $message" >&2; return 1; }
    [ ! -e "$work/refused.exe" ] && [ ! -e "$work/refused.exe.partial" ] ||
        { echo "FAIL: $what left an output file" >&2; return 1; }
}
check "a wrong password" rejects "a wrong password" "wrong password" \
    sign "$work/certificate.pfx" wrong-password "$work/refused.exe"
check "a missing file" rejects "a missing file" "cannot read the PKCS#12 file" \
    sign "$work/missing.pfx" "$password" "$work/refused.exe"
check "no SIGN_PFX" rejects "no SIGN_PFX" "SIGN_PFX is not set" \
    env -u SIGN_PFX bash "$root/scripts/sign.sh" "$tool" "$work/refused.exe"
check "a file that is not PKCS#12" rejects "a file that is not PKCS#12" "not a PKCS#12 file" \
    sign "$work/certificate.pem" "$password" "$work/refused.exe"
# osslsigncode itself fails after the password was accepted: nothing listens on port 9.
check "an unreachable time-stamp server" rejects "an unreachable time-stamp server" \
    "osslsigncode could not sign" \
    env SIGN_TIMESTAMP_URL=http://127.0.0.1:9/ SIGN_PFX="$work/certificate.pfx" \
    SIGN_PASSWORD="$password" bash "$root/scripts/sign.sh" "$tool" "$work/refused.exe"
# A signature made with another certificate than SIGN_PFX's never reaches the output.
check "a signature by another certificate" rejects "a signature by another certificate" \
    "does not verify against the certificate" \
    env SIGN_AS_OTHER="$work/other.pfx" PATH="$work/bin:$PATH" SIGN_PFX="$work/certificate.pfx" \
    SIGN_PASSWORD="$password" bash "$root/scripts/sign.sh" "$tool" "$work/refused.exe"

mkdir "$work/folder"
check "a folder as the output" rejects "a folder as the output" "is a folder" \
    sign "$work/certificate.pfx" "$password" "$work/folder"
check "nothing written into the folder" test -z "$(ls -A "$work/folder")"

if [ "$failed" -eq 0 ]; then
    mkdir -p "$(dirname "$signed_out")"
    cp "$work/signed.exe" "$signed_out"
fi
echo "signing: $passed passed, $failed failed"
trap - ERR
[ "$failed" -eq 0 ]
