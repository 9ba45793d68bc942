#!/usr/bin/env bash
# Signs the sample installer with a code-signing certificate made for the
# build (once, in the build tree):
#   sign-sample-installer.sh UNSIGNED.exe SIGNED.exe CERT_DIR [NAME [SUBJECT]]
# The certificate is CERT_DIR/NAME.pem (NAME "codesign", subject
# "/CN=Orvelle Test Code Signing" by default). Its SHA-256 thumbprint is
# written to CERT_DIR/NAME.sha256 (64 upper-case hexadecimal digits) and, as a
# wide string literal for the builds that pin it, to CERT_DIR/NAME.sha256.inc.
set -euo pipefail
unsigned=$1 signed=$2 dir=$3 name=${4:-codesign} subject=${5:-/CN=Orvelle Test Code Signing}
mkdir -p "$dir"
if [[ ! -f $dir/$name.pem ]]; then
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "$subject" \
        -keyout "$dir/$name.key" -out "$dir/$name.pem" \
        -addext keyUsage=critical,digitalSignature -addext extendedKeyUsage=codeSigning 2>/dev/null
fi
rm -f "$signed"
osslsigncode sign -certs "$dir/$name.pem" -key "$dir/$name.key" -n "Orvelle sample installer" \
    -h sha256 -in "$unsigned" -out "$signed" >/dev/null

thumbprint=$(openssl x509 -in "$dir/$name.pem" -outform DER | sha256sum | cut -d' ' -f1 | tr a-f A-F)
# Rewritten only when it changes, so that the builds that include it are not remade.
if [[ ! -f $dir/$name.sha256 || $(cat "$dir/$name.sha256") != "$thumbprint" ]]; then
    printf '%s\n' "$thumbprint" >"$dir/$name.sha256"
    printf 'L"%s"\n' "$thumbprint" >"$dir/$name.sha256.inc"
fi
