#!/usr/bin/env python3
"""The line's page, for real: a Mosquitto broker of the test's own on
127.0.0.1 that serves the page (a websockets listener with http_dir) with
the automation guide's configuration, two --watch stations over simulated
fixtures publishing with --publish, and a headless Chromium driven by
Selenium. The page shows both stations and each slot as their boards do; a
page opened mid-run is right within 10 s; a station stopped with a Ctrl-C
to its whole process group still delivers its last results and its station
event, and the page shows it ended; a station killed shows "not reporting"
within 35 s.
dashboard.py KESTRUNE MAKE_IMAGE SDK_DIR DASHBOARD_DIR AUTOMATION_GUIDE [PICTURE]"""
import json
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
LIBFAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
tool, make_image, sdk_dir, dashboard, guide = (os.path.abspath(a) for a in sys.argv[1:6])
picture = sys.argv[6] if len(sys.argv) > 6 else os.environ.get("KESTRUNE_DASHBOARD_PICTURE")
broker = shutil.which("mosquitto") or shutil.which("mosquitto", path="/usr/sbin")
if not broker or not shutil.which("mosquitto_pub") or not shutil.which("mosquitto_sub"):
    print("skipped: no Mosquitto broker and clients here (Debian's mosquitto, mosquitto-clients)")
    sys.exit(SKIP)
if not os.path.isfile(os.path.join(dashboard, "mqtt.min.js")):
    print("skipped: no dashboard in the build (mqtt.js could not be fetched from the npm registry)")
    sys.exit(SKIP)
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
except ImportError:
    print("skipped: no Selenium here (Debian's python3-selenium)")
    sys.exit(SKIP)
if not os.path.exists("/usr/bin/chromium") or not os.path.exists("/usr/bin/chromedriver"):
    print("skipped: no Chromium and its driver here (Debian's chromium, chromium-driver)")
    sys.exit(SKIP)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


work = tempfile.mkdtemp(prefix="kestrune-dashboard-")
os.chmod(work, 0o755)  # Mosquitto started as root reads its files as user mosquitto
mqtt_port, web_port = free_port(), free_port()
# The guide's broker configuration, on the test's ports and the build's page.
text = open(guide, encoding="utf-8").read()
section = text[text.index("## The line in a browser"):]
conf = re.search(r"```\n(# mosquitto\.conf.*?)```", section, re.S).group(1)
acl = re.search(r"```\n(# kestrune\.acl.*?)```", section, re.S).group(1)
conf = (conf.replace("listener 1883", f"listener {mqtt_port} 127.0.0.1")
        .replace("9001", str(web_port))
        .replace("/usr/share/kestrune/dashboard", dashboard)
        .replace("/etc/mosquitto/kestrune.acl", os.path.join(work, "kestrune.acl")))
with open(os.path.join(work, "broker.conf"), "w") as f:
    f.write(conf + "persistence false\n")
with open(os.path.join(work, "kestrune.acl"), "w") as f:
    f.write(acl)
station_line = re.search(r"^    (Kestrune --watch --station bench-3 .*)$", text, re.M).group(1)

failures = []
processes = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("--- " + what)


def start(command, **kwargs):
    kwargs.setdefault("stdout", subprocess.DEVNULL)
    kwargs.setdefault("stderr", subprocess.DEVNULL)
    p = subprocess.Popen(command, **kwargs)
    processes.append(p)
    return p


def stop_all():
    for p in processes:
        if p.poll() is None:
            p.kill()
            p.wait()


start([broker, "-c", "broker.conf"], cwd=work, stderr=open(os.path.join(work, "broker.err"), "wb"))
for _ in range(100):
    try:
        socket.create_connection(("127.0.0.1", web_port), timeout=0.2).close()
        break
    except OSError:
        time.sleep(0.1)
else:
    print("--- the broker did not start: " + open(os.path.join(work, "broker.err")).read())
    stop_all()
    sys.exit(1)
# Everything the stations deliver, for the records' side of the checks.
events_file = open(os.path.join(work, "events.txt"), "wb")
start(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(mqtt_port), "-q", "1", "-v", "-t",
       "kestrune/#"], stdout=events_file)
time.sleep(0.5)


def delivered():
    out = []
    with open(os.path.join(work, "events.txt"), "rb") as f:
        for line in f.read().decode("utf-8", "replace").splitlines():
            topic, _, payload = line.partition(" ")
            try:
                out.append((topic, json.loads(payload)))
            except ValueError:
                pass
    return out


FIXTURES = {
    # A good unit, one whose second chunk is refused, and (for the stop) a
    # slow one that is still being flashed when the Ctrl-C comes.
    "bench-1": {"SLOT-1": "", "SLOT-2": "fail.KoviKestrune = 2\n",
                "SLOT-3": "delay.KoviKestrune = 100000\n"},
    # Real time: its unit waits a real minute for its status query.
    "bench-2": {"SLOT-1": ""},
}


