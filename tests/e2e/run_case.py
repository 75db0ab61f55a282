#!/usr/bin/env python3
"""Runs one end-to-end case: the real Kestrune binary in a fresh directory
against the simulated frontend, compared byte for byte. The case format is
described in FORMAT.md beside this file."""

import argparse
import datetime
import fcntl
import glob
import hashlib
import json
import os
import re
import resource
import shlex
import pty
import select
import shutil
import stat
import signal
import subprocess
import sys
import tempfile
import threading
import time

from line_operator import LineOperator

SKIP = 77  # CTest's SKIP_RETURN_CODE for this runner
FIXED_DATE = datetime.date(2026, 12, 7)
FAKETIME = "@2026-12-07 12:00:00 x1000"
LIBFAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
WINE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "wine")
PART_OF_MINUTE = "\x00"  # stands for the pattern below in expected console output
PART_OF_MINUTE_PATTERN = rb"(?:\|{30}(?:\r_*/?)*)?"
ACCESS_CODE_MASK = 0x5AA5FF
HEADER_FIELDS = {"name", "args", "speed", "stdin", "exit", "image", "platforms", "sdk", "setup",
                 "received", "exe", "signal", "history-file", "json-file", "terminal-shows", "absent", "image-file",
                 "log-file", "launch", "received-by", "timeout", "image-2", "image-file-2",
                 "received-by-2"}
FRAGMENTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fragments")


def read_case_lines(path, values=None):
    """The case's lines with every %include NAME% replaced: "%include NAME
    key=value ...%" gives the fragment's %{key}% its value (%{key=default}%
    where the fragment has one)."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    out = []
    for raw in lines:
        if values is not None:  # %{key}% or %{key=default}%
            raw = re.sub(r"%\{([\w-]+)(?:=([^}]*))?\}%",
                         lambda v: values.get(v.group(1), v.group(2) if v.group(2) is not None
                                              else v.group(0)), raw)
        m = re.fullmatch(r"%include (\w+)((?: [\w-]+=\S*)*)%", raw.strip())
        if m:
            given = dict(pair.split("=", 1) for pair in m.group(2).split())
            out.extend(read_case_lines(os.path.join(FRAGMENTS, m.group(1)), given))
        else:
            out.append(raw)
    left = next((line for line in out if re.search(r"%\{[\w-]+\}%", line)), None)
    if values is not None and left is not None:
        raise SystemExit(f"{path}: no value for {left}")
    return out


def parse_case(path):
    fields, blocks, block = {}, {}, None
    for raw in read_case_lines(path):
        if block is None and (raw.startswith("#") or not raw.strip()):
            continue
        m = re.fullmatch(r"\[(\w+(?: [\w./*-]+)?)\]", raw.strip()) if not raw.startswith(" ") else None
        if m:
            block = m.group(1)
            blocks[block] = []
            continue
        if block is not None:
            blocks[block].append(raw)
            continue
        key, sep, value = raw.partition(":")
        if not sep or key.strip() not in HEADER_FIELDS:
            sys.exit(f"{path}: bad header line: {raw!r}")
        fields[key.strip()] = value.strip()
    for name in blocks:  # blank lines at the end of a block are layout
        while blocks[name] and not blocks[name][-1].strip():
            blocks[name].pop()
    return fields, blocks


def unescape(text):
    def one(m):
        s = m.group(0)
        return {"\\n": "\n", "\\r": "\r", "\\\\": "\\"}.get(s) or chr(int(s[2:], 16))
    return re.sub(r"\\x[0-9a-fA-F]{2}|\\[nr\\]", one, text)


def minute_display():
    out = "|" * 30
    for i in range(30):
        out += "\r" + "_" * i + "/"
    return out + "\r" + "*" * 30 + "\n\n"


def transfer_bar(chunks):
    """The console's bar over a transfer of that many chunks, and the stars."""
    out, shown = "", 0
    for part in range(chunks):
        filled = 50 * part // chunks
        if filled != shown:
            out += "\r" + "_" * filled + "|" * (50 - filled)
            shown = filled
    return out + "\r" + "*" * 50


def expand(text, macros):
    """Escapes first, then macros, so that macro values are taken literally."""
    parts = re.split(r"(%repeat\[\d+ x [^\]]*\]%|%bar\[\d+\]%|%[A-Za-z_]+%)", text)
    out = []
    for part in parts:
        m = re.fullmatch(r"%repeat\[(\d+) x ([^\]]*)\]%", part)
        bar = re.fullmatch(r"%bar\[(\d+)\]%", part)
        if m:
            out.append(unescape(m.group(2)) * int(m.group(1)))
        elif bar:
            out.append(transfer_bar(int(bar.group(1))))
        elif re.fullmatch(r"%[A-Za-z_]+%", part) and part.strip("%") in macros:
            out.append(macros[part.strip("%")])
        else:
            out.append(unescape(part))
    return "".join(out)


def expected_pieces(lines, macros):
    """The console's and the log's pieces, each with its group: a run of
    lines marked "any: " may come in any order among themselves."""
    console, log = [], []
    group = None
    for number, line in enumerate(lines):
        if not line.strip():
            continue
        unordered = line.startswith("any: ")
        group = (group if group is not None else number) if unordered else None
        line = line[len("any: "):] if unordered else line
        if line.startswith("console: "):
            console.append((expand(line[len("console: "):], macros).encode("latin-1"), group))
            continue
        if line.startswith("log: "):  # a record the log alone gets
            log.append(((expand(line[len("log: "):], macros) + "\r\r\n").encode("latin-1"), group))
            continue
        tag, sep, message = line.partition(", ")
        if not sep:
            sys.exit(f"message line without a tag: {line!r}")
        message = expand(message, macros)
        console.append(((message + "\r\n").encode("latin-1"), group))
        log.append(((tag + ", " + message + "\r\n").replace("\n", "\r\n").encode("latin-1"), group))
    return console, log


