#!/usr/bin/env python3
"""A station's screen on a real terminal emulator (tmux) of 80 x 24 with 40
frontends: too many for tiles, the summary and every frontend's cell fit
the window, no line is wider than it, and no redraw pushes a copy of the
screen into the scrollback: what scrolled away is the station's messages,
each once. And a watch of 8 slots at 160 x 45: a board of tiles, each slot
at the same place all day, each tile in its state's colour; after a resize
to 200 x 60 every tile is there, and after one to 80 x 24 nothing of the old
screen stays.
The board at 160 x 45 is the one whose picture the operator's guide shows.
station_screen.py KESTRUNE MAKE_IMAGE SDK_DIR DOCS_DIR"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

LIBFAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
if shutil.which("tmux") is None:
    print("skipped: tmux is not installed")
    sys.exit(77)
tool, make_image, sdk_dir, docs = (os.path.abspath(a) for a in sys.argv[1:5])
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

summaries = [line for line in everything if line.startswith("good ")]
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
if summaries and not summaries[0].startswith("good 40  set aside 0  working 0  listed 40"):
    failures.append(f"the last summary: {summaries[0]!r}")

# A watch of 8 slots on a large window: a board of tiles.
session += "-watch"  # a server of its own: the first may still be ending
fixture = os.path.join(work, "fixture")
os.makedirs(fixture)


def put_in(slot, *settings):
    with open(os.path.join(fixture, "." + slot), "w") as f:
        f.write("".join(line + "\n" for line in (f"name = USB:SLOT-{slot}",) + settings))
    os.rename(os.path.join(fixture, "." + slot), os.path.join(fixture, slot))


for slot in "12345678":
    put_in(slot, *{"2": ["fail.KoviKestrune = 2"], "3": ["delay.KoviKestrune = 3000000"]}.get(slot, []))
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


def places(screen):
    """Where each slot's tile is: the row and column of its name."""
    found = {}
    for row, line in enumerate(screen):
        for column in [i for i in range(len(line)) if line.startswith(" USB:SLOT-", i)]:
            found[line[column + 1:column + 11]] = (row, column)
    return found


def colour_of(coloured, name):
    """The background colour (SGR 40 to 107) of the tile named."""
    for line in coloured:
        at = line.find(name)
        if at >= 0:
            codes = [c for c in line[:at].split("\x1b[")[-1].rstrip("m ").split(";") if c]
            return next((c for c in codes if c.startswith(("4", "10"))), None)
    return None


def shape(lines):
    """A screen's text without what changes from run to run: each number a
    #, each run of blanks one, no blank lines."""
    out = [re.sub(r" +", " ", re.sub(r"[0-9]+", "#", line)).strip() for line in lines]
    return [line for line in out if line]


SGR_COLOURS = {30: "#000", 37: "#c0c0c0", 97: "#fff", 40: "#000", 41: "#c00", 42: "#0a0",
               43: "#c80", 44: "#00c", 47: "#c0c0c0", 100: "#777"}


def picture(coloured, path):
    """The screen as the terminal showed it, into a PNG: its colours as
    HTML, taken by Chromium (Debian's chromium, chromium-driver,
    python3-selenium)."""
    import html
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    rows, fg, bg = [], "#c0c0c0", "#000"  # (tmux carries colours from line to line)
    for line in coloured:
        out = []
        for piece in re.split(r"(\x1b\[[0-9;]*m)", line):
            if piece.startswith("\x1b["):
                for code in [int(c) for c in piece[2:-1].split(";") if c] or [0]:
                    if code in (0, 39):
                        fg = "#c0c0c0"
                    if code in (0, 49):
                        bg = "#000"
                    if 30 <= code <= 37 or 90 <= code <= 97:
                        fg = SGR_COLOURS.get(code, fg)
                    if 40 <= code <= 47 or 100 <= code <= 107:
                        bg = SGR_COLOURS.get(code, bg)
            elif piece:
                out.append(f'<span style="display:inline-block;height:17px;color:{fg};background:{bg}">'
                           f"{html.escape(piece)}</span>")
        rows.append('<div style="height:17px;white-space:pre">' + "".join(out) + "</div>")
    page = os.path.join(work, "board.html")
    with open(page, "w", encoding="utf-8") as f:
        f.write('<html><body style="margin:0;background:#000"><div id="screen" style="font:14px/17px '
                'monospace;color:#c0c0c0;width:max-content">' + "".join(rows) + "</div></body></html>")
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1500,900"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.get("file://" + page)
    driver.find_element("id", "screen").screenshot(path)
    driver.quit()


