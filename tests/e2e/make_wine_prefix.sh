#!/bin/sh
# Makes a Wine prefix for the Windows tests, with the given libraries where
# Windows keeps system libraries: make_wine_prefix.sh PREFIX SYSTEM_DIR DLL...
# SYSTEM_DIR is system32 (64-bit programs) or syswow64 (what a 32-bit
# program sees as its system directory under WoW64); "system32=DLL" or
# "syswow64=DLL" puts one library elsewhere. With --window first, programs
# get a null graphics driver, so that hidden windows exist without a display.
set -e
window=no
if [ "$1" = --window ]; then
    window=yes
    shift
fi
wine=$(dirname "$0")/../wine
prefix=$1
system_dir=$2
shift 2
export WINEPREFIX="$prefix" WINEDEBUG=-all
if [ ! -f "$prefix/system.reg" ]; then
    "$wine" wineboot -i >/dev/null 2>&1
fi
# (A prefix made by the 64-bit loader alone may lack syswow64.)
mkdir -p "$prefix/drive_c/windows/system32" "$prefix/drive_c/windows/syswow64"
for dll in "$@"; do
    case $dll in
    system32=* | syswow64=*) cp "${dll#*=}" "$prefix/drive_c/windows/${dll%%=*}/KoviSDK.dll" ;;
    *) cp "$dll" "$prefix/drive_c/windows/$system_dir/" ;;
    esac
done
if [ $window = yes ]; then
    "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
fi