def expected_output(lines, macros):
    console, log = expected_pieces(lines, macros)
    return b"".join(p for p, _ in console), b"".join(p for p, _ in log)


DATETIME = "\x01"  # %DATETIME% in expected text: a log name's date and time
DATETIME_PATTERN = rb"\d{8}-\d{6}"


def piece_at(piece, actual, at):
    """The length of piece where it stands at at in actual, or None."""
    if DATETIME.encode() not in piece:
        return len(piece) if actual.startswith(piece, at) else None
    pattern = DATETIME_PATTERN.join(re.escape(p) for p in piece.split(DATETIME.encode()))
    m = re.compile(pattern, re.S).match(actual, at)
    return m.end() - at if m else None


def pieces_match(pieces, actual):
    """Whether actual is the pieces, each group's in any order."""
    at, i = 0, 0
    while i < len(pieces):
        group = pieces[i][1]
        j = i + 1
        while group is not None and j < len(pieces) and pieces[j][1] == group:
            j += 1
        left = [p for p, _ in pieces[i:j]]
        while left:
            found = next((p for p in left if piece_at(p, actual, at) is not None), None)
            if found is None:
                return False
            left.remove(found)
            at += piece_at(found, actual, at)
        i = j
    return at == len(actual)


def read_bytes(path):
    """A file's bytes; none when it is not there."""
    if not os.path.isfile(path):
        return b""
    with open(path, "rb") as f:
        return f.read()


def console_matches(expected, actual):
    if PART_OF_MINUTE.encode() not in expected:
        return expected == actual
    pattern = PART_OF_MINUTE_PATTERN.join(re.escape(p) for p in expected.split(b"\x00"))
    return re.fullmatch(pattern, actual, re.S) is not None


def read_until(fd, out, wanted, seconds=600):
    deadline = time.time() + seconds
    while wanted not in out and time.time() < deadline:
        if select.select([fd], [], [], 0.2)[0]:
            try:
                chunk = os.read(fd, 65536)
            except OSError:  # the terminal's other end is gone
                chunk = b""
            if not chunk:
                break
            out += chunk
    return out


def read_until_logged(fd, path, wanted, seconds=120):
    """The terminal read on while waiting for a line in a log file: a
    process that is shown started may not yet have run a line of its own."""
    out, deadline = b"", time.time() + seconds
    while wanted not in read_bytes(path) and time.time() < deadline:
        out = read_until(fd, out, b"\0", 0.2)
        time.sleep(0.05)  # (and no busy loop once the terminal is closed)
    return out


def run_on_terminal(command, cwd, env, key):
    """On a pseudo-terminal, where Wine gives the program a real console and
    _getch reads from it: the case's key at the question, one key and no
    Enter. (A key typed earlier cannot be shown to be discarded here: Wine's
    console takes keys from the terminal only when the program reads.)"""
    master, slave = pty.openpty()
    env = dict(env, LC_ALL="C.UTF-8")  # a UTF-8 terminal
    p = subprocess.Popen(command, cwd=cwd, env=env, stdin=slave, stdout=slave, stderr=slave)
    os.close(slave)
    # (Wine puts escape sequences into what it shows: match a short piece.)
    out = read_until(master, b"", b"Press Y to flash")
    time.sleep(0.5)
    os.write(master, key)
    out = read_until(master, out, b"Close the log file")
    # Alone on its console, the tool waits for a key before the window closes.
    out = read_until(master, out, b"Press any key to close this window", 5)
    os.write(master, b"x")
    read_until(master, out, b"\0", 10)
    os.close(master)
    return p.wait(timeout=60), out, b""


def tool_processes(cwd, pattern=rb".*Kestrune"):
    """The pids of the case's runs of the tool (a station's workers too):
    started in its folder, the command line matching pattern."""
    pids = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if (os.readlink(f"/proc/{pid}/cwd") == cwd and
                    re.match(pattern, read_bytes(f"/proc/{pid}/cmdline"))):
                pids.append(int(pid))
        except OSError:
            pass
    return pids


def windows_processes(cwd):
    """Under Wine, the Unix pids of the case's Windows processes: named by a
    Windows path, or by the Unix one where the 64-bit loader started them
    directly."""
    return tool_processes(cwd, rb"(?:[A-Z]:\\|/)[^\0]*Kestrune\.exe\0")


def run_on_terminal_with_stop(command, cwd, env, fields):
    """On a pseudo-terminal, a console Ctrl-C once the terminal shows the
    marker: Wine turns a SIGINT to each of the console's Windows processes
    into CTRL_C_EVENT, as Windows sends it to every process on a console.
    "SIGINT then SIGINT" gives a second Ctrl-C right after the first; a
    marker "log FILE: TEXT" waits for TEXT in the case's file FILE."""
    name, _, marker = fields["signal"].partition(" after ")
    first, _, second = name.partition(" then ")
    pause = first.split()[1:2]
    master, slave = pty.openpty()
    p = subprocess.Popen(command, cwd=cwd, env=dict(env, LC_ALL="C.UTF-8"), stdin=slave,
                         stdout=slave, stderr=slave)
    os.close(slave)
    if marker.startswith("log "):
        out = read_until_logged(master, os.path.join(cwd, marker[4:].partition(": ")[0]),
                                marker.partition(": ")[2].encode())
    else:
        out = read_until(master, b"", expand(marker, {}).encode("latin-1"))
    time.sleep(int(pause[0]) / 1000 if pause else 0)
    for stop in [first.split()[0]] + ([second.split()[0]] if second else []):
        for pid in windows_processes(cwd):
            os.kill(pid, getattr(signal, stop))
        time.sleep(0.3)
    # Alone on its console at the end, the tool waits for a key.
    out = read_until(master, out, b"Press any key to close this window", 60)
    os.write(master, b"x")
    read_until(master, out, b"\0", 10)
    os.close(master)
    return p.wait(timeout=60), out, b""


