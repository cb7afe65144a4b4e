#!/usr/bin/env bash
# Writes the release archive dist/Quorin64-<version>.zip: builds both
# programs and the custom-action DLL, signs them when a certificate is
# given, writes SHA256SUMS and packs the programs, the checksums, the usage
# text, the README, the license and the setup author's kit (the DLL and the
# kit/ tree as it stands, which works from the unpacked archive) with CPack's
# ZIP generator.
#
# Signing (optional; osslsigncode, SHA-256):
#   QUORIN_SIGN_PFX            PKCS#12 file holding the certificate and key
#   QUORIN_SIGN_PASSWORD_FILE  file holding its password
#   QUORIN_SIGN_TIMESTAMP_URL  RFC 3161 timestamp server (optional)
#   QUORIN_SIGN_CA_FILE        certificates to verify the signatures against
#                              (default: the PFX's own and the system's)
# QUORIN_DIST_DIR writes the archive elsewhere than dist/. Every entry's time
# is SOURCE_DATE_EPOCH, by default the last commit's time.
set -euo pipefail
cd "$(dirname "$0")/.."

pfx=${QUORIN_SIGN_PFX:-}
password_file=${QUORIN_SIGN_PASSWORD_FILE:-}
if [ -n "$pfx$password_file" ]; then
    [ -f "$pfx" ] || { echo "QUORIN_SIGN_PFX: no such file: '$pfx'" >&2; exit 1; }
    [ -f "$password_file" ] ||
        { echo "QUORIN_SIGN_PASSWORD_FILE: no such file: '$password_file'" >&2; exit 1; }
fi
dist=$(realpath -m "${QUORIN_DIST_DIR:-dist}")

scripts/build.sh
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct) ||
        { echo "no commit to date the archive: set SOURCE_DATE_EPOCH" >&2; exit 1; }
fi
export SOURCE_DATE_EPOCH
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then
    echo "warning: uncommitted changes; this release is not commit $(git rev-parse --short HEAD)"
fi

mkdir -p build
work=$(mktemp -d "$PWD/build/release.XXXXXX")
trap 'rm -rf "$work"' EXIT
stage=$work/stage
mkdir -p "$stage/x64" "$stage/x86"
cmake -S . -B "$work/package" -DQUORIN_RELEASE_STAGE="$stage" > "$work/configure.log" 2>&1 ||
    { cat "$work/configure.log"; exit 1; }
cp "$work/package/USAGE.txt" LICENSE README.md "$stage/"
# The setup author's kit: the kit/ tree as the repository holds it.
mapfile -t kit < <(git ls-files kit | LC_ALL=C sort)
[ ${#kit[@]} -gt 0 ] || { echo "no kit/ files in the repository" >&2; exit 1; }
for file in "${kit[@]}"; do
    mkdir -p "$stage/$(dirname "$file")"
    cp "$file" "$stage/$file"
done
# What is signed: both programs and the DLL.
signables=(x64/Quorin64.exe x86/Quorin64.exe x64/Quorin64Action.dll)
built() { echo "build/windows-${1%%/*}/${1#*/}"; }

if [ -n "$pfx" ]; then
    # The signatures are checked against the PFX's own certificates and the
    # system's roots, unless other certificates are named.
    ca_file=${QUORIN_SIGN_CA_FILE:-}
    if [ -z "$ca_file" ]; then
        ca_file=$work/ca.pem
        openssl pkcs12 -in "$pfx" -passin "file:$password_file" -nokeys -out "$ca_file" \
            2> "$work/openssl.log" || { cat "$work/openssl.log"; exit 1; }
        [ -f /etc/ssl/certs/ca-certificates.crt ] &&
            cat /etc/ssl/certs/ca-certificates.crt >> "$ca_file"
    fi
    timestamp=()
    [ -n "${QUORIN_SIGN_TIMESTAMP_URL:-}" ] && timestamp=(-ts "$QUORIN_SIGN_TIMESTAMP_URL")
    for file in "${signables[@]}"; do
        osslsigncode sign -pkcs12 "$pfx" -readpass "$password_file" -h sha256 -n Quorin64 \
            "${timestamp[@]}" -in "$(built "$file")" \
            -out "$stage/$file" > "$work/sign.log" 2>&1 ||
            { cat "$work/sign.log"; exit 1; }
        osslsigncode verify -CAfile "$ca_file" -TSA-CAfile "$ca_file" \
            -in "$stage/$file" > "$work/verify.log" 2>&1 ||
            { cat "$work/verify.log"; echo "the signature of $file does not verify" >&2; exit 1; }
    done
    signed="signed with $(openssl pkcs12 -in "$pfx" -passin "file:$password_file" -nokeys \
        -clcerts 2>/dev/null | openssl x509 -noout -subject)"
else
    for file in "${signables[@]}"; do
        cp "$(built "$file")" "$stage/$file"
    done
    signed="unsigned: set QUORIN_SIGN_PFX and QUORIN_SIGN_PASSWORD_FILE to sign"
fi

(cd "$stage" && sha256sum "${signables[@]}" USAGE.txt LICENSE README.md "${kit[@]}" > SHA256SUMS)
TZ=UTC cpack --config "$work/package/CPackConfig.cmake" -B "$work/out" > "$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; exit 1; }
archive=$(cd "$work/out" && ls Quorin64-*.zip)
mkdir -p "$dist"
mv "$work/out/$archive" "$dist/"

echo "release: $dist/$archive ($signed)"
sed 's/^/    /' "$stage/SHA256SUMS"
echo "    archive $(sha256sum "$dist/$archive" | cut -d' ' -f1)"
