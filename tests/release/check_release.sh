#!/bin/sh
# The release as an operator gets it: scripts/release signs with a throwaway
# certificate when given one (osslsigncode verifies it), each Windows zip
# (signed) unpacked into a fresh Wine prefix with the simulated SDK of its
# bitness flashes a frontend, and the .deb installs and runs. Needs the windows and
# windows-x86 test builds (for the simulated SDKs) and build/linux.
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Signed: a self-signed certificate made here and now.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Kestrune test signing" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
KESTRUNE_SIGN_CERT=$work/cert.pem KESTRUNE_SIGN_KEY=$work/key.pem ./scripts/release >/dev/null 2>&1
for zip in dist/*-windows-*.zip; do
    unzip -q -o "$zip" Kestrune.exe -d "$work/signed"
    osslsigncode verify -CAfile "$work/cert.pem" -in "$work/signed/Kestrune.exe" >/dev/null
    echo "signed and verified: $zip"
    cp "$zip" "$work/"
done

flash() { # arch build system_dir [--x86]
    if [ -n "$4" ] && ! tests/wine --runs-32bit; then
        echo "windows-$1: skipped: this kernel runs no 32-bit code"
        return 0
    fi
    prefix=$work/prefix-$1
    dir=$work/run-$1
    mkdir -p "$dir"
    unzip -q "$work"/*-windows-$1.zip -d "$dir"
    sh tests/e2e/make_wine_prefix.sh "$prefix" "$3" "build/$2/sdk/KoviSDK.dll"
    build/linux/tools/make_image --size 100 "$dir/kovi_firmware.bin"
    (cd "$dir" && printf Y | WINEPREFIX=$prefix WINEDEBUG=-all "$root/tests/wine" $4 Kestrune.exe u 0 >/dev/null)
    grep -q "SUCCESS Firmware version" "$dir/kovi_kestrune.log" ||
        { echo "windows-$1: no flash"; cat "$dir/kovi_kestrune.log"; return 1; }
    echo "windows-$1: unpacked zip flashed the simulated frontend"
}
# Each signed zip flashes while the unsigned release is built: the flash
# waits a real minute for the frontend's status.
flash x64 windows system32 >"$work/flash-x64" 2>&1 &
x64=$!
flash x86 windows-x86 syswow64 --x86 >"$work/flash-x86" 2>&1 &
x86=$!

# Unsigned, the artifacts of record.
./scripts/release >/dev/null 2>&1
(cd dist && sha256sum -c --quiet SHA256SUMS)
expected="AUTOMATION.txt Kestrune.exe README.txt "
# The line's page, where the build could fetch its MQTT client.
if [ -f build/release/windows-x64/dashboard/mqtt.min.js ]; then
    expected="${expected}dashboard/dashboard.css dashboard/dashboard.js dashboard/index.html dashboard/mqtt.js-LICENSE.md dashboard/mqtt.min.js "
else
    echo "skipped: the release has no dashboard (mqtt.js could not be fetched from the npm registry)"
fi
expected="${expected}flash-loop.cmd "
for zip in dist/*.zip; do
    [ "$(unzip -Z1 "$zip" | LC_ALL=C sort | tr '\n' ' ')" = "$expected" ] ||
        { echo "$zip does not hold exactly $expected"; exit 1; }
    unzip -p "$zip" flash-loop.cmd | grep -q "$(printf 'goto next\r$')" ||
        { echo "$zip: flash-loop.cmd without CRLF line ends"; exit 1; }
done
for package in dist/*.deb dist/*.tar.gz; do
    listing=$(case $package in *.deb) dpkg-deb -c "$package" ;; *) tar tzf "$package" ;; esac)
    for file in operator-guide.md automation.md flash-loop.cmd Kestrune.1.gz; do
        echo "$listing" | grep -q "/$file\$" || { echo "$package lacks $file"; exit 1; }
    done
done
lintian --fail-on error,warning dist/*.deb >/dev/null 2>&1 || { lintian dist/*.deb; exit 1; }

flashed=0
wait $x64 || flashed=1
wait $x86 || flashed=1
cat "$work/flash-x64" "$work/flash-x86"
[ $flashed = 0 ]

dpkg -i dist/*.deb >/dev/null
status=0
Kestrune >"$work/usage" || status=$?
dpkg -r kestrune >/dev/null
grep -q "^Usage: Kestrune" "$work/usage" && [ $status = 1 ] ||
    { echo "installed Kestrune: status $status"; cat "$work/usage"; exit 1; }
echo "the .deb installs; Kestrune without arguments gives the usage and status 1"