def run_with_terminal_stopped(command, cwd, env, key):
    """On a pseudo-terminal stopped with Ctrl-S right after the key: the run
    must go on to its end, its log closed, and end while the terminal is
    still stopped; Ctrl-Q then shows what the terminal took."""
    master, slave = pty.openpty()
    p = subprocess.Popen(command, cwd=cwd, env=env, stdin=slave, stdout=slave, stderr=slave)
    os.close(slave)
    out = read_until(master, b"", b"Press Y to flash")
    time.sleep(0.5)
    os.write(master, key + b"\x13")
    deadline = time.time() + 20
    while b"Close the log file" not in read_bytes(os.path.join(cwd, "kovi_kestrune.log")):
        if time.time() > deadline:
            print("--- the run stood still with the terminal")
            p.kill()  # and so fails on its exit status
            break
        time.sleep(0.2)
    # Nor does the console that stands still hold the end: the process ends
    # after its grace, the terminal still stopped.
    try:
        status = p.wait(timeout=30)
    except subprocess.TimeoutExpired:
        print("--- the run did not end while the terminal stood still")
        p.kill()
        status = p.wait()
    os.write(master, b"\x11")
    out = read_until(master, out, b"\0", 2)
    os.close(master)
    return status, out, b""


def run_on_one_page_pipe(command, cwd, env, stdin, timeout, read=None):
    """With --json, standard output on a pipe of one page, taken by read(fd)
    in a thread of its own, or (read None) never read until the run is over:
    the run must end all the same."""
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, 1031, 4096)  # F_SETPIPE_SZ
    p = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.PIPE, stdout=write_end,
                         stderr=subprocess.PIPE)
    os.close(write_end)
    out = []
    reader = threading.Thread(target=lambda: out.append(read(read_end))) if read else None
    if reader:
        reader.start()
    try:
        _, err = p.communicate(stdin, timeout=timeout)
    except subprocess.TimeoutExpired:
        print(f"--- still running after {timeout} s")
        p.kill()
        _, err = p.communicate()
    if reader:
        reader.join()
    os.close(read_end)  # what was not read is not looked at
    return p.returncode, b"".join(out), err


def read_slowly(fd):
    """1.3 KB a second, to the end."""
    out = b""
    while True:
        chunk = os.read(fd, 256)
        if not chunk:
            return out
        out += chunk
        time.sleep(0.2)


def run_answering_at_prompt(command, cwd, env, stdin, timeout):
    """As a program driving --json does: standard error read as it comes,
    the key given only once the question is there."""
    p = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out = []
    reader = threading.Thread(target=lambda: out.append(p.stdout.read()))
    reader.start()
    err = read_until(p.stderr.fileno(), b"", b"Press Y to flash the firmware: ", timeout)
    if b"Press Y to flash the firmware: " not in err:
        print("--- the question never reached standard error")
        p.kill()
    else:
        p.stdin.write(stdin)
    p.stdin.close()
    err += p.stderr.read()
    reader.join()
    return p.wait(), out[0], err


def launch(command, cwd, env, stdin, fields):
    """Runs the tool; for a case with a signal, sends it once the console
    shows the marker. Returns the exit status, the console and stderr."""
    setups = fields.get("setup", "").split()
    if "terminal" in setups and "signal" in fields:
        return run_on_terminal_with_stop(command, cwd, env, fields)
    if "terminal" in setups:
        return run_on_terminal(command, cwd, env, stdin)
    if "terminal-stopped" in setups:
        return run_with_terminal_stopped(command, cwd, env, stdin)
    if "closed-std-descriptors" in setups:
        # Started with 0 and 1 closed: what it writes to the console must go
        # nowhere, least of all into a file it opened.
        def close_standard():
            os.close(0)
            os.close(1)
        r = subprocess.run(command, cwd=cwd, env=env, stderr=subprocess.PIPE,
                           preexec_fn=close_standard, timeout=600)
        return r.returncode, b"", r.stderr
    timeout = int(fields.get("timeout", "600"))
    if "stdout-read-slowly" in setups:
        return run_on_one_page_pipe(command, cwd, env, stdin, timeout, read_slowly)
    if "stdout-not-read" in setups:
        return run_on_one_page_pipe(command, cwd, env, stdin, timeout)
    if "answer-at-prompt" in setups:
        return run_answering_at_prompt(command, cwd, env, stdin, min(timeout, 60))
    if "signal" not in fields and "stdout-reader-leaves" not in setups:
        limits = {"file-size-limit": (resource.RLIMIT_FSIZE, 16384),  # like "ulimit -f 16"
                  "open-files-limit": (resource.RLIMIT_NOFILE, 13)}  # like "ulimit -n 13"
        chosen = [limits[s] for s in setups if s in limits]

        def set_limits():
            for limit, value in chosen:
                resource.setrlimit(limit, (value, value))
        try:
            r = subprocess.run(command, cwd=cwd, env=env, input=stdin, capture_output=True,
                               timeout=timeout, preexec_fn=set_limits if chosen else None)
        except subprocess.TimeoutExpired as e:
            print(f"--- still running after {timeout} s")
            return None, e.stdout or b"", e.stderr or b""
        return r.returncode, r.stdout, r.stderr
    with tempfile.TemporaryFile() as err:
        p = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=err)
        p.stdin.write(stdin)
        p.stdin.close()
        out = b""
        if "stdout-reader-leaves" in setups:
            # Like "| head -c 1900": the reader takes its bytes and goes away.
            while len(out) < 1900:
                chunk = os.read(p.stdout.fileno(), 1900 - len(out))
                if not chunk:
                    break
                out += chunk
            p.stdout.close()
        else:
            name, _, marker = fields["signal"].partition(" after ")
            name, _, second = name.partition(" then ")
            name, _, pause = name.partition(" ")
            marker = expand(marker, {}).encode("latin-1")
            sent = False
            while True:
                chunk = os.read(p.stdout.fileno(), 65536)
                if not chunk:
                    break
                out += chunk
                if not sent and marker in out:
                    # (Where no output marks the call to stop in, a pause
                    # after the one before does.)
                    time.sleep(int(pause.split()[0]) / 1000 if pause else 0)
                    p.send_signal(getattr(signal, name))
                    if second:
                        p.send_signal(getattr(signal, second))
                    sent = True
        p.wait(timeout=600)
        err.seek(0)
        return p.returncode, out, err.read()


