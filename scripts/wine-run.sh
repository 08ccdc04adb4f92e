#!/bin/sh
# Runs a Windows executable under Wine for ctest: wine-run.sh PREFIX EXE ARGS.
# The prefix belongs to the build tree; test-windows.sh creates it and keeps
# its wineserver up, so each start costs tens of milliseconds, not a second.
WINEPREFIX=${WINEPREFIX:-$1}
shift
: "${WINEDEBUG:=-all}"
: "${WINEDLLOVERRIDES:=mscoree,mshtml=;winemenubuilder.exe=d}"
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
exec wine "$@"
