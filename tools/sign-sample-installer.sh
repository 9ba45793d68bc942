#!/usr/bin/env bash
# Signs the sample installer with a code-signing certificate made for the
# build (once, in the build tree):
#   sign-sample-installer.sh UNSIGNED.exe SIGNED.exe CERT_DIR
set -euo pipefail
unsigned=$1 signed=$2 dir=$3
mkdir -p "$dir"
if [[ ! -f $dir/codesign.pem ]]; then
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Orvelle Test Code Signing" \
        -keyout "$dir/codesign.key" -out "$dir/codesign.pem" \
        -addext keyUsage=critical,digitalSignature -addext extendedKeyUsage=codeSigning 2>/dev/null
fi
rm -f "$signed"
osslsigncode sign -certs "$dir/codesign.pem" -key "$dir/codesign.key" -n "Orvelle sample installer" \
    -h sha256 -in "$unsigned" -out "$signed" >/dev/null