def show_difference(what, expected, actual):
    print(f"--- {what} differs")
    exp_lines = expected.split(b"\n")
    act_lines = actual.split(b"\n")
    for i in range(max(len(exp_lines), len(act_lines))):
        e = exp_lines[i] if i < len(exp_lines) else None
        a = act_lines[i] if i < len(act_lines) else None
        if e != a:
            print(f"  line {i + 1}:\n    expected {e!r}\n    actual   {a!r}")
            break
    print(f"  expected {len(expected)} bytes, got {len(actual)}")


def json_matches(expected, actual):
    if expected == "%ANY%":
        return True
    if expected == "%TIMESTAMP%":
        return isinstance(actual, str) and re.fullmatch(
            r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d", actual) is not None
    if isinstance(expected, dict):
        return (isinstance(actual, dict) and list(expected) == list(actual) and
                all(json_matches(expected[k], actual[k]) for k in expected))
    if isinstance(expected, list):
        return (isinstance(actual, list) and len(expected) == len(actual) and
                all(json_matches(e, a) for e, a in zip(expected, actual)))
    return expected == actual and type(expected) is type(actual)


def check_json(stdout, lines, macros):
    """Standard output is JSON Lines and nothing else, the objects as the
    case lists them."""
    if not stdout.endswith(b"\n"):
        print(f"--- standard output does not end in a line feed: {stdout[-200:]!r}")
        return 1
    wanted = [json.loads(expand(line, macros)) for line in lines if line.strip()]
    got_lines = stdout.split(b"\n")[:-1]
    if not any(w.get("event") == "watching" for w in wanted):  # a watch's, as time goes
        got_lines = [line for line in got_lines if b'"event":"watching"' not in line]
    for number, line in enumerate(got_lines):
        try:
            got = json.loads(line.decode("utf-8"))
        except ValueError:
            print(f"--- standard output line {number + 1} is no JSON: {line!r}")
            return 1
        if number >= len(wanted) or not json_matches(wanted[number], got):
            print(f"--- JSON line {number + 1} is {line!r}, expected "
                  f"{json.dumps(wanted[number]) if number < len(wanted) else 'no more'}")
            return 1
    if len(got_lines) != len(wanted):
        print(f"--- {len(got_lines)} JSON lines, expected {len(wanted)}")
        return 1
    return 0


def check_memcheck(path, normal_end):
    """Memcheck's verdict: no error; after a normal end no descriptor that the
    tool or its library opened is still open."""
    with open(path, encoding="latin-1") as f:
        text = re.sub(r"^==\d+== ?", "", f.read(), flags=re.M)
    failures = 0
    if "ERROR SUMMARY: 0 errors" not in text:
        print("--- memcheck found errors:\n" + text[-4000:])
        failures += 1
    if normal_end:
        blocks = re.split(r"\n(?=Open (?:file|AF_\w+ socket) descriptor)", text)
        for block in blocks[1:]:
            block = block.split("\n\n")[0]
            if "<inherited from parent>" in block or "libfaketime" in block:
                continue
            print("--- descriptor left open at exit:\n" + block)
            failures += 1
    return failures


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--platform", choices=["linux", "windows", "windows-x86"], default="linux")
    ap.add_argument("--bin", required=True, help="the Kestrune executable")
    ap.add_argument("--make-image", required=True)
    ap.add_argument("--build", required=True, help="build directory with sdk/ and sdk-without/")
    ap.add_argument("--wineprefix")
    ap.add_argument("--other-bin", help="the other Windows bitness's Kestrune.exe")
    ap.add_argument("--valgrind", action="store_true",
                    help="run under memcheck: no error, and on exit status 0 no descriptor left "
                         "open but the standard streams")
    ap.add_argument("case")
    opts = ap.parse_args()

    fields, blocks = parse_case(opts.case)
    if opts.platform not in fields.get("platforms", "linux").split():
        print(f"skipped: not a {opts.platform} case")
        return SKIP
    windows = opts.platform.startswith("windows")
    work = tempfile.mkdtemp(prefix="kestrune-e2e-")
    try:
        return run(fields, blocks, opts, windows, work)
    finally:
        subprocess.run(["chattr", "-i", os.path.join(work, "kovi_firmware.bin")],
                       stderr=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        if os.path.ismount(os.path.join(work, "full")):
            subprocess.run(["umount", os.path.join(work, "full")])
        keep = os.environ.get("KESTRUNE_E2E_KEEP")  # a folder to look at the run in
        if keep:
            shutil.copytree(work, os.path.join(keep, os.path.basename(opts.case)),
                            symlinks=True, dirs_exist_ok=True,
                            ignore=lambda d, names: [n for n in names if stat.S_ISFIFO(
                                os.lstat(os.path.join(d, n)).st_mode)])
        shutil.rmtree(work, ignore_errors=True)


class Run:
    """What one case has set up: its folder, files, environment and the
    state a setup keeps until the run has ended."""

    def __init__(self, fields, blocks, opts, windows, work):
        self.fields, self.blocks, self.opts, self.windows, self.work = (
            fields, blocks, opts, windows, work)
        self.setups = fields.get("setup", "").split()
        self.image_name = fields.get("image-file", "kovi_firmware.bin")
        self.image_path = os.path.join(work, self.image_name)
        self.image = None  # the image's bytes as made, to compare after the run
        self.image2 = None
        self.held_lock = None

    def path(self, name):
        return os.path.join(self.work, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)


def hold_history_lock(r):
    # Held by this process for three seconds of real time, as another run
    # writing to a slow disk would: under the cases' sped-up clock that is
    # the better part of an hour, which the tool must wait out.
    r.held_lock = open(r.path("history.csv"), "wb")
    fcntl.flock(r.held_lock, fcntl.LOCK_EX)
    threading.Timer(3.0, lambda: fcntl.flock(r.held_lock, fcntl.LOCK_UN)).start()


def fill_disk_under_history(r):
    # Three pages: a filler takes two, the history most of the third, so a
    # record is cut short by the full disk.
    os.mkdir(r.path("full"))
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=12k", "tmpfs", r.path("full")],
                      stderr=subprocess.DEVNULL).returncode:
        return "no tmpfs can be mounted here"
    r.write("full/filler", b"\0" * 8192)
    r.write("full/history.csv", b"x" * 4064 + b"\r\n")  # 30 bytes short of a page
    return None


def code_page_932(r):
    # Wine takes its ANSI code page from the locale: a Japanese one of the
    # case's own, made with localedef, gives code page 932.
    os.makedirs(r.path("locale"))
    made = subprocess.run(["localedef", "-i", "ja_JP", "-f", "SHIFT_JIS", "--no-warnings=ascii",
                           r.path("locale/ja_JP.SJIS")], capture_output=True)
    if made.returncode not in (0, 1) or not os.path.isdir(r.path("locale/ja_JP.SJIS")):
        return "no Japanese locale can be made here (Debian's locales package)"
    r.env_extra = {"LOCPATH": r.path("locale"), "LC_ALL": "ja_JP.SJIS"}
    return None


def make_image_immutable(r):
    # A read-only mode does not stop root; an immutable file does.
    if subprocess.run(["chattr", "+i", r.image_path], stderr=subprocess.DEVNULL).returncode:
        return "chattr +i is not supported here"
    return None


def sign_image(r, signer="maker", afterwards=None):
    """Keys made by openssl for the case (maker and other, public keys as
    maker.pub and other.pub), the image (and a second one) signed by one into
    IMAGE.sig, then what afterwards does to the image or its signature."""
    if shutil.which("openssl") is None:
        return "openssl is not installed"
    for name in ("maker", "other"):
        subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out",
                        r.path(name + ".pem")], check=True)
        subprocess.run(["openssl", "ec", "-in", r.path(name + ".pem"), "-pubout", "-out",
                        r.path(name + ".pub")], check=True, stderr=subprocess.DEVNULL)
    der = subprocess.run(["openssl", "ec", "-pubin", "-in", r.path("maker.pub"), "-outform", "DER"],
                         check=True, capture_output=True).stdout
    r.key_fingerprint = hashlib.sha256(der).hexdigest()[:16]
    images = [r.image_path] + ([r.path(r.fields["image-file-2"])] if "image-2" in r.fields else [])
    for image in images if signer else []:
        subprocess.run(["openssl", "dgst", "-sha256", "-sign", r.path(signer + ".pem"), "-out",
                        image + ".sig", image], check=True)
    if afterwards == "change-image":  # its last byte, past the header
        image = bytearray(read_bytes(r.image_path))
        image[-1] ^= 0x5A
        r.write(r.image_name, bytes(image))
        r.image = bytes(image)
    elif afterwards == "garbage-signature":
        r.write(r.image_name + ".sig", b"\x30\x06\x02\x01\x00garbage")
    return None


