#!/bin/sh
# Signs an EFI application for Secure Boot with sbsign, leaving the original untouched.
#   sign.sh IMAGE SIGNED_IMAGE [KEY CERT]
# Without KEY and CERT it signs with the test key that Debian's ovmf package ships and enrolls in
# its Secure Boot variable store: good for trying Secure Boot in QEMU, worthless on a real machine.
set -eu
image=$1
signed=$2
key=${3:-}
cert=${4:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ -z "$key" ] && [ -z "$cert" ]; then
  echo "No KEY and CERT given: signing with Debian's OVMF test key (snakeoil), for testing only."
  cert=/usr/share/ovmf/PkKek-1-snakeoil.pem
  key=$work/snakeoil.key
  (umask 077 && openssl pkey -in /usr/share/ovmf/PkKek-1-snakeoil.key -passin pass:snakeoil -out "$key")
elif [ -z "$key" ] || [ -z "$cert" ]; then
  echo "Give both KEY and CERT, or neither." >&2
  exit 2
fi

sbsign --key "$key" --cert "$cert" --output "$signed" "$image"
sbverify --cert "$cert" "$signed" >/dev/null
echo "$signed: signed by $(openssl x509 -in "$cert" -noout -subject)"
