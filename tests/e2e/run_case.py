#!/usr/bin/env python3
"""Runs one end-to-end case: the real Kestrune binary in a fresh directory
against the simulated frontend, compared byte for byte.

A case file holds header fields, then blocks:

    name: what the case shows
    args: u 0                  command line after the program name
    stdin: Y                   bytes on standard input (escapes allowed)
    exit: 0                    expected exit status
    image: --size 100          make_image options for kovi_firmware.bin
    platforms: linux windows   where the case runs (default: linux; windows is
                               the x64 build, windows-x86 the x86 one)
    sdk: without/Open          SDK library to load: sdk (default), none,
                               without/<Entry>, too-long, relative; under Wine also
                               with-support (an SDK with a dependency),
                               other-convention (x86: the __stdcall SDK) and
                               wrong-bitness (each build's SDK where the other
                               bitness looks for it)
    exe: other                 run the other Windows bitness's Kestrune.exe
    signal: SIGINT after TEXT  send the signal once the console shows TEXT;
                               "SIGINT 300 ms after TEXT" waits that long first;
                               "SIGINT then SIGTERM after TEXT" sends two, one
                               right after the other
    setup: immutable-image     preparations the case needs (see SETUPS)
    received: image            the device must have got the image's firmware

    [scenario]                 the simulated frontend's scenario file
    [messages]                 the expected output, one message a line
    [trace]                    the expected SDK calls, one a line
    history-file: h.csv        the file [history] describes (default history.csv)
    terminal-shows: TEXT       with setup terminal: the terminal, read as UTF-8,
                               shows TEXT (escapes allowed)
    [history]                  the expected history file, one CSV line a line;
                               %TIMESTAMP% is any local ISO 8601 time

A line "%include NAME%" stands for the lines of fragments/NAME, in any
block or in place of header lines.
    absent: FILE...            files that must not exist after the run
    image-file: fw/new.bin     where the image is made (default kovi_firmware.bin)
    log-file: logs/a.log       the log to compare (default kovi_kestrune.log)
    [json]                     with --json: the objects standard output must
                               hold, one a line, in order; "%ANY%" matches any
                               value, "%TIMESTAMP%" a local ISO 8601 time. The
                               console is then standard error.

A message line is "tag, message": the console gets the message and CR LF,
the log gets "tag, message" with every LF stored as CR LF, then CR CR LF.
A line "console: bytes" is console output alone. Escapes: \\n \\r \\\\
\\xHH. Macros: %repeat[N x text]%, %minute% (one minute of the waiting
display), %part_of_minute% (any start of it: where a signal cut it short),
%SDKPATH%, %NO_LIBRARY_CODE%, %ACCESSCODE%, %IMAGE_HASH% (the image file's
SHA-256 as made, before the run).
"""

import argparse
import datetime
import fcntl
import hashlib
import json
import os
import re
import resource
import shlex
import pty
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77  # CTest's SKIP_RETURN_CODE for this runner
FIXED_DATE = datetime.date(2026, 12, 7)
FAKETIME = "@2026-12-07 12:00:00 x1000"
LIBFAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
WINE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "wine")
PART_OF_MINUTE = "\x00"  # stands for the pattern below in expected console output
PART_OF_MINUTE_PATTERN = rb"(?:\|{30}(?:\r_*/?)*)?"
ACCESS_CODE_MASK = 0x5AA5FF
HEADER_FIELDS = {"name", "args", "stdin", "exit", "image", "platforms", "sdk", "setup",
                 "received", "exe", "signal", "history-file", "terminal-shows", "absent", "image-file",
                 "log-file"}
FRAGMENTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fragments")