def make_image_sparse(r):
    os.truncate(r.image_path, 100 << 30)
    r.image = None  # never read back


def plant_dlls(r):
    # Firmware unpacked beside the tool, with libraries of the SDK's and its
    # dependency's names: none of them may be loaded.
    planted = os.path.join(r.opts.build, "planted")
    for name in os.listdir(planted):
        shutil.copy(os.path.join(planted, name), r.work)
    shutil.copy(r.opts.bin, r.work)
    r.opts.bin = r.path(os.path.basename(r.opts.bin))


# Each setup a case may name, and what it does before the run; one that
# returns a text skips the case for that reason. Setups that only change
# how the tool is started are handled in launch().
SETUPS = {
    "immutable-image": make_image_immutable,
    "read-only-image": lambda r: os.chmod(r.image_path, 0o444),
    "image-is-directory": lambda r: os.mkdir(r.image_path),
    "image-is-fifo": lambda r: os.mkfifo(r.image_path),
    "image-links-to-dev-zero": lambda r: os.symlink("/dev/zero", r.image_path),
    "image-sparse-100g": make_image_sparse,
    "log-is-directory": lambda r: os.mkdir(r.path("kovi_kestrune.log")),
    "log-is-fifo": lambda r: os.mkfifo(r.path("kovi_kestrune.log")),
    "log-links-to-image": lambda r: os.symlink("kovi_firmware.bin", r.path("kovi_kestrune.log")),
    "stale-log": lambda r: r.write("kovi_kestrune.log", b"an older run's log\r\n" * 100),
    "history-is-directory": lambda r: os.mkdir(r.path("history.csv")),
    "history-is-fifo": lambda r: os.mkfifo(r.path("history.csv")),
    "history-links-to-log": lambda r: os.symlink("kovi_kestrune.log", r.path("history.csv")),
    "history-without-line-end": lambda r: r.write("history.csv", b"a row edited by hand"),
    "history-locked": hold_history_lock,
    "history-on-full-disk": fill_disk_under_history,
    # Past the limit launch() sets.
    "file-size-limit": lambda r: r.write("history.csv", b"x" * 19998 + b"\r\n"),
    "planted-dlls": plant_dlls,
    "code-page-932": code_page_932,
    "closed-std-descriptors": None,
    "stdout-reader-leaves": None,
    "stdout-not-read": None,
    "stdout-read-slowly": None,
    "answer-at-prompt": None,
    "open-files-limit": None,
    "worker-log-links-to-station-log": lambda r: os.symlink("kovi_kestrune.log",
                                                            r.path("kovi_kestrune-1.log")),
    "terminal": None,
    "terminal-stopped": None,
    # Units remember their reboot across the station's processes, so that a
    # look sees a rebooting unit leave and come back.
    # --key: keys made by openssl, the image signed (or not) by one of them.
    "signed-image": sign_image,
    "signed-by-another-key": lambda r: sign_image(r, "other"),
    "signed-then-changed": lambda r: sign_image(r, afterwards="change-image"),
    "garbage-signature": lambda r: sign_image(r, afterwards="garbage-signature"),
    "keys-no-signature": lambda r: sign_image(r, None),
    "sim-state": lambda r: setattr(r, "env_extra", {"KOVI_SIM_STATE": r.path("kovi_sim.state")}),
}


