#!/usr/bin/env python3
"""A station's screen on a real terminal emulator (tmux) of 80 x 24 with 40
frontends: the summary and every frontend's cell fit the window, no line is
wider than it, and no redraw pushes a copy of the screen into the
scrollback: what scrolled away is the station's messages, each once. And
a watch whose unit was taken out: its cell says empty.
station_screen.py KESTRUNE MAKE_IMAGE SDK_DIR"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

LIBFAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
if shutil.which("tmux") is None:
    print("skipped: tmux is not installed")
    sys.exit(77)
tool, make_image, sdk_dir = (os.path.abspath(a) for a in sys.argv[1:4])
work = tempfile.mkdtemp(prefix="kestrune-screen-")
subprocess.run([make_image, "--size", "300", "kovi_firmware.bin"], cwd=work, check=True)
with open(os.path.join(work, "forty.scenario"), "w") as f:
    f.write("device_count = 40\ndelay.KoviKestrune = 20000\n")
session = "kestrune-screen-%d" % os.getpid()
command = (f"cd {work} && env KOVI_SDK_DIR={sdk_dir} KOVI_SIM=forty.scenario TZ=UTC "
           f"LD_PRELOAD={LIBFAKETIME} FAKETIME='@2026-12-07 12:00:00 x1000' {tool} --all u 0; "
           "echo ended > ended; sleep 60")


def tmux(*arguments):
    return subprocess.run(["tmux", "-L", session] + list(arguments), check=True,
                          capture_output=True, text=True).stdout


failures = []
tmux("-f", "/dev/null", "new-session", "-d", "-s", session, "-x", "80", "-y", "24",
     "sh", "-c", command)
try:
    tmux("set-option", "-g", "history-limit", "10000")
    deadline = time.time() + 120
    while not os.path.exists(os.path.join(work, "ended")) and time.time() < deadline:
        time.sleep(0.2)
    if not os.path.exists(os.path.join(work, "ended")):
        failures.append("the station did not end")
    # tmux takes what the station wrote in its own time, later on a busy
    # machine: read the pane once it has stood still for a moment.
    everything, before = None, ""
    while everything != before and time.time() < deadline:
        before = everything
        time.sleep(0.3)
        everything = tmux("capture-pane", "-p", "-J", "-S", "-", "-E", "-", "-t", session)
    everything = everything.split("\n")
    screen = tmux("capture-pane", "-p", "-t", session).split("\n")
finally:
    subprocess.run(["tmux", "-L", session, "kill-server"], capture_output=True)

summaries = [line for line in everything if line.startswith("flashed ")]
if len(summaries) != 1:
    failures.append(f"{len(summaries)} summary lines in the scrollback and the screen, not 1")
wide = [line for line in everything if len(line.rstrip()) > 80]
if wide:
    failures.append(f"lines wider than the window: {wide[:2]}")
done = sum(line.count("done, take it out") for line in screen)
if done != 40:
    failures.append(f"{done} cells say done on the last screen, not 40")
ends = [line for line in everything if line.endswith(": flashed, exit status 0")]
if len(ends) != 40:
    failures.append(f"{len(ends)} end lines, not one per frontend")
if summaries and not summaries[0].startswith("flashed 40  verified 0  failed 0  working 0  listed 40"):
    failures.append(f"the last summary: {summaries[0]!r}")

# A watch: the cell of a unit taken out says empty, the other's still done.
session += "-watch"  # a server of its own: the first may still be ending
fixture = os.path.join(work, "fixture")
os.makedirs(fixture)
for slot in "AB":
    with open(os.path.join(fixture, slot), "w") as f:
        f.write(f"name = USB:SLOT-{slot}\n")
command = (f"cd {work} && env KOVI_SDK_DIR={sdk_dir} KOVI_SIM_FIXTURE=fixture TZ=UTC "
           f"LD_PRELOAD={LIBFAKETIME} FAKETIME='@2026-12-07 12:00:00 x1000' {tool} --watch "
           "--log watch.log u 0; sleep 60")


def logged(text, seconds=60):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if os.path.exists(os.path.join(work, "watch.log")) and \
                text in open(os.path.join(work, "watch.log"), "rb").read().decode("utf-8", "replace"):
            return True
        time.sleep(0.1)
    failures.append(f"the watch did not log {text!r}")
    return False


tmux("-f", "/dev/null", "new-session", "-d", "-s", session, "-x", "80", "-y", "24",
     "sh", "-c", command)
try:
    screen = []
    if logged("Frontend [USB:SLOT-A]: flashed") and logged("Frontend [USB:SLOT-B]: flashed"):
        os.remove(os.path.join(fixture, "A"))
        if logged("Frontend [USB:SLOT-A] left"):
            time.sleep(1)
            screen = tmux("capture-pane", "-p", "-t", session).split("\n")
finally:
    subprocess.run(["tmux", "-L", session, "kill-server"], capture_output=True)
cells = [[line[:39].rstrip(), line[40:].rstrip()] for line in screen
         if line.startswith("USB:SLOT-")]
if cells != [["USB:SLOT-A empty", "USB:SLOT-B done, take it out"]]:
    failures.append(f"the watch's cells: {cells!r}")
    everything = screen
for failure in failures:
    print("---", failure)
if failures:
    print("\n".join(everything[:int(os.environ.get("SHOW", "0"))] or everything[-30:]))
shutil.rmtree(work, ignore_errors=True)
sys.exit(1 if failures else 0)
