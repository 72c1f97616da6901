#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, only those missing.
# A fresh machine of our kind has them all; this keeps a leaner one working.
set -euo pipefail

# With the argument "windows": what the Windows builds need instead (the
# MinGW-w64 cross compilers, Wine, and dpkg-dev to unpack Debian's OpenSSL
# sources).
if [ "${1:-}" = windows ]; then
    packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine64 dpkg-dev googletest)
else
    # Beside the build's own: two S/MIME engines the interop tests compare
    # with, NSS's cmsutil and Bouncy Castle for Java (whose test program
    # the JDK already on the machine compiles).
    packages=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libssl-dev openssl
              libnss3-tools libbcprov-java libbcutil-java libbcpkix-java)
fi
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing missing packages: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
    echo "not root: install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
fi
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
