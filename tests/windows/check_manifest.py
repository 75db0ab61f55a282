#!/usr/bin/env python3
"""The executable carries exactly one application manifest, and it asks for
no elevation, for the exe's own processor: check_manifest.py WRESTOOL EXE ARCH"""
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
print(f"one manifest, {arch}, asInvoker, uiAccess false")