def settled(*arguments):
    """The pane once all 8 slots' tiles are on it (tmux takes what was
    written in its own time), at most 10 seconds later."""
    deadline = time.time() + 10
    screen = tmux("capture-pane", "-p", *arguments, "-t", session).split("\n")
    while len(places(screen)) < 8 and time.time() < deadline:
        time.sleep(0.2)
        screen = tmux("capture-pane", "-p", *arguments, "-t", session).split("\n")
    return screen


tmux("-f", "/dev/null", "new-session", "-d", "-s", session, "-x", "160", "-y", "45",
     "sh", "-c", command)
try:
    first = later = large = resized = []
    coloured = []
    if all(logged(f"Frontend [USB:SLOT-{n}]: {'failed' if n == '2' else 'flashed'}")
           for n in "1245678"):
        time.sleep(1)
        first = settled()
        os.remove(os.path.join(fixture, "4"))
        if logged("Frontend [USB:SLOT-4] left"):
            time.sleep(1)
            coloured = settled("-e", "-N")
            put_in("4")
            logged("Frontend [USB:SLOT-4] is flashed by worker 9")
            time.sleep(1)
            later = settled()
            tmux("resize-window", "-t", session, "-x", "200", "-y", "60")
            time.sleep(2)
            large = settled()
            tmux("resize-window", "-t", session, "-x", "80", "-y", "24")
            time.sleep(2)
            resized = tmux("capture-pane", "-p", "-t", session).split("\n")
finally:
    subprocess.run(["tmux", "-L", session, "kill-server"], capture_output=True)
slots = {f"USB:SLOT-{n}" for n in "12345678"}
if set(places(first)) != slots or places(first) != places(later):
    failures.append(f"the tiles' places: {places(first)!r}, then {places(later)!r}")
if len({row for row, _ in places(first).values()}) != 2:
    failures.append(f"8 slots at 160 x 45 are not two rows of tiles: {places(first)!r}")
if set(places(large)) != slots:
    failures.append(f"at 200 x 60 the tiles are not all there: {places(large)!r}")
wide = [line for line in first + later if len(line.rstrip()) > 160]
wide += [line for line in large if len(line.rstrip()) > 200]
if wide:
    failures.append(f"lines wider than the window: {wide[:2]}")
colours = {name: colour_of(coloured, name) for name in
           ("USB:SLOT-1", "USB:SLOT-2", "USB:SLOT-3", "USB:SLOT-4")}
if colours != {"USB:SLOT-1": "42", "USB:SLOT-2": "41", "USB:SLOT-3": "43", "USB:SLOT-4": "40"}:
    failures.append(f"the tiles' colours (done, set aside, working, empty): {colours!r}")
# The operator's guide shows this board: the board as drawn now must be the
# one its picture was made from (digits and spacing aside), or the picture
# is made again (KESTRUNE_BOARD_PICTURE=docs/board-160x45) and committed.
plain = [re.sub(r"\x1b\[[0-9;]*m", "", line) for line in coloured]
guide_board = os.path.join(docs, "board-160x45.txt")
remake = os.environ.get("KESTRUNE_BOARD_PICTURE")
if remake and coloured:
    with open(remake + ".txt", "w", encoding="utf-8") as f:
        f.write("\n".join(line.rstrip() for line in plain).rstrip("\n") + "\n")
    picture(coloured, remake + ".png")
elif shape(plain) != shape(open(guide_board, encoding="utf-8").read().split("\n")):
    failures.append(f"the board is not the one in the operator's guide ({guide_board}): make "
                    "its picture again with KESTRUNE_BOARD_PICTURE=docs/board-160x45")
if sum(line.startswith("good ") for line in resized) != 1 or not resized[0].startswith("good "):
    failures.append("after the resize, the screen does not start with its one summary line")
    everything = resized
for failure in failures:
    print("---", failure)
if failures:
    print("\n".join(everything[:int(os.environ.get("SHOW", "0"))] or everything[-30:]))
shutil.rmtree(work, ignore_errors=True)
sys.exit(1 if failures else 0)
