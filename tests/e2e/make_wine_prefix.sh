#!/bin/sh
# Makes the Wine prefix the Windows tests run in, with the simulated SDK
# where Windows keeps system libraries.
set -e
prefix=$1
dll=$2
export WINEPREFIX="$prefix" WINEDEBUG=-all
if [ ! -f "$prefix/system.reg" ]; then
    wineboot -i >/dev/null 2>&1
fi
wineserver -w
cp "$dll" "$prefix/drive_c/windows/system32/KoviSDK.dll"
