#!/usr/bin/env bash
# Fetches Debian's own openssl source package once into
# $VEK4KIVOSMIME_DEPS/openssl-source (default ~/.cache/vek4kivosmime) and
# prints the unpacked source tree. The OpenSSL builds of scripts/ (MinGW,
# sanitized) all start from this tree.
set -euo pipefail

deps=${VEK4KIVOSMIME_DEPS:-$HOME/.cache/vek4kivosmime}
sources_dir="$deps/openssl-source"
if [ ! -d "$sources_dir" ] || ! ls -d "$sources_dir"/openssl-*/ >/dev/null 2>&1; then
    # Debian's source package needs a deb-src entry; add one beside the
    # binary entries when there is none.
    if ! apt-get source --print-uris openssl >/dev/null 2>&1; then
        if [ "$(id -u)" -ne 0 ]; then
            echo "apt has no deb-src entry and this is not root: add one for Debian's sources" >&2
            exit 1
        fi
        sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            > /etc/apt/sources.list.d/vek4kivosmime-src.sources
        apt-get update -qq
    fi
    command -v dpkg-source >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq dpkg-dev
    rm -rf "$sources_dir"
    mkdir -p "$sources_dir"
    # The newest version the mirrors still hold: an index can name a version
    # whose files are already gone.
    fetched=no
    for version in $(apt-cache showsrc openssl | sed -n 's/^Version: //p' | sort -rV); do
        if (cd "$sources_dir" && apt-get source -qq "openssl=$version" >/dev/null 2>&1); then
            fetched=yes
            break
        fi
        rm -rf "${sources_dir:?}"/*
    done
    [ "$fetched" = yes ] || { echo "no version of Debian's openssl source package could be fetched" >&2; exit 1; }
fi
ls -d "$sources_dir"/openssl-*/ | head -n 1