def start_station(name, speed):
    folder = os.path.join(work, name)
    os.makedirs(os.path.join(folder, "fixture"))
    subprocess.run([make_image, "--size", "100", "kovi_firmware.bin"], cwd=folder, check=True,
                   stdout=subprocess.DEVNULL)
    with open(os.path.join(folder, "sim.conf"), "w") as f:
        f.write("reboot_seconds = 0\n")
    for slot, settings in FIXTURES[name].items():
        with open(os.path.join(folder, "fixture", slot), "w") as f:
            f.write(settings)
    line = (station_line.replace("bench-3", name)
            .replace("-h broker.example", f"-h 127.0.0.1 -p {mqtt_port}"))
    args = shlex.split(line)[1:]
    env = dict(os.environ, KOVI_SDK_DIR=sdk_dir, TZ="UTC", KOVI_SIM="sim.conf",
               KOVI_SIM_FIXTURE="fixture", TERM="dumb")
    if speed:  # (from noon: a transfer sped up across midnight meets a new access code)
        env.update(LD_PRELOAD=LIBFAKETIME, FAKETIME="@2026-12-07 12:00:00 x" + speed)
    # A session of its own: a Ctrl-C at its terminal reaches its whole group.
    return start([tool] + args, cwd=folder, env=env, stdin=subprocess.DEVNULL,
                 start_new_session=True)


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--window-size=1600,1000"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.get(f"http://127.0.0.1:{web_port}/index.html")
    return driver


READ_PAGE = """
return [...document.querySelectorAll('section.station')].map(s => ({
  name: s.dataset.station,
  how: s.querySelector('.how').textContent,
  counts: s.querySelector('.counts').textContent,
  tiles: Object.fromEntries([...s.querySelectorAll('.tile')].map(t => [t.dataset.frontend,
    [t.className.replace('tile ', '').replace('-', ' '),
     [...t.querySelectorAll('.words div')].map(d => d.textContent).join(', ')]]))
}));"""


def page(driver):
    return {s["name"]: s for s in driver.execute_script(READ_PAGE)}


def wait_for(driver, seconds, wanted, what):
    """Until wanted(page) holds, at most seconds; the last page seen."""
    deadline = time.time() + seconds
    seen = page(driver)
    while not wanted(seen) and time.time() < deadline:
        time.sleep(0.25)
        seen = page(driver)
    check(wanted(seen), f"{what}: the page shows {json.dumps(seen)}")
    return seen


def board(name):
    """The station's own board, as its last watching event gave it, in its
    order."""
    last = [e for t, e in delivered() if e.get("station") == name and e["event"] == "watching"]
    return {s["frontend"]: [s["state"], s["text"]] for s in last[-1]["slots"]} if last else {}


try:
    first = browser()
    one = start_station("bench-1", "10")
    two = start_station("bench-2", None)

    def both_as_their_boards(seen):
        """Each slot in its place and state, as the station's board has it."""
        return all(n in seen and list(seen[n]["tiles"]) == list(board(n)) and
                   all(seen[n]["tiles"][k][0] == v[0] for k, v in board(n).items())
                   for n in ("bench-1", "bench-2"))

    def bench1_settled(seen):
        tiles = seen.get("bench-1", {}).get("tiles", {})
        return (tiles.get("SLOT-1") == ["done", "done, take it out"] and
                tiles.get("SLOT-2", [""])[0] == "set aside" and
                tiles.get("SLOT-3", [""])[0] == "working")

    seen = wait_for(first, 60, bench1_settled, "bench-1's good, set aside and working units")
    check("good 1 · set aside 1 (failed 1) · working 1" in seen.get("bench-1", {}).get("counts", ""),
          "bench-1's counts")
    wait_for(first, 15, both_as_their_boards, "both stations as their boards show them")

    # A page opened mid-run: right within 10 s, from the watching events.
    late = browser()
    time.sleep(1)
    opened = time.time()
    seen = wait_for(late, 12, lambda p: both_as_their_boards(p) and bench1_settled(p) and
                    p["bench-2"]["tiles"].get("SLOT-1", [""])[0] == "working",
                    "a page opened late")
    check(time.time() - opened <= 11, f"the late page took {time.time() - opened:.1f} s")
    if picture:
        late.save_screenshot(picture)
    late.quit()

    # Ctrl-C at bench-1's terminal: the station and everything in its group.
    os.killpg(one.pid, signal.SIGINT)
    try:
        one.wait(timeout=60)
    except subprocess.TimeoutExpired:
        check(False, "bench-1 did not end after its Ctrl-C")
    time.sleep(2)
    last = [e for t, e in delivered() if t == "kestrune/bench-1/events"]
    check(any(e["event"] == "result" and e.get("frontend") == "SLOT-3" and
              e["outcome"] == "stopped" for e in last), "bench-1's stopped unit's result")
    check(bool(last) and last[-1]["event"] == "station" and last[-1].get("ended") == "stopped",
          "bench-1's station event, last: " + (json.dumps(last[-1]) if last else "none"))
    wait_for(first, 10, lambda p: p.get("bench-1", {}).get("how") == "ended: stopped",
             "bench-1 ended")

    # bench-2 killed: it says nothing more.
    killed = time.time()
    os.killpg(two.pid, signal.SIGKILL)
    wait_for(first, 35, lambda p: p.get("bench-2", {}).get("how") == "not reporting",
             "bench-2 not reporting")
    check(time.time() - killed <= 35, f"not reporting after {time.time() - killed:.1f} s")
    first.quit()
finally:
    stop_all()

if failures:
    print(f"--- kept in {work}")
    sys.exit(1)
shutil.rmtree(work, ignore_errors=True)
print("the page showed both stations as their boards did, a late page was right, a stopped "
      "station delivered its end, a killed one was not reporting")
