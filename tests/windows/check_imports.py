#!/usr/bin/env python3
"""Kestrune.exe imports nothing that its stated minimum Windows lacks:
check_imports.py OBJDUMP EXE ALLOWED_LIST"""
import subprocess
import sys

objdump, exe, allowed_list = sys.argv[1:4]
allowed = {line.strip() for line in open(allowed_list) if line.strip() and line[0] != "#"}
imports, dll = set(), None
for line in subprocess.run([objdump, "-p", exe], capture_output=True, text=True,
                           check=True).stdout.splitlines():
    fields = line.split()
    if line.strip().startswith("DLL Name:"):
        dll = fields[-1]
    elif not fields:
        dll = None
    elif dll and len(fields) >= 3 and fields[-1][0].isalpha() or dll and fields[-1][0] == "_":
        if all(c in "0123456789abcdef" for c in fields[0]):
            imports.add(f"{dll} {fields[-1]}")
unknown = sorted(imports - allowed)
if not imports or unknown:
    sys.exit("imports not known to be in Windows 8:\n  " + "\n  ".join(unknown or ["(none found)"]))
print(f"{len(imports)} imports, all in Windows 8")
