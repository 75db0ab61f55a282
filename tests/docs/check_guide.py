#!/usr/bin/env python3
"""Every message the tool can log is explained in the operator's guide, or is
a progress line on the short list below that needs no action. The messages
are the format strings handed to LogLine and LogFormat, those formatted into
MessageBuffer, the status texts and the lines of --info.
check_guide.py SRC_DIR GUIDE"""
import re
import sys

# Progress lines: they say what the tool is doing and ask nothing of anyone.
# The guide names them in one sentence; keep the two in step.
PROGRESS = {
    "Kestrune v129 builddate: 2013/03/28 16:14:49",
    "Create system path for library",
    "Try to load the library in",
    "Get pointers to the functions in the DLL",
    "Try to list all frontends",
    "%d = [%s]",
    "Try to connect to the frontend using first found device",
    "Free the DeviceList",
    "Kestrune with waittime of %u milliseconds",
    "Try to get the firmware file [%s]",
    "Firmware file [%s] is open",
    "Firmware file has DevID %d",
    "Firmware file has FirmwareHWVer %x",
    "Firmware file has FirmwareVer %x",
    "Try to get the FrontendInfo",
    "Frontend has Serial %d",
    "Frontend has HwVersion 0x%x",
    "Frontend has SwVersion 0x%x",
    "Matching device id found",
    "Matching hardware id found",
    "Pre-conditions are OK, code %d for version %d",
    "Frontend has SwVersion %x and Firmware file has FirmwareVer %x",
    "Use WLAN",
    "Use USB",
    "Use Bluetooth",
    "Use network",
    "Need to send %d file chunks",
    "Sending firmware file:",
    "Firmware file sent, waiting 1 minute before asking status",
    "Call Close",
    "Call LibraryExit",
    "Close the log file",
}

FLOOR = 94  # messages the tool logs at the least

LITERALS = r'((?:"(?:[^"\\]|\\.)*"\s*)+)'
CALLS = [
    r'\bLog(?:Line|Format|Failure|FailureLine|FailureDetail|LineAtOnce)\(\s*\w+,\s*' + LITERALS,
    r'&Options::\w+,\s*' + LITERALS,  # the table of options that take a file
    r'\bfail\(\s*' + LITERALS,  # the command line's other faults
    r'snprintf\((?:MessageBuffer|message),\s*(?:sizeof \w+|MESSAGE_BUFFER_SIZE),\s*' + LITERALS,
    r'PrintFailedCheck\(\s*' + LITERALS,
    r'\bUsage\s*=\s*' + LITERALS,
    r'Transport Transports\[\][^;]*?' + LITERALS,
]


def text_of(literals):
    parts = re.findall(r'"((?:[^"\\]|\\.)*)"', literals)
    text = "".join(parts).replace("\\n", "\n").replace('\\"', '"').replace("\\r", "")
    return text.strip()


def messages(src):
    import pathlib
    found = set()
    for path in pathlib.Path(src).rglob("*.cpp"):
        if "platform" in path.parts:
            continue  # the platform layer logs nothing
        code = path.read_text()
        for call in CALLS:
            for m in re.finditer(call, code):
                found.add(text_of(m.group(1)))
        if path.name == "firmware_status.cpp":  # the status texts, a table
            found.update(text_of(m) for m in re.findall(r'"(?:[^"\\]|\\.)*"', code)
                         if not m.endswith('.h"'))
        for m in re.finditer(r'\{\s*\'\w\',\s*("(?:[^"\\]|\\.)*")', code):  # transports
            found.add(text_of(m.group(1)))
    return {f for f in found if f and "%s: %s" not in f}


def explained(message, guide):
    """The message stands in the guide with each %d, %x, %s ... as it is or
    filled in with an example."""
    pattern = ""
    for piece in re.split(r"(%l{0,2}[duxs])", " ".join(message.split())):
        if re.fullmatch(r"%l{0,2}[duxs]", piece):
            pattern += r"(?:%l{0,2}[duxs]|[-\w.:/\\]+?|N|M)"
        else:
            pattern += re.escape(piece)
    return re.search(pattern, guide) is not None


def main():
    src, guide_path = sys.argv[1:3]
    guide = " ".join(open(guide_path, encoding="utf-8").read().replace("\\|", "|").split())
    found = messages(src)
    missing = sorted(m for m in found if m not in PROGRESS and not explained(m, guide))
    stale = sorted(PROGRESS - found)
    for m in missing:
        print(f"not explained in the guide: {m!r}")
    for m in stale:
        print(f"on the progress list but logged nowhere: {m!r}")
    print(f"{len(found)} messages, {len(found & PROGRESS)} of them progress lines")
    # Fewer means the patterns above no longer see how messages are logged.
    if len(found) < FLOOR:
        print(f"only {len(found)} messages found, at least {FLOOR} expected")
    return 1 if missing or stale or len(found) < FLOOR else 0


if __name__ == "__main__":
    sys.exit(main())
