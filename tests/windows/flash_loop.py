#!/usr/bin/env python3
"""flash-loop.cmd under Wine's cmd against the simulated frontend: the first
frontend is flashed and the loop asks for the next; the second one is not
ready, and the loop says so, waits for a key and ends with Kestrune's exit
status. flash_loop.py WINE KESTRUNE_EXE MAKE_IMAGE_EXE WINEPREFIX LOOP_CMD"""
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

wine, tool, make_image, prefix, loop = sys.argv[1:6]
work = tempfile.mkdtemp(prefix="kestrune-loop-")
env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", KOVI_SIM="kovi_sim.scenario")
failures = []


def scenario(text):
    with open(os.path.join(work, "kovi_sim.scenario"), "w") as f:
        f.write(text)


def read_until(process, out, wanted, seconds=180):
    deadline = time.time() + seconds
    while out.count(wanted[0]) < wanted[1] and time.time() < deadline:
        if select.select([process.stdout], [], [], 0.5)[0]:
            chunk = os.read(process.stdout.fileno(), 65536)
            if not chunk:
                break
            out += chunk
    return out


try:
    shutil.copy(tool, work)
    with open(loop, "rb") as f:  # as the downloads carry it: CRLF
        text = f.read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    with open(os.path.join(work, "flash-loop.cmd"), "wb") as f:
        f.write(text.replace(b"set pause=100", b"set pause=0"))
    subprocess.run([wine, make_image, "--size", "100", "kovi_firmware.bin"], cwd=work, env=env,
                   check=True)
    scenario("")
    process = subprocess.Popen([wine, "cmd", "/c", "flash-loop.cmd"], cwd=work, env=env,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT)
    prompt = b"Connect the next frontend"
    out = read_until(process, b"", (prompt, 1))
    process.stdin.write(b"x")
    process.stdin.flush()
    out = read_until(process, out, (prompt, 2))  # flashed: the loop goes on
    scenario("status_before = 0x700\n")  # the next frontend has no power
    process.stdin.write(b"x")
    process.stdin.flush()
    out = read_until(process, out, (b"Press a key to close this window", 1))
    process.stdin.write(b"x")
    process.stdin.close()
    status = process.wait(timeout=60)
    out += process.stdout.read()

    if b"SUCCESS Firmware version 266 flashed" not in out:
        failures.append("the first frontend was not flashed")
    if b"Not flashed (exit status 20): the frontend is not ready" not in out:
        failures.append("the loop did not say why it stopped")
    if status != 20:
        failures.append(f"exit status {status}, expected 20 (10 + pre-conditions failed)")
    names = os.listdir(work)
    history = [n for n in names if n.startswith("history-")]
    if len(history) != 1:
        failures.append(f"history files: {history}")
    else:
        with open(os.path.join(work, history[0]), "rb") as f:
            lines = f.read().split(b"\r\n")
        if len(lines) != 4 or b",flashed," not in lines[1] or b",refused,,20" not in lines[2]:
            failures.append(f"history: {lines}")
    logs = [n for n in names if re.fullmatch(r"log-[^ ]+-[12]\.txt", n)]
    if len(logs) != 2 or "kovi_kestrune.log" in names:
        failures.append(f"copies of the log: {logs}, and {names}")
    for failure in failures:
        print("---", failure)
    if failures:
        print(out.decode("latin-1", "replace")[-3000:])
finally:
    shutil.rmtree(work, ignore_errors=True)
sys.exit(1 if failures else 0)
