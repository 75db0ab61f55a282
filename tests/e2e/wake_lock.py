#!/usr/bin/python3
"""The machine is kept awake exactly while the frontend is being written: a
logind inhibitor lock (mocked by python3-dbusmock on a private system bus) is
held from before the first chunk until the wait ends, released before Close,
and never taken by a declined run. A logind that never answers holds the
flash for two seconds at most, and a stop meanwhile sends nothing.
wake_lock.py KESTRUNE MAKE_IMAGE SDK_DIR"""
import atexit
import os
import signal
import subprocess
import sys
import tempfile
import time

import dbus
import dbusmock

LIBFAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
tool, make_image, sdk_dir = (os.path.abspath(a) for a in sys.argv[1:4])
work = tempfile.mkdtemp(prefix="kestrune-wake-")
subprocess.run([make_image, "--size", "100", "kovi_firmware.bin"], cwd=work, check=True)
with open(os.path.join(work, "slow.scenario"), "w") as f:
    # Ten times faster than real: a chunk takes half a second, Close one.
    f.write("delay.KoviKestrune = 5000\ndelay.Close = 10000\n")

dbusmock.DBusTestCase.start_system_bus()
atexit.register(dbusmock.DBusTestCase.tearDownClass)  # the bus goes too, last
mock, manager = dbusmock.DBusTestCase.spawn_server_template("logind", {},
                                                             stdout=subprocess.DEVNULL)
# Whatever happens below, the mock goes: it holds the test's output open.
atexit.register(mock.terminate)
calls = dbus.Interface(manager, dbusmock.MOCK_IFACE)
logind = dbus.Interface(manager, "org.freedesktop.login1.Manager")
env = dict(os.environ, KOVI_SDK_DIR=sdk_dir, KOVI_SIM=os.path.join(work, "slow.scenario"),
           KOVI_SIM_TRACE="trace", TZ="UTC")
failures = []


def locks():
    return [tuple(str(field) for field in lock[:4]) for lock in logind.ListInhibitors()]


def run(key, watch=None):
    """Runs a flash; watch(console, process) is called whenever output
    arrives."""
    # From noon: a run sped up across midnight would meet a new access code.
    faked = dict(env, LD_PRELOAD=LIBFAKETIME, FAKETIME="@2026-12-07 12:00:00 x10")
    process = subprocess.Popen([tool, "u", "0"], cwd=work, env=faked,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    process.stdin.write(key)
    process.stdin.close()
    out = b""
    while chunk := os.read(process.stdout.fileno(), 65536):
        out += chunk
        if watch:
            watch(out, process)
    return process.wait(timeout=120), out


calls.ClearCalls()
run(b"n")
if any(str(call[1]) == "Inhibit" for call in calls.GetCalls()):
    failures.append("a declined run asked for an inhibitor lock")

seen = {}


def watch(out, process):
    if b"Sending firmware file:" in out and "transfer" not in seen:
        seen["transfer"] = locks()
    if b"Call Close" in out and "close" not in seen:
        deadline = time.time() + 0.5  # Close takes a whole second
        while locks() and time.time() < deadline:
            time.sleep(0.02)
        seen["close"] = locks()


status, out = run(b"Y", watch)
wanted = [("sleep:idle:shutdown", "Kestrune", "Writing firmware into the frontend", "block")]
if status != 0 or b"SUCCESS" not in out:
    failures.append(f"the flash did not succeed (status {status})")
if seen.get("transfer") != wanted:
    failures.append(f"locks before the first chunk: {seen.get('transfer')}, wanted {wanted}")
if seen.get("close") != []:
    failures.append(f"locks while Close runs: {seen.get('close')}, wanted none")
with open(os.path.join(work, "trace")) as f:
    trace = f.read()
if "KoviKestrune(" not in trace or "Close()" not in trace:
    failures.append("the trace lacks the chunks or Close:\n" + trace)

# Last: the mock answers nothing more once its Inhibit hangs.
calls.AddMethod("org.freedesktop.login1.Manager", "Inhibit", "ssss", "h",
                "import time; time.sleep(60)")


def time_lock_wait(out, process):
    if b"Press Y to flash" in out and "asked" not in seen:
        seen["asked"] = time.time()
    if b"Need to send" in out and "sending" not in seen:
        seen["sending"] = time.time()
        process.send_signal(signal.SIGINT)


run(b"Y", time_lock_wait)
waited = seen.get("sending", 1e9) - seen.get("asked", 0)
print(f"an unanswered lock held the flash for {waited:.2f} s")
if waited > 1.5:
    failures.append(f"an unanswered lock held the flash for {waited:.2f} s")


def stop_at_question(out, process):
    if b"Press Y to flash" in out and "stopped" not in seen:
        seen["stopped"] = True
        time.sleep(0.05)  # the Y is read at once; the lock is being asked for
        process.send_signal(signal.SIGINT)


if os.path.exists(os.path.join(work, "trace")):
    os.remove(os.path.join(work, "trace"))
status, out = run(b"Y", stop_at_question)
nothing_sent = b"Stopped by the operator before flashing, nothing was sent to the frontend"
if status != 130 or nothing_sent not in out:
    failures.append(f"a stop while the lock was asked for: status {status}, output "
                    f"{out[-300:]!r}")
with open(os.path.join(work, "trace")) as f:
    if "KoviKestrune(" in f.read():
        failures.append("a chunk was sent after the stop")

mock.terminate()
for failure in failures:
    print("---", failure)
print("lock taken before the first chunk, released before Close, none when declined, "
      "no answer waited for"
      if not failures else "")
sys.exit(1 if failures else 0)
