#!/usr/bin/env bash
# Runs a 64-bit Windows program under Wine, quietly, in a Wine prefix of the
# project's own ($VEK4KIVOSMIME_WINEPREFIX, by default a folder under /tmp),
# so that nothing of the user's Wine setup is used or changed. CTest runs the
# Windows build's tests through this script.
set -euo pipefail
wine=${WINE:-/usr/lib/wine/wine64}
if [ ! -x "$wine" ]; then
    echo "wine-run.sh: $wine not found; install Debian's wine64 package" >&2
    exit 127
fi
export WINEPREFIX=${VEK4KIVOSMIME_WINEPREFIX:-${TMPDIR:-/tmp}/vek4kivosmime-wine-$(id -u)}
export WINEDEBUG=${WINEDEBUG:--all}
# No window, no dialog: a crash ends the program with a status.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-winemenubuilder.exe=d;mscoree=d;mshtml=d}
exec "$wine" "$@"
