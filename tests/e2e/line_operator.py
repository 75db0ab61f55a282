"""A line day for a watch case's [line] block: an operator keeps a fixture
of slots full from a queue of units, takes each unit out once the
station's log says it ended (or earlier, as the block says), and puts the
next one in once the station saw its slot empty. Afterwards every unit put
in must have come out with exactly one outcome: one result, one history
row and one entry in the station's units, all under one number, and
nothing recorded that was not put in.

    [line]
    slots = 8
    units = 40
    unit 9 = taken out mid-flash, failed
    unit 12 = leaves while it reboots, verified
    unit 40 = stopped while verified, unproven

Every other unit must end verified. Slot K is the file slotK, listed as
USB:SLOT-K; unit U has serial 1230000 + U."""

import csv
import io
import json
import os
import re
import signal
import threading
import time

SERIAL_BASE = 1230000  # the device id is a serial's leading digits: 123
# What a unit's file says for each way the operator handles it.
SETTINGS = {
    "taken out mid-flash": ["delay.KoviKestrune = 200000"],  # each chunk long enough to catch
    # A reboot long enough that the operator is sure to take the unit out
    # while its worker waits for it, never after its worker ended.
    "leaves while it reboots": ["reboot_seconds = 1500"],
    "never comes back": ["listed_after_reboot = no"],
    "stopped while verified": ["listed_after_reboot = no"],
}
LINE = re.compile(rb"station, Frontend \[USB:SLOT-(\d+)\](?: is flashed by worker \d+, log \[([^\]]+)\]"
                  rb"|: (\w[\w ]*), exit status \d+| (left))\r\r\n")


def parse(lines):
    plan = {"slots": 8, "units": 0, "special": {}}
    for line in (s.strip() for s in lines if s.strip()):
        key, _, value = (part.strip() for part in line.partition("="))
        if key.startswith("unit "):
            how, _, outcome = value.partition(",")
            plan["special"][int(key[5:])] = (how.strip(), outcome.strip())
        else:
            plan[key] = int(value)
    return plan


