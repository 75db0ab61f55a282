#!/bin/sh
# Makes a Wine prefix for the Windows tests, with the given libraries where
# Windows keeps system libraries: make_wine_prefix.sh PREFIX DLL...
set -e
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all
if [ ! -f "$prefix/system.reg" ]; then
    wineboot -i >/dev/null 2>&1
fi
for dll in "$@"; do
    cp "$dll" "$prefix/drive_c/windows/system32/"
done