def choose_sdk(r, env):
    """Points the tool at the case's SDK library; returns its path as the
    log shows it."""
    sdk = r.fields.get("sdk", "sdk")
    if r.windows:
        if sdk == "none":
            env["WINEDLLOVERRIDES"] = "KoviSDK="
        elif sdk in ("with-support", "other-convention", "wrong-bitness"):
            env["WINEPREFIX"] = r.opts.wineprefix + "-" + sdk
        elif sdk != "sdk":
            sys.exit(f"sdk {sdk} is not available under Wine")
        return "C:\\windows\\system32\\KoviSDK.dll"
    sdk_dir = {"none": r.path("no-sdk-here"), "too-long": "/" + "d" * 300,
               "relative": "."}.get(sdk)
    if sdk_dir is None:
        sdk_dir = os.path.join(r.opts.build, "sdk-" + sdk if sdk.startswith("without/") else sdk)
    env["KOVI_SDK_DIR"] = sdk_dir
    return sdk_dir + "/libKoviSDK.so" if sdk not in ("too-long", "relative") else ""


def prepare(r, env, wine):
    """The image, the scenario and the setups; a text when the case cannot
    run here."""
    for name in (r.image_name, r.fields.get("log-file", "")):  # their folders
        os.makedirs(os.path.dirname(r.path(name)), exist_ok=True)
    if "image" in r.fields and not {"image-is-fifo", "image-links-to-dev-zero"} & set(r.setups):
        # Made under a plain name, then given its own (which may hold any
        # character).
        subprocess.run(wine + [r.opts.make_image] + shlex.split(r.fields["image"]) +
                       ["made.bin"], cwd=r.work, env=env, check=True)
        os.rename(r.path("made.bin"), r.image_path)
        r.image = read_bytes(r.image_path)
    if "image-2" in r.fields:  # a second image, for another revision
        subprocess.run(wine + [r.opts.make_image] + shlex.split(r.fields["image-2"]) +
                       [r.fields["image-file-2"]], cwd=r.work, env=env, check=True,
                       stdout=subprocess.DEVNULL)
        r.image2 = read_bytes(r.path(r.fields["image-file-2"]))
    if "scenario" in r.blocks:
        with open(r.path("kovi_sim.scenario"), "w", encoding="latin-1") as f:
            f.write(expand("\n".join(r.blocks["scenario"]), {}) + "\n")
        env["KOVI_SIM"] = "kovi_sim.scenario"
    for setup in r.setups:
        if setup not in SETUPS:
            sys.exit(f"unknown setup {setup}")
        skipped = SETUPS[setup](r) if SETUPS[setup] else None
        if skipped:
            return skipped
    env.update(getattr(r, "env_extra", {}))
    return None


def command_for(r, env, wine):
    command = [r.opts.bin] + shlex.split(r.fields.get("args", ""))
    if r.windows and "launch" in r.fields:
        # Started as an unattended host starts it; it gets a console of its
        # own, so the log tells what it did. A launcher that posts to the
        # hidden window needs the prefix where it exists.
        if r.fields["launch"].split(":")[0] in ("close", "close-then-end-session", "taskkill",
                                                "pipe-then-close", "end-session"):
            env["WINEPREFIX"] = r.opts.wineprefix + "-with-window"
        if r.fields["launch"] == "start-b":  # cmd /c start /b: Ctrl-C ignored, as inherited
            return wine + ["cmd", "/c", "start", "/b", "/wait",
                           "Z:" + command[0].replace("/", "\\")] + command[1:]
        return wine + [os.path.join(r.opts.build, "launch.exe"), r.fields["launch"]] + command
    if r.windows and "signal" in r.fields:
        # A console Ctrl-C: the windows the station passes a stop to exist.
        env["WINEPREFIX"] = r.opts.wineprefix + "-with-window"
    if r.windows:
        return wine + command
    if r.opts.valgrind:
        command = ["valgrind", "--log-file=" + r.path("memcheck.log"), "--track-fds=yes",
                   "--leak-check=full", "--track-origins=yes", "--error-exitcode=99"] + command
    # Preloaded into the tool itself, not through the faketime program: that
    # one would take a signal in the tool's place, and one that was killed
    # leaves a semaphore behind that makes a later one fail. (Not with
    # descriptors closed: it would take the lowest free ones.)
    if "closed-std-descriptors" not in r.setups:
        speed = r.fields.get("speed", "1000")
        env.update(LD_PRELOAD=LIBFAKETIME,
                   FAKETIME=FAKETIME.split(" x")[0] + ("" if speed == "1" else " x" + speed))
    return command