class LineOperator:
    def __init__(self, r):
        self.r, self.plan = r, parse(r.blocks["line"])
        self.folder = r.path("fixture")
        os.makedirs(self.folder, exist_ok=True)
        self.slots = {k: None for k in range(1, self.plan["slots"] + 1)}
        self.queue = list(range(1, self.plan["units"] + 1))
        # The unit stopped while it is verified goes in last, once every
        # other unit has ended, so that the stop stops nothing else.
        self.last = [u for u, (how, _) in self.plan["special"].items() if how == "stopped while verified"]
        self.queue = [u for u in self.queue if u not in self.last] + self.last
        self.ends, self.stopped, self.broke, self.done = 0, False, None, threading.Event()
        self.moves = {"arrived": 0, "left": 0}  # units put in, units taken out
        for slot in self.slots:
            self.put_in(slot)  # in the fixture as the watch starts
        self.thread = threading.Thread(target=self.drive)
        self.thread.start()

    def how(self, unit):
        return self.plan["special"].get(unit, ("", "verified"))[0]

    def put_in(self, slot):
        if not self.queue or (self.queue[0] in self.last and self.ends < self.plan["units"] - 1):
            self.slots[slot] = None
            return
        unit = self.queue.pop(0)
        lines = [f"name = USB:SLOT-{slot}", f"serial = {SERIAL_BASE + unit}"] + SETTINGS.get(self.how(unit), [])
        hidden = os.path.join(self.folder, f".slot{slot}")
        with open(hidden, "w", encoding="utf-8") as f:  # whole at once, as a look may come at any moment
            f.write("".join(line + "\n" for line in lines))
        os.rename(hidden, os.path.join(self.folder, f"slot{slot}"))
        self.slots[slot] = {"unit": unit, "log": None, "taken": False}
        self.moves["arrived"] += 1

    def take_out(self, slot):
        self.slots[slot]["taken"] = True
        self.moves["left"] += 1
        os.remove(os.path.join(self.folder, f"slot{slot}"))

    def worker_log_says(self, state, text):
        try:
            with open(self.r.path(state["log"]), "rb") as f:
                return text in f.read()
        except (OSError, TypeError):
            return False

    def drive(self):
        try:
            self.operate()
        except Exception as e:  # the case fails, and says why
            self.broke = repr(e)

    def operate(self):
        log, at = self.r.path(self.r.fields.get("log-file", "kovi_kestrune.log")), 0
        while not self.done.is_set():
            try:
                with open(log, "rb") as f:
                    f.seek(at)
                    text = f.read()
            except OSError:
                text = b""
            for m in LINE.finditer(text[:text.rfind(b"\n") + 1]):
                self.on_line(int(m.group(1)), m.group(2), m.group(3), m.group(4))
            at += text.rfind(b"\n") + 1
            self.look_at_workers()
            time.sleep(0.01)

    def on_line(self, slot, worker_log, outcome, left):
        state = self.slots.get(slot)
        if outcome:
            self.ends += 1  # (a unit taken out mid-flash may end after its slot's next went in)
        if state is None:
            return
        if worker_log and state["log"] is None:
            state["log"] = worker_log.decode()
        elif outcome and state["log"] is not None and not state["taken"] and not self.stopped:
            self.take_out(slot)
        elif left and state["taken"]:  # (never a leaving the operator did not make)
            self.put_in(slot)

    def look_at_workers(self):
        for slot, state in self.slots.items():
            if state is None:
                self.put_in(slot)  # the unit held back may go in now
                continue
            how = self.how(state["unit"])
            if (how == "taken out mid-flash" and not state["taken"] and
                    self.worker_log_says(state, b"Sending firmware file")):
                self.take_out(slot)
            if (how == "leaves while it reboots" and not state.get("back") and not state["taken"] and
                    self.worker_log_says(state, b"Waiting up to")):
                self.away_and_back(slot)
                state["back"] = True
            others_out = all(other is None for other in self.slots.values() if other is not state)
            if (how == "stopped while verified" and not self.stopped and others_out and
                    self.worker_log_says(state, b"Waiting up to")):
                os.kill(self.station_pid(), signal.SIGINT)
                self.stopped = True

    def away_and_back(self, slot):
        """Out of the list and back as the same physical unit (a renamed
        file keeps its identity), while its worker waits for its reboot;
        time enough for many of the station's looks."""
        listed, away = (os.path.join(self.folder, name) for name in (f"slot{slot}", f".slot{slot}"))
        os.rename(listed, away)
        time.sleep(0.5)
        os.rename(away, listed)

    def station_pid(self):
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/stat", "rb") as f:
                    parent = int(f.read().rpartition(b")")[2].split()[1])
                if parent == os.getpid() and os.readlink(f"/proc/{pid}/cwd") == self.r.work:
                    return int(pid)
            except (OSError, ValueError):
                pass
        raise RuntimeError("the station's process is not there")

    def end(self):
        self.done.set()
        self.thread.join()
        if self.broke:
            print(f"--- the operator stopped: {self.broke}")
        if self.queue:
            print(f"--- units never put in: {self.queue}")
        return len(self.queue) + (self.broke is not None)

    def check(self, stdout, history_path):
        """Every unit put in, and nothing else, with exactly one outcome in
        each record; the number of failures."""
        wanted = {SERIAL_BASE + u: self.plan["special"].get(u, ("", "verified"))[1]
                  for u in range(1, self.plan["units"] + 1)}
        events = [json.loads(line) for line in stdout.decode().splitlines() if line.strip()]
        results = [(e["serial"] or 0, e["unit"], e["outcome"]) for e in events if e["event"] == "result"]
        station = [e for e in events if e["event"] == "station"]
        units = [(e["serial"] or 0, e["unit"], e["outcome"]) for s in station for e in s["units"]]
        with open(history_path, encoding="utf-8-sig", newline="") as f:
            rows = [(int(row["serial"] or 0), int(row["unit"] or 0), row["outcome"])
                    for row in csv.DictReader(io.StringIO(f.read()))]
        failures = 0
        for what, records in (("result", results), ("units", units), ("history", rows)):
            serials = sorted(serial for serial, _, _ in records)
            numbers = [number for _, number, _ in records]
            outcomes = {serial: outcome for serial, _, outcome in records}
            if serials != sorted(wanted) or len(set(numbers)) != len(numbers) or outcomes != wanted:
                print(f"--- {what}: not every unit put in once with its outcome: {sorted(records)}")
                failures += 1
        seen = {move: sum(e["event"] == move for e in events) for move in self.moves}
        if seen != self.moves:
            print(f"--- the station saw {seen}, the operator made {self.moves}")
            failures += 1
        if sorted(results, key=lambda r: r[1]) != sorted(rows, key=lambda r: r[1]):
            print("--- the results and the history differ in a unit's number or outcome")
            failures += 1
        return failures + (len(station) != 1)
