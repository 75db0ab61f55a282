#!/usr/bin/env python3
"""The line's page under a plant's load: STATIONS stations of 8 slots each,
replayed at 10 times line speed from a recorded watch (data/, 25 minutes
of a station's events, recorded under libfaketime at 10 times real time),
published to a Mosquitto broker of the bench's own that serves the page to
a headless Chromium. Every 5 seconds a probe station's tile is changed: the
time until the page shows it is the page's delay behind the broker. At the
end: the delays (median, 95th percentile, most) and the browser's CPU time
and memory (all its processes).
dashboard.py DASHBOARD_DIR [MINUTES [STATIONS]]   (10 minutes, 20 stations)"""
import gzip
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from datetime import datetime

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

here = os.path.dirname(os.path.abspath(__file__))
dashboard = os.path.abspath(sys.argv[1])
minutes = float(sys.argv[2]) if len(sys.argv) > 2 else 10
station_count = int(sys.argv[3]) if len(sys.argv) > 3 else 20
SPEED = 10  # the recording's line time to real time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


work = tempfile.mkdtemp(prefix="kestrune-dashboard-bench-")
os.chmod(work, 0o755)  # Mosquitto started as root reads its files as user mosquitto
mqtt_port, web_port = free_port(), free_port()
with open(os.path.join(work, "broker.conf"), "w") as f:
    f.write(f"per_listener_settings true\nlistener {mqtt_port} 127.0.0.1\nallow_anonymous true\n"
            f"listener {web_port}\nprotocol websockets\nhttp_dir {dashboard}\n"
            f"allow_anonymous true\npersistence false\n")
broker = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
processes = [subprocess.Popen([broker, "-c", "broker.conf"], cwd=work,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
time.sleep(1)

# The recording: each event and when it came, in the line's seconds.
recorded = []
with gzip.open(os.path.join(here, "data", "watch-8-slots.jsonl.gz"), "rt") as f:
    for line in f:
        event = json.loads(line)
        recorded.append((datetime.fromisoformat(event["time"]).timestamp(), event))
start = recorded[0][0]
recorded = [(t - start, e) for t, e in recorded if e["event"] not in ("start", "station")]
span = recorded[-1][0] + 1


def publisher(name):
    return subprocess.Popen(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(mqtt_port), "-l",
                             "-q", "1", "-t", f"kestrune/{name}/events"],
                            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


stop = threading.Event()
sent = [0]


def replay(number):
    """One station: the recording, over and over, at 10 times line speed;
    each station starts at another point of it."""
    name = f"bench-{number + 1:02d}"
    pub = publisher(name)
    processes.append(pub)
    offset = span * number / station_count
    began = time.time()
    lap = 0
    while not stop.is_set():
        for at, event in recorded:
            line_time = lap * span + at - offset
            if line_time < 0:
                continue
            wait = began + line_time / SPEED - time.time()
            if wait > 0 and stop.wait(wait):
                return
            event = dict(event, station=name)
            pub.stdin.write((json.dumps(event, separators=(",", ":")) + "\n").encode())
            pub.stdin.flush()
            sent[0] += 1
        lap += 1


options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1920,1080"):
    options.add_argument(argument)
service = Service("/usr/bin/chromedriver")
driver = webdriver.Chrome(service=service, options=options)
driver.get(f"http://127.0.0.1:{web_port}/index.html")
time.sleep(2)

threads = [threading.Thread(target=replay, args=(n,), daemon=True) for n in range(station_count)]
for t in threads:
    t.start()

probe = publisher("probe")
processes.append(probe)
delays = []
READ_PROBE = """
const t = document.querySelector('section[data-station="probe"] .tile .words');
return t ? t.textContent : null;"""
ends = time.time() + minutes * 60
number = 0
while time.time() < ends:
    number += 1
    wanted = f"{number % 100}%"
    event = {"event": "progress", "frontend": "PROBE", "unit": 1, "station": "probe",
             "time": datetime.now().astimezone().isoformat(timespec="seconds"),
             "chunks_sent": number, "chunks": 100, "percent": number % 100, "elapsed_s": 1,
             "eta_s": 0}
    probe.stdin.write((json.dumps(event) + "\n").encode())
    probe.stdin.flush()
    sent_at = time.time()
    while time.time() - sent_at < 10:
        shown = driver.execute_script(READ_PROBE)
        if shown is not None and shown.startswith(wanted):
            delays.append(time.time() - sent_at)
            break
        time.sleep(0.01)
    else:
        delays.append(float("inf"))
    time.sleep(max(0, 5 - (time.time() - sent_at)))


def proportional_mib(pid):
    """A process's share of the memory it shares with others (PSS), so that
    the browser's processes are not counted once each for what they share."""
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return 0


def browser_usage():
    """CPU seconds and memory (MiB, PSS) of every process of the browser."""
    pids, tree = [service.process.pid], {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                tree[int(entry)] = (int(fields[1]), int(fields[11]) + int(fields[12]),
                                    int(fields[21]))
            except OSError:
                pass
    for pid in pids:
        pids += [p for p, (parent, _, _) in tree.items() if parent == pid and p not in pids]
    ticks = os.sysconf("SC_CLK_TCK")
    cpu = sum(tree[p][1] for p in pids[1:] if p in tree) / ticks
    return cpu, sum(proportional_mib(p) for p in pids[1:])


cpu, rss = browser_usage()
stations_shown = len(driver.execute_script("return document.querySelectorAll('section.station')"))
stop.set()
driver.quit()
for p in processes:
    p.kill()
shutil.rmtree(work, ignore_errors=True)
finite = sorted(d for d in delays if d != float("inf"))
print(f"{station_count} stations x 8 slots at {SPEED}x line speed for {minutes:g} min: "
      f"{sent[0]} events ({sent[0] / (minutes * 60):.0f}/s), {stations_shown} stations on the page")
if finite:
    print(f"  page behind the broker: median {statistics.median(finite) * 1000:.0f} ms, "
          f"95% {finite[int(0.95 * (len(finite) - 1))] * 1000:.0f} ms, most "
          f"{finite[-1] * 1000:.0f} ms, {len(delays) - len(finite)} of {len(delays)} not shown "
          f"within 10 s (goal: all within 1 s)")
print(f"  browser after the run: {cpu:.1f} s of CPU ({100 * cpu / (minutes * 60):.0f} % of a "
      f"core), {rss:.0f} MiB (proportional set size)")