def check_output(r, macros, returncode, stdout, stderr):
    """The exit status, the console, the log and JSON; the number of
    failures."""
    failures = 0
    for report in (b"AddressSanitizer", b"LeakSanitizer", b"runtime error:"):
        if report in stderr:
            print(f"--- a sanitizer report ({report.decode()})")
            failures += 1
    expected_exit = int(r.fields.get("exit", "0"))
    if returncode != expected_exit:
        print(f"--- exit status {returncode}, expected {expected_exit}")
        failures += 1
    if r.opts.valgrind:
        failures += check_memcheck(r.path("memcheck.log"), expected_exit == 0)
    if "line" in r.blocks:  # forty units interleaved: the line's own check stands for these
        return failures
    console_pieces, log_pieces = expected_pieces(r.blocks.get("messages", []), macros)
    console, log = b"".join(p for p, _ in console_pieces), b"".join(p for p, _ in log_pieces)
    json_file = r.fields.get("json-file")  # the JSON a --publish command kept
    if "json" in r.blocks:
        failures += check_json(read_bytes(r.path(json_file)) if json_file else stdout,
                               r.blocks["json"], macros)
    if ("json" in r.blocks and not json_file) or "stdout-not-read" in r.setups:
        stdout = stderr  # the console
    if "stdout-reader-leaves" in r.setups:
        console = console[:len(stdout)]
    # On a terminal Wine's console adds escape sequences, and a launched
    # tool has a console of its own: the log tells.
    if (not {"closed-std-descriptors", "terminal", "terminal-stopped"} & set(r.setups) and "launch" not in r.fields and
            not console_matches(console, stdout) and not pieces_match(console_pieces, stdout)):
        show_difference("console", console, stdout)
        failures += 1
    if "terminal-shows" in r.fields:
        shown = expand(r.fields["terminal-shows"], {}).encode("latin-1").decode("latin-1")
        if shown.encode("utf-8") not in stdout:
            print(f"--- the terminal does not show {shown!r}")
            failures += 1
    actual_log = read_bytes(r.path(r.fields.get("log-file", "kovi_kestrune.log")))
    # (A log name that leads elsewhere has no log of its own to compare.)
    if (not {"log-is-directory", "log-links-to-image"} & set(r.setups) and
            not pieces_match(log_pieces, actual_log)):
        show_difference("log", log, actual_log)
        failures += 1
    for block in (b for b in r.blocks if b.startswith("log ")):  # a station's workers' logs
        _, pieces = expected_pieces(r.blocks[block], macros)
        named = glob.glob(r.path(block[len("log "):]))  # a watch's: "kovi_kestrune-*-1.log"
        actual_log = read_bytes(named[0] if len(named) == 1 else r.path(block[len("log "):]))
        if not pieces_match(pieces, actual_log):
            show_difference(block, b"".join(p for p, _ in pieces), actual_log)
            failures += 1
    return failures


def check_files(r, macros):
    """The SDK calls, the history, the image and the files around; the
    number of failures."""
    failures = 0
    if "trace" in r.blocks:
        trace = read_bytes(r.path("kovi_sim.trace"))
        wanted = "".join(expand(line, macros) + "\n" for line in r.blocks["trace"]
                         if line.strip()).encode("latin-1")
        if trace != wanted:
            show_difference("trace", wanted, trace)
            failures += 1
    if "history" in r.blocks:
        history = read_bytes(r.path(r.fields.get("history-file", "history.csv")))
        lines = [expand(line, macros).encode("latin-1") for line in r.blocks["history"]
                 if line.strip()]
        timestamp = rb"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d"

        def pattern(line):  # %TIMESTAMP% any local time, %ANY% any one column, quoted or not
            return rb'(?:"(?:[^"]|"")*"|[^,"]*)'.join(timestamp.join(re.escape(p) for p in part.split(b"%TIMESTAMP%"))
                                 for part in line.removeprefix(b"any: ").split(b"%ANY%"))
        patterns = [pattern(line) + b"\r\n" for line in lines]
        # Records marked "any: " (a station's workers') in any order: each of
        # those lines of the file matches one of them.
        unordered = [p for p, line in zip(patterns, lines) if line.startswith(b"any: ")]
        ordered = b"".join(p for p, line in zip(patterns, lines) if not line.startswith(b"any: "))
        actual = history.splitlines(keepends=True)
        rest = actual[len(actual) - len(unordered):] if unordered else []
        for line in rest:
            found = next((p for p in unordered if re.fullmatch(p, line)), None)
            if found is not None:
                unordered.remove(found)
        matches = (not unordered and len(actual) >= len(rest) and
                   re.fullmatch(ordered, b"".join(actual[:len(actual) - len(rest)])))
        if not matches:
            show_difference("history", b"\r\n".join(lines) + b"\r\n", history)
            failures += 1
    rewritten = "rewrite_image_after_chunk" in "".join(r.blocks.get("scenario", []))
    if r.image is not None and not rewritten and read_bytes(r.image_path) != r.image:
        print("--- the firmware file was changed")
        failures += 1
    for name in r.fields.get("absent", "").split():
        if os.path.lexists(r.path(name)):
            print(f"--- {name} is there")
            failures += 1
    for marker in sorted(n for n in os.listdir(r.work) if n.endswith("-was-loaded")):
        print(f"--- a library from the working directory was loaded: {marker}")
        failures += 1
    # One frontend's bytes, or with received-by those of each frontend named
    # by its index in the list.
    received_files = [("kovi_sim.received", r.image)] if r.fields.get("received") == "image" else []
    received_files += [(f"kovi_sim-{n}.received", r.image)
                       for n in r.fields.get("received-by", "").split()]
    received_files += [(f"kovi_sim-{n}.received", r.image2)
                       for n in r.fields.get("received-by-2", "").split()]
    for name, image in received_files:
        offset = 2 * int.from_bytes(image[24:26], "little")
        size = int.from_bytes(image[8:12], "little")
        received = read_bytes(r.path(name))
        if received != image[offset:offset + size]:
            print(f"--- the device received {len(received)} bytes that differ from the image's "
                  f"{size} firmware bytes ({name})")
            failures += 1
    return failures


