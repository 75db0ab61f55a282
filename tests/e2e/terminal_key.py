#!/usr/bin/env python3
"""The confirmation key on a real terminal: one key, no Enter, no echo, and
the terminal as it was afterwards, also when the tool is stopped while it
waits. terminal_key.py KESTRUNE MAKE_IMAGE SDK_DIR"""
import os
import pty
import select
import signal
import subprocess
import sys
import tempfile
import termios
import time

LIBFAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
tool, make_image, sdk_dir = (os.path.abspath(a) for a in sys.argv[1:4])
work = tempfile.mkdtemp(prefix="kestrune-tty-")
subprocess.run([make_image, "--size", "60", "kovi_firmware.bin"], cwd=work, check=True)
env = dict(os.environ, KOVI_SDK_DIR=sdk_dir, TZ="UTC")


def read_until(master, wanted, seconds=20):
    out = b""
    deadline = time.time() + seconds
    while wanted not in out and time.time() < deadline:
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
    return out


def run(key=None, kill=False, early_key=None):
    master, slave = pty.openpty()
    before = termios.tcgetattr(master)
    # libfaketime, preloaded into the tool, skips the minute-long wait after
    # a flash; from noon, so that no run sped up crosses midnight into a new
    # access code.
    faked = env if kill else dict(env, LD_PRELOAD=LIBFAKETIME,
                                  FAKETIME="@2026-12-07 12:00:00 x1000")
    process = subprocess.Popen([tool, "u", "0"], cwd=work, env=faked,
                               stdin=slave, stdout=slave, stderr=slave)
    os.close(slave)
    if early_key:
        # Typed while the frontend is still being checked: it must not count.
        out = read_until(master, b"Try to get the FrontendInfo")
        os.write(master, early_key)
    out = read_until(master, b"Press Y to flash the firmware: ")
    time.sleep(0.3)  # the tool is in its key read now
    during = termios.tcgetattr(master)
    if kill:
        process.send_signal(signal.SIGTERM)
    else:
        os.write(master, key)
    out += read_until(master, b"Close the log file", 20)
    process.wait(timeout=30)
    after = termios.tcgetattr(master)
    os.close(master)
    return out, before, during, after, process.returncode


failures = []
out, before, during, after, status = run(key=b"y")
if b"Need to send 2 file chunks" not in out or b"SUCCESS" not in out:
    failures.append("a single y without Enter did not start the flash")
between = out.partition(b"Press Y to flash the firmware: ")[2].partition(b"Need to send")[0]
if between.strip(b"\r\n"):
    failures.append(f"the key was echoed: {between!r}")
if during[3] & (termios.ECHO | termios.ICANON):
    failures.append("the terminal was not in raw mode during the key read")
if after[3] != before[3]:
    failures.append("the terminal was not restored after the key read")

out, before, during, after, status = run(kill=True)
# SIGTERM at the question is its answer: an orderly stop, no key needed.
if status != 130 or b"Stopped by the operator before flashing" not in out:
    failures.append(f"SIGTERM at the question did not stop in order (status {status})")
if after[3] != before[3]:
    failures.append("the terminal was not restored when the tool was stopped in its key read")

with open(os.path.join(work, "slow.scenario"), "w") as f:
    f.write("delay.GetFrontEndInfo = 500000\n")  # half a second under faketime
env["KOVI_SIM"] = os.path.join(work, "slow.scenario")
out, before, during, after, status = run(key=b"n", early_key=b"y")
if b"Need to send" in out:
    failures.append("a y typed before the question answered it")
del env["KOVI_SIM"]

for failure in failures:
    print("---", failure)
sys.exit(1 if failures else 0)
