#!/usr/bin/env python3
"""The executable carries exactly one application manifest, and it asks for
no elevation, for the exe's own processor and Windows 8 to 11: check_manifest.py WRESTOOL EXE ARCH"""
import re
import subprocess
import sys

wrestool, exe, arch = sys.argv[1:4]
listing = subprocess.run([wrestool, "--list", "--type=24", exe], capture_output=True,
                         text=True, check=True).stdout.strip().splitlines()
if len(listing) != 1:
    sys.exit(f"expected one manifest resource, found {len(listing)}: {listing}")
manifest = subprocess.run([wrestool, "--extract", "--raw", "--type=24", exe],
                          capture_output=True, check=True).stdout.decode("utf-8")
levels = re.findall(r'<requestedExecutionLevel\s[^>]*>', manifest)
if len(levels) != 1 or 'level="asInvoker"' not in levels[0] or 'uiAccess="false"' not in levels[0]:
    sys.exit(f"manifest does not run as invoker:\n{manifest}")
if f'processorArchitecture="{arch}"' not in manifest:
    sys.exit(f"manifest is not for {arch}:\n{manifest}")
supported = set(re.findall(r'<supportedOS Id="(\{[0-9a-f-]+\})"/>', manifest))
windows_8_on = {"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}
if supported != windows_8_on:
    sys.exit(f"manifest does not declare Windows 8, 8.1 and 10/11 alone:\n{manifest}")
print(f"one manifest, {arch}, asInvoker, uiAccess false, Windows 8 to 11")