def wait_for_workers(r):
    """A station that ended at once leaves its workers stopping in order:
    their logs and records are compared once they have ended (or after half
    a minute)."""
    deadline = time.time() + 30
    station = re.search(r"--all|--watch", r.fields.get("args", ""))
    while station and tool_processes(r.work) and time.time() < deadline:
        time.sleep(0.1)


class Fixture:
    """The simulated fixture of a watch: [fixture] lines "add FILE", "remove
    FILE" or "scenario NAME", each after "after TEXT -> " once the station's
    log shows TEXT (past where the step before found its own), or after
    "after trace: TEXT -> " once the simulated frontend's trace does (what a
    worker's device was called with); [frontend FILE] blocks give the files,
    [scenario NAME] the scenario that replaces the one before."""

    def __init__(self, r):
        self.r, self.done, self.left = r, threading.Event(), []
        self.folder = r.path("fixture")
        os.makedirs(self.folder, exist_ok=True)
        self.thread = threading.Thread(target=self.drive)
        self.thread.start()

    def drive(self):
        at = {}
        station_log = self.r.path(self.r.fields.get("log-file", "kovi_kestrune.log"))
        for step in (s for s in self.r.blocks["fixture"] if s.strip()):
            text, _, action = step.rpartition(" -> ")
            if text:
                text = text.removeprefix("after ")
                log = self.r.path("kovi_sim.trace") if text.startswith("trace: ") else station_log
                wanted = expand(text.removeprefix("trace: "), {}).encode("latin-1")
                while (not self.done.is_set() and
                       read_bytes(log).find(wanted, at.get(log, 0)) < 0):
                    time.sleep(0.01)
                if self.done.is_set():
                    self.left.append(step)
                    continue
                at[log] = read_bytes(log).find(wanted, at.get(log, 0)) + len(wanted)
            verb, _, name = action.partition(" ")
            path = os.path.join(self.folder, name)
            if verb == "add":  # whole at once, as a look may come at any moment
                with open(os.path.join(self.folder, "." + name), "w", encoding="utf-8") as f:
                    f.write("".join(line + "\n" for line in self.r.blocks["frontend " + name]))
                os.rename(os.path.join(self.folder, "." + name), path)
            elif verb == "scenario":  # the simulated frontend's settings from now on
                with open(self.r.path(".kovi_sim.scenario"), "w", encoding="utf-8") as f:
                    f.write("".join(line + "\n" for line in self.r.blocks["scenario " + name]))
                os.rename(self.r.path(".kovi_sim.scenario"), self.r.path("kovi_sim.scenario"))
            else:
                os.remove(path)

    def end(self):
        self.done.set()
        self.thread.join()
        for step in self.left:
            print(f"--- the fixture's step never came: {step}")
        return len(self.left)


def run(fields, blocks, opts, windows, work):
    r = Run(fields, blocks, opts, windows, work)
    env = dict(os.environ, TZ="UTC", KOVI_SIM_TRACE="kovi_sim.trace",
               KOVI_SIM_RECEIVED="kovi_sim.received")
    env.pop("KOVI_SIM", None)
    if "fixture" in blocks or "line" in blocks:
        env["KOVI_SIM_FIXTURE"] = "fixture"
    if "received-by" in fields:
        env["KOVI_SIM_RECEIVED"] = "kovi_sim-*.received"
    wine = []
    if windows:
        env.update(WINEPREFIX=opts.wineprefix, WINEDEBUG="-all")
        wine = [WINE]
        if opts.platform == "windows-x86" and fields.get("exe") != "other":
            if subprocess.run([WINE, "--runs-32bit"]).returncode:
                print("skipped: this kernel runs no 32-bit code")
                return SKIP
    sdk_path = choose_sdk(r, env)
    skipped = prepare(r, env, wine)
    if skipped:
        print(f"skipped: {skipped}")
        return SKIP
    date = FIXED_DATE if not windows else datetime.date.today()
    code = int(f"{date.day}{date.month:02d}{date.year}") & ACCESS_CODE_MASK
    macros = {
        "SDKPATH": sdk_path,
        "NO_LIBRARY_CODE": "126" if windows else "2",
        "ACCESSCODE": f"0x{code:X}",
        "minute": minute_display(),
        "part_of_minute": PART_OF_MINUTE,
        "DATETIME": DATETIME,
        "IMAGE_HASH": hashlib.sha256(r.image or b"").hexdigest(),
        "SECOND_IMAGE_HASH": hashlib.sha256(r.image2 or b"").hexdigest(),
        "KEY": getattr(r, "key_fingerprint", ""),
    }
    if fields.get("exe") == "other":
        if not opts.other_bin:
            print("skipped: the other Windows build is not there")
            return SKIP
        opts.bin = opts.other_bin
    command = command_for(r, env, wine)
    stdin = expand(fields.get("stdin", ""), {}).encode("latin-1")
    fixture = (Fixture(r) if "fixture" in r.blocks else
               LineOperator(r) if "line" in r.blocks else None)
    returncode, stdout, stderr = launch(command, work, env, stdin, fields)
    if fixture:
        failures = fixture.end()
        if failures:
            return 1
    if r.held_lock:
        r.held_lock.close()
    wait_for_workers(r)
    failures = check_output(r, macros, returncode, stdout, stderr) + check_files(r, macros)
    if "line" in r.blocks:
        failures += fixture.check(stdout, r.path(fields.get("history-file", "history.csv")))
    if failures:
        print("--- stderr:", stderr.decode("latin-1", "replace")[-2000:])
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