def read_case_lines(path):
    """The case's lines with every %include NAME% replaced."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    out = []
    for raw in lines:
        m = re.fullmatch(r"%include (\w+)%", raw.strip())
        if m:
            out.extend(read_case_lines(os.path.join(FRAGMENTS, m.group(1))))
        else:
            out.append(raw)
    return out


def parse_case(path):
    fields, blocks, block = {}, {}, None
    for raw in read_case_lines(path):
        if block is None and (raw.startswith("#") or not raw.strip()):
            continue
        m = re.fullmatch(r"\[(\w+)\]", raw.strip()) if not raw.startswith(" ") else None
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


def expand(text, macros):
    """Escapes first, then macros, so that macro values are taken literally."""
    parts = re.split(r"(%repeat\[\d+ x [^\]]*\]%|%[A-Za-z_]+%)", text)
    out = []
    for part in parts:
        m = re.fullmatch(r"%repeat\[(\d+) x ([^\]]*)\]%", part)
        if m:
            out.append(unescape(m.group(2)) * int(m.group(1)))
        elif re.fullmatch(r"%[A-Za-z_]+%", part) and part.strip("%") in macros:
            out.append(macros[part.strip("%")])
        else:
            out.append(unescape(part))
    return "".join(out)


def expected_output(lines, macros):
    console, log = "", ""
    for line in lines:
        if not line.strip():
            continue
        if line.startswith("console: "):
            console += expand(line[len("console: "):], macros)
            continue
        tag, sep, message = line.partition(", ")
        if not sep:
            sys.exit(f"message line without a tag: {line!r}")
        message = expand(message, macros)
        console += message + "\r\n"
        log += (tag + ", " + message + "\r\n").replace("\n", "\r\n")
    return console.encode("latin-1"), log.encode("latin-1")


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


def launch(command, cwd, env, stdin, fields):
    """Runs the tool; for a case with a signal, sends it once the console
    shows the marker. Returns the exit status, the console and stderr."""
    setups = fields.get("setup", "").split()
    if "terminal" in setups:
        return run_on_terminal(command, cwd, env, stdin)
    if "closed-std-descriptors" in setups:
        # Started with 0 and 1 closed: what it writes to the console must go
        # nowhere, least of all into a file it opened.
        def close_standard():
            os.close(0)
            os.close(1)
        r = subprocess.run(command, cwd=cwd, env=env, stderr=subprocess.PIPE,
                           preexec_fn=close_standard, timeout=600)
        return r.returncode, b"", r.stderr
    if "signal" not in fields and "stdout-reader-leaves" not in setups:
        def limit_file_size():  # like "ulimit -f 16"
            resource.setrlimit(resource.RLIMIT_FSIZE, (16384, 16384))
        r = subprocess.run(command, cwd=cwd, env=env, input=stdin, capture_output=True,
                           timeout=600,
                           preexec_fn=limit_file_size if "file-size-limit" in setups else None)
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
        shutil.rmtree(work, ignore_errors=True)


def run(fields, blocks, opts, windows, work):
    env = dict(os.environ, TZ="UTC", KOVI_SIM_TRACE="kovi_sim.trace",
               KOVI_SIM_RECEIVED="kovi_sim.received")
    env.pop("KOVI_SIM", None)
    wine = []
    if windows:
        env.update(WINEPREFIX=opts.wineprefix, WINEDEBUG="-all")
        wine = [WINE]
        if opts.platform == "windows-x86" and fields.get("exe") != "other":
            if subprocess.run([WINE, "--runs-32bit"]).returncode:
                print("skipped: this kernel runs no 32-bit code")
                return SKIP

    image_name = fields.get("image-file", "kovi_firmware.bin")
    image_path = os.path.join(work, image_name)
    for name in (image_name, fields.get("log-file", "")):  # their folders
        os.makedirs(os.path.dirname(os.path.join(work, name)), exist_ok=True)
    image = None
    if "image" in fields and not {"image-is-fifo", "image-links-to-dev-zero"} & set(
            fields.get("setup", "").split()):
        subprocess.run(wine + [opts.make_image] + shlex.split(fields["image"]) +
                       [image_name], cwd=work, env=env, check=True)
        image = read_bytes(image_path)

    if "scenario" in blocks:
        with open(os.path.join(work, "kovi_sim.scenario"), "w", encoding="latin-1") as f:
            f.write(expand("\n".join(blocks["scenario"]), {}) + "\n")
        env["KOVI_SIM"] = "kovi_sim.scenario"

    sdk = fields.get("sdk", "sdk")
    if windows:
        sdk_path = "C:\\windows\\system32\\KoviSDK.dll"
        if sdk == "none":
            env["WINEDLLOVERRIDES"] = "KoviSDK="
        elif sdk in ("with-support", "other-convention", "wrong-bitness"):
            env["WINEPREFIX"] = opts.wineprefix + "-" + sdk
        elif sdk != "sdk":
            sys.exit(f"sdk {sdk} is not available under Wine")
    else:
        if sdk == "none":
            sdk_dir = os.path.join(work, "no-sdk-here")
        elif sdk == "too-long":
            sdk_dir = "/" + "d" * 300
        elif sdk == "relative":
            sdk_dir = "."
        elif sdk.startswith("without/"):
            sdk_dir = os.path.join(opts.build, "sdk-" + sdk)
        else:
            sdk_dir = os.path.join(opts.build, sdk)
        env["KOVI_SDK_DIR"] = sdk_dir
        sdk_path = sdk_dir + "/libKoviSDK.so" if sdk not in ("too-long", "relative") else ""

    held_lock = None  # open until the run has ended
    for setup in fields.get("setup", "").split():
        if setup == "immutable-image":
            # A read-only mode does not stop root; an immutable file does.
            if subprocess.run(["chattr", "+i", image_path], stderr=subprocess.DEVNULL).returncode:
                print("skipped: chattr +i is not supported here")
                return SKIP
        elif setup == "log-is-directory":
            os.mkdir(os.path.join(work, "kovi_kestrune.log"))
        elif setup == "stale-log":
            with open(os.path.join(work, "kovi_kestrune.log"), "wb") as f:
                f.write(b"an older run's log\r\n" * 100)
        elif setup == "history-is-directory":
            os.mkdir(os.path.join(work, "history.csv"))
        elif setup == "read-only-image":
            os.chmod(image_path, 0o444)
        elif setup in ("closed-std-descriptors", "stdout-reader-leaves", "terminal"):
            pass  # how the tool is started, see launch()
        elif setup == "image-is-directory":
            os.mkdir(image_path)
        elif setup == "image-is-fifo":
            os.mkfifo(image_path)
        elif setup == "image-links-to-dev-zero":
            os.symlink("/dev/zero", image_path)
        elif setup == "history-is-fifo":
            os.mkfifo(os.path.join(work, "history.csv"))
        elif setup == "history-links-to-log":
            os.symlink("kovi_kestrune.log", os.path.join(work, "history.csv"))
        elif setup == "log-links-to-image":
            os.symlink("kovi_firmware.bin", os.path.join(work, "kovi_kestrune.log"))
        elif setup == "log-is-fifo":
            os.mkfifo(os.path.join(work, "kovi_kestrune.log"))
        elif setup == "history-without-line-end":
            with open(os.path.join(work, "history.csv"), "wb") as f:
                f.write(b"a row edited by hand")
        elif setup == "history-locked":
            # Held by this process, as "flock history.csv sleep 60" would.
            held_lock = open(os.path.join(work, "history.csv"), "wb")
            fcntl.flock(held_lock, fcntl.LOCK_EX)
        elif setup == "history-on-full-disk":
            # Three pages: a filler takes two, the history most of the third,
            # so a record is cut short by the full disk.
            full = os.path.join(work, "full")
            os.mkdir(full)
            if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=12k", "tmpfs", full],
                              stderr=subprocess.DEVNULL).returncode:
                print("skipped: no tmpfs can be mounted here")
                return SKIP
            with open(os.path.join(full, "filler"), "wb") as f:
                f.write(b"\0" * 8192)
            with open(os.path.join(full, "history.csv"), "wb") as f:
                f.write(b"x" * 4064 + b"\r\n")  # 30 bytes short of a page
        elif setup == "file-size-limit":
            with open(os.path.join(work, "history.csv"), "wb") as f:
                f.write(b"x" * 19998 + b"\r\n")  # past the limit launch() sets
        elif setup == "image-sparse-100g":
            os.truncate(image_path, 100 << 30)
            image = None  # never read back
        elif setup == "planted-dlls":
            # Firmware unpacked beside the tool, with libraries of the SDK's
            # and its dependency's names: none of them may be loaded.
            planted = os.path.join(opts.build, "planted")
            for name in os.listdir(planted):
                shutil.copy(os.path.join(planted, name), work)
            shutil.copy(opts.bin, work)
            opts.bin = os.path.join(work, os.path.basename(opts.bin))
        else:
            sys.exit(f"unknown setup {setup}")

    date = FIXED_DATE if not windows else datetime.date.today()
    code = int(f"{date.day}{date.month:02d}{date.year}") & ACCESS_CODE_MASK
    macros = {
        "SDKPATH": sdk_path,
        "NO_LIBRARY_CODE": "126" if windows else "2",
        "ACCESSCODE": f"0x{code:X}",
        "minute": minute_display(),
        "part_of_minute": PART_OF_MINUTE,
        "IMAGE_HASH": hashlib.sha256(image or b"").hexdigest(),
    }

    if fields.get("exe") == "other":
        if not opts.other_bin:
            print("skipped: the other Windows build is not there")
            return SKIP
        opts.bin = opts.other_bin
    command = [opts.bin] + shlex.split(fields.get("args", ""))
    if windows:
        command = wine + command
    else:
        if opts.valgrind:
            command = ["valgrind", "--log-file=" + os.path.join(work, "memcheck.log"),
                       "--track-fds=yes", "--leak-check=full", "--track-origins=yes",
                       "--error-exitcode=99"] + command
        # Preloaded into the tool itself, not through the faketime program:
        # that one would take a signal in the tool's place, and one that was
        # killed leaves a semaphore behind that makes a later one fail.
        # (Not with descriptors closed: it would take the lowest free ones.)
        if "closed-std-descriptors" not in fields.get("setup", ""):
            env.update(LD_PRELOAD=LIBFAKETIME, FAKETIME=FAKETIME)
    stdin = expand(fields.get("stdin", ""), {}).encode("latin-1")
    returncode, stdout, stderr = launch(command, work, env, stdin, fields)
    if held_lock:
        held_lock.close()

    failures = 0
    for report in (b"AddressSanitizer", b"LeakSanitizer", b"runtime error:"):
        if report in stderr:
            print(f"--- a sanitizer report ({report.decode()})")
            failures += 1
    expected_exit = int(fields.get("exit", "0"))
    if returncode != expected_exit:
        print(f"--- exit status {returncode}, expected {expected_exit}")
        failures += 1

    if opts.valgrind:
        failures += check_memcheck(os.path.join(work, "memcheck.log"), expected_exit == 0)

    console, log = expected_output(blocks.get("messages", []), macros)
    if "json" in blocks:
        failures += check_json(stdout, blocks["json"], macros)
        stdout = stderr  # the console
    setups = fields.get("setup", "").split()
    if "stdout-reader-leaves" in setups:
        console = console[:len(stdout)]
    # On a terminal Wine's console adds escape sequences: the log tells.
    if (not {"closed-std-descriptors", "terminal"} & set(setups) and
            not console_matches(console, stdout)):
        show_difference("console", console, stdout)
        failures += 1
    if "terminal-shows" in fields:
        shown = expand(fields["terminal-shows"], {}).encode("latin-1").decode("latin-1")
        if shown.encode("utf-8") not in stdout:
            print(f"--- the terminal does not show {shown!r}")
            failures += 1
    log_path = os.path.join(work, fields.get("log-file", "kovi_kestrune.log"))
    actual_log = read_bytes(log_path)
    # (A log name that leads elsewhere has no log of its own to compare.)
    if not {"log-is-directory", "log-links-to-image"} & set(setups) and actual_log != log:
        show_difference("log", log, actual_log)
        failures += 1

    trace = read_bytes(os.path.join(work, "kovi_sim.trace"))
    if "trace" in blocks:
        wanted = "".join(expand(line, macros) + "\n" for line in blocks["trace"] if line.strip())
        if trace != wanted.encode("latin-1"):
            show_difference("trace", wanted.encode("latin-1"), trace)
            failures += 1

    if "history" in blocks:
        history = read_bytes(os.path.join(work, fields.get("history-file", "history.csv")))
        lines = [expand(line, macros).encode("latin-1") for line in blocks["history"]
                 if line.strip()]
        timestamp = rb"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d"
        pattern = b"".join(timestamp.join(re.escape(p) for p in line.split(b"%TIMESTAMP%")) +
                           b"\r\n" for line in lines)
        if not re.fullmatch(pattern, history):
            show_difference("history", b"\r\n".join(lines) + b"\r\n", history)
            failures += 1

    rewritten = "rewrite_image_after_chunk" in "".join(blocks.get("scenario", []))
    if image is not None and not rewritten and read_bytes(image_path) != image:
        print("--- the firmware file was changed")
        failures += 1

    for name in fields.get("absent", "").split():
        if os.path.lexists(os.path.join(work, name)):
            print(f"--- {name} is there")
            failures += 1

    for marker in sorted(n for n in os.listdir(work) if n.endswith("-was-loaded")):
        print(f"--- a library from the working directory was loaded: {marker}")
        failures += 1

    if fields.get("received") == "image":
        offset = 2 * int.from_bytes(image[24:26], "little")
        size = int.from_bytes(image[8:12], "little")
        received = read_bytes(os.path.join(work, "kovi_sim.received"))
        if received != image[offset:offset + size]:
            print(f"--- the device received {len(received)} bytes that differ from the image's "
                  f"{size} firmware bytes")
            failures += 1

    if failures:
        print("--- stderr:", stderr.decode("latin-1", "replace")[-2000:])
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
