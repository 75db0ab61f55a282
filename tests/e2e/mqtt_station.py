#!/usr/bin/env python3
"""Many stations, one broker, for real: the automation guide's commands (a
station's --json piped into mosquitto_pub, a subscriber keeping every
result) against a Mosquitto broker of the test's own on 127.0.0.1. Every
unit's result arrives once, under its station's topic; a broker that goes
away in the middle of a station changes nothing for the flash or the
history.
mqtt_station.py KESTRUNE MAKE_IMAGE SDK_DIR AUTOMATION_GUIDE"""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
LIBFAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
tool, make_image, sdk_dir, guide = (os.path.abspath(a) for a in sys.argv[1:5])
broker = shutil.which("mosquitto") or shutil.which("mosquitto", path="/usr/sbin")
if not broker or not shutil.which("mosquitto_pub") or not shutil.which("mosquitto_sub"):
    print("skipped: no Mosquitto broker and clients here (Debian's mosquitto, mosquitto-clients)")
    sys.exit(SKIP)

# The guide's commands, pointed at this broker.
text = open(guide, encoding="utf-8").read()
section = text[text.index("## Many stations, one broker"):]
station_line = re.search(r"^    (Kestrune --all --json .*)$", section, re.M).group(1)
subscriber_line = re.search(r"^    (mosquitto_sub .*)$", section, re.M).group(1)
results_py = re.search(r"```python\n(.*?)```", section, re.S).group(1)

work = tempfile.mkdtemp(prefix="kestrune-mqtt-")
with socket.socket() as s:  # a free port, for the broker to take
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
with open(os.path.join(work, "broker.conf"), "w") as f:
    f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
with open(os.path.join(work, "results.py"), "w") as f:
    f.write(results_py)
here = f"-h 127.0.0.1 -p {port}"
station_line = station_line.replace("-h broker.example", here)
subscriber_line = subscriber_line.replace("-h broker.example", here)
subprocess.run([make_image, "--size", "100", "kovi_firmware.bin"], cwd=work, check=True,
               stdout=subprocess.DEVNULL)
env = dict(os.environ, KOVI_SDK_DIR=sdk_dir, TZ="UTC",
           KOVI_SIM_RECEIVED="kovi_sim-*.received")
failures = []
processes = []


def start_broker():
    p = subprocess.Popen([broker, "-c", "broker.conf"], cwd=work, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    processes.append(p)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return p
        except OSError:
            if p.poll() is not None:
                break
            time.sleep(0.1)
    print("skipped: the broker could not be started here")
    sys.exit(SKIP)


def station(scenario, topic, during=None):
    """The guide's station line, the tool sped up by libfaketime; its own
    exit status noted beside the pipe's."""
    with open(os.path.join(work, "kovi_sim.scenario"), "w") as f:
        f.write(scenario)
    line = station_line.replace("kestrune/line1/station1", topic).replace(
        "Kestrune ", f"LD_PRELOAD={LIBFAKETIME} FAKETIME='@2026-12-07 12:00:00 x1000' {tool} ", 1)
    p = subprocess.Popen(["bash", "-c", line + "; echo ${PIPESTATUS[0]} > tool.status"], cwd=work,
                         env=dict(env, KOVI_SIM="kovi_sim.scenario"), stderr=subprocess.DEVNULL)
    if during:
        during()
    try:
        p.wait(timeout=120)
    except subprocess.TimeoutExpired:
        failures.append(f"the station on {topic} still ran after two minutes")
        p.kill()
        p.wait()
    return open(os.path.join(work, "tool.status")).read().strip()


def tool_running():
    """Whether a run of the tool (the station or a worker) is still there."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if (os.readlink(f"/proc/{pid}/cwd") == work and
                    b"Kestrune" in open(f"/proc/{pid}/cmdline", "rb").read().split(b"\0")[0]):
                return True
        except OSError:
            pass
    return False


def results_on(topic):
    path = os.path.join(work, "results.txt")
    lines = open(path, encoding="utf-8").read().splitlines() if os.path.exists(path) else []
    return [line for line in lines if line.startswith(topic + " ")]


try:
    start_broker()
    # The subscriber, and the Python one beside it; ready once a probe
    # published after it has come through.
    subscriber = subprocess.Popen(["sh", "-c", subscriber_line], cwd=work)
    keeper = subprocess.Popen(["sh", "-c", f"mosquitto_sub {here} -v -q 1 -t 'kestrune/#' | "
                               "python3 results.py results.jsonl"], cwd=work)
    processes += [subscriber, keeper]
    for _ in range(50):
        subprocess.run(["mosquitto_pub"] + here.split() +
                       ["-t", "kestrune/probe", "-q", "1", "-m", '{"event":"result"}'])
        time.sleep(0.2)
        if results_on("kestrune/probe"):
            break

    status = station("device_count = 3\n", "kestrune/line1/station1")
    if status != "0":
        failures.append(f"the first station exited {status}")
    deadline = time.time() + 10
    while len(results_on("kestrune/line1/station1")) < 3 and time.time() < deadline:
        time.sleep(0.1)
    arrived = results_on("kestrune/line1/station1")
    names = sorted(re.search(r'"frontend":"([^"]*)"', line).group(1) for line in arrived)
    if names != ["USB:KOVI-0", "USB:KOVI-1", "USB:KOVI-2"]:
        failures.append(f"results on the station's topic: {arrived!r}")
    kept = open(os.path.join(work, "results.jsonl"), encoding="utf-8").read()
    if kept.count('"topic": "kestrune/line1/station1"') != 3:
        failures.append(f"results.py kept: {kept!r}")

    # The broker goes away while the second station flashes, slowly: the
    # tool ends on its own all the same; mosquitto_pub keeps what it holds
    # until the broker is back, then ends the pipe.
    def stop_broker_until_tool_ends():
        time.sleep(1.5)
        processes[0].terminate()
        processes[0].wait()
        deadline = time.time() + 60
        while tool_running() and time.time() < deadline:
            time.sleep(0.2)
        if tool_running():
            failures.append("the station still ran a minute after its broker went away")
        start_broker()
    status = station("device_count = 3\n# A second of real time a chunk.\n"
                     "delay.KoviKestrune = 1000000\n", "kestrune/line1/station2",
                     stop_broker_until_tool_ends)
    if status != "0":
        failures.append(f"the station whose broker went away exited {status}")
    history = open(os.path.join(work, "history.csv"), encoding="utf-8").read().splitlines()
    flashed = [row for row in history[1:] if ",flashed," in row]
    if len(history) != 7 or len(flashed) != 6:
        failures.append(f"the history has {len(history) - 1} records, {len(flashed)} flashed")
finally:
    for p in processes:
        if p.poll() is None:
            p.terminate()
    subprocess.run(["pkill", "-f", f"mosquitto_(sub|pub) {here}"], stderr=subprocess.DEVNULL)
    shutil.rmtree(work, ignore_errors=True)

for failure in failures:
    print("---", failure)
sys.exit(1 if failures else 0)
