// The line, live: every station's events from the broker (MQTT over
// WebSockets, subscribe only: the page never sends anything), each station
// with its counts and its slots as tiles, in the states and colours of the
// station's own board. Texts from the stations are shown as text, never
// as markup.
"use strict";

const params = new URLSearchParams(location.search);
// The broker that serves the page, unless told otherwise.
const brokerUrl =
  params.get("broker") || (location.protocol === "https:" ? "wss://" : "ws://") + location.host;
const topic = params.get("topic") || "kestrune/+/events";
// A station that said nothing for this long is not reporting: a watching
// station speaks at least every ten seconds.
const quietMs = 1000 * Number(params.get("quiet") || 30);
const EVENTS_KEPT = 30;

const GOOD = ["flashed", "verified", "current"];
const SET_ASIDE = ["failed", "refused", "unverified", "duplicate"];
const SET_ASIDE_WORDS = { unverified: "not verified" };

const stations = new Map();

function minutes(seconds) {
  const s = Math.max(0, Math.round(seconds));
  return Math.floor(s / 60) + ":" + String(s % 60).padStart(2, "0");
}

function stationNamed(name) {
  if (!stations.has(name)) {
    stations.set(name, {
      name, how: "working", ended: null, counts: {}, runningS: null,
      startedAt: null, lastSeen: Date.now(), slots: new Map(), element: null,
    });
  }
  return stations.get(name);
}

function slotNamed(station, frontend) {
  if (!station.slots.has(frontend)) {
    station.slots.set(frontend, { frontend, unit: null, state: "waiting", text: "waiting", events: [], result: null });
  }
  return station.slots.get(frontend);
}

function countsOf(event) {
  const counts = {};
  for (const name of GOOD.concat(SET_ASIDE, ["declined", "stopped", "gone", "unproven"])) {
    if (typeof event[name] === "number") counts[name] = event[name];
  }
  return counts;
}

// A unit's end as the board says it.
function ended(slot, event) {
  const outcome = event.outcome;
  if (GOOD.includes(outcome)) {
    slot.state = "done";
    slot.text = (outcome === "current" ? "current" : "done") + ", take it out";
  } else if (SET_ASIDE.includes(outcome)) {
    slot.state = "set aside";
    const status = event.exit_status ? ", status " + event.exit_status : "";
    slot.text = "set aside, " + (SET_ASIDE_WORDS[outcome] || outcome) + status;
  } else {
    slot.state = "stopped";
    slot.text = outcome === "unproven" ? "not proven" : outcome;
  }
}

// What each event changes; the station's watching event, every ten
// seconds, says all of it again, so a page opened late is right from it.
const take = {
  start(station, event) {
    if (station.how === "ended") {
      station.slots.clear();
      station.counts = {};
    }
    station.how = "working";
    station.ended = null;
    station.startedAt = Date.parse(event.time);
  },
  watching(station, event) {
    station.how = "watching";
    station.counts = countsOf(event);
    station.runningS = event.running_s;
    // The board's slots, in the board's order.
    const slots = new Map();
    for (const given of event.slots || []) {
      const slot = slotNamed(station, given.frontend);
      slot.unit = given.unit === undefined ? null : given.unit;
      slot.state = given.state;
      slot.text = given.text;
      slots.set(given.frontend, slot);
    }
    station.slots = slots;
  },
  arrived(station, event, slot) {
    Object.assign(slot, { unit: event.unit, state: "waiting", text: "waiting", result: null });
  },
  left(station, event, slot) {
    if (slot.state !== "working" && slot.state !== "rebooting") {
      Object.assign(slot, { state: "empty", text: "empty" });
    }
  },
  image(station, event, slot) {
    Object.assign(slot, { state: "working", text: "0%" });
  },
  progress(station, event, slot) {
    Object.assign(slot, { state: "working", text: event.percent + "%, " + minutes(event.eta_s) + " left" });
  },
  waiting(station, event, slot) {
    Object.assign(slot, { state: "working", text: "programming, status in " + minutes(event.seconds_to_query) });
  },
  status(station, event, slot) {
    const done = event.code === 5;
    Object.assign(slot, { state: done ? "rebooting" : "working", text: done ? "rebooting" : "programming, " + event.text });
  },
  verify(station, event, slot) {
    Object.assign(slot, { state: "rebooting", text: "rebooting, verifying" });
  },
  retry(station, event, slot) {
    Object.assign(slot, { state: "working", text: "try " + event.try + " of " + event.of });
  },
  result(station, event, slot) {
    if (!slot) return; // a single run's result
    ended(slot, event);
    slot.result = event;
    station.counts[event.outcome] = (station.counts[event.outcome] || 0) + 1;
  },
  station(station, event) {
    station.how = "ended";
    station.ended = event.ended || "done";
    station.counts = countsOf(event);
  },
};

function takeEvent(topicName, event) {
  const name = event.station || topicName.split("/")[1] || topicName;
  const station = stationNamed(name);
  station.lastSeen = Date.now();
  const slot = event.frontend !== undefined && event.event !== "watching" ? slotNamed(station, event.frontend) : null;
  if (slot) {
    if (event.unit !== undefined && slot.unit !== event.unit && event.event !== "left") {
      Object.assign(slot, { unit: event.unit, events: [], result: null });
    }
    slot.events.push(event);
    slot.events.splice(0, slot.events.length - EVENTS_KEPT);
  }
  if (take[event.event]) take[event.event](station, event, slot);
  drawSoon(station);
}

// A plant's stations send hundreds of events a second: each station is
// drawn at most ten times a second, with all that came meanwhile.
const DRAW_MS = 100;
const dirty = new Set();
function drawSoon(station) {
  if (dirty.size === 0) {
    setTimeout(() => {
      dirty.forEach(draw);
      dirty.clear();
    }, DRAW_MS);
  }
  dirty.add(station);
}

function element(tag, className, text) {
  const made = document.createElement(tag);
  if (className) made.className = className;
  if (text !== undefined) made.textContent = text;
  return made;
}

function summary(station) {
  let good = 0, setAside = 0;
  const kinds = [];
  for (const [outcome, count] of Object.entries(station.counts)) {
    if (GOOD.includes(outcome)) good += count;
    if (SET_ASIDE.includes(outcome) && count > 0) {
      setAside += count;
      kinds.push(outcome + " " + count);
    }
  }
  let working = 0;
  for (const slot of station.slots.values()) {
    working += slot.state === "working" || slot.state === "rebooting";
  }
  const hours = station.runningS ? station.runningS / 3600 : null;
  return ["good " + good, "set aside " + setAside + (kinds.length ? " (" + kinds.join(", ") + ")" : ""),
    "working " + working].concat(hours ? [Math.floor(good / hours) + "/h"] : []).join(" · ");
}

function notReporting(station) {
  return station.how !== "ended" && Date.now() - station.lastSeen > quietMs;
}

function draw(station) {
  document.getElementById("nothing").hidden = true;
  if (!station.element) {
    station.element = element("section", "station");
    station.element.dataset.station = station.name;
    // Stations by name, so that each keeps its place on the wall.
    const after = [...document.querySelectorAll("section.station")].find((s) => s.dataset.station > station.name);
    document.getElementById("stations").insertBefore(station.element, after || null);
  }
  const quiet = notReporting(station);
  const how = quiet ? "not reporting" : station.how === "ended" ? "ended: " + station.ended : station.how;
  const heading = element("h2");
  heading.append(element("span", "name", station.name), element("span", "how", how),
    element("span", "counts", summary(station)));
  const tiles = element("div", "tiles");
  for (const slot of station.slots.values()) {
    const tile = element("div", "tile " + slot.state.replace(" ", "-"));
    tile.dataset.frontend = slot.frontend;
    tile.append(element("div", "name", slot.frontend + (slot.unit ? "  #" + slot.unit : "")));
    const words = element("div", "words");
    for (const part of slot.text.split(", ")) words.append(element("div", "", part));
    tile.append(words);
    tile.addEventListener("click", () => showUnit(station, slot));
    tiles.append(tile);
  }
  station.element.classList.toggle("not-reporting", quiet);
  station.element.replaceChildren(heading, tiles);
}

function showUnit(station, slot) {
  document.getElementById("unit-title").textContent =
    station.name + ": " + slot.frontend + (slot.unit ? ", unit " + slot.unit : "");
  document.getElementById("unit-result").textContent = slot.result
    ? slot.result.outcome + (slot.result.message ? ": " + slot.result.message : "")
    : slot.text;
  document.getElementById("unit-events").textContent =
    slot.events.map((event) => JSON.stringify(event)).join("\n");
  document.getElementById("unit").showModal();
}

function connect() {
  const shown = document.getElementById("connection");
  const client = mqtt.connect(brokerUrl, { reconnectPeriod: 2000, clean: true });
  client.on("connect", () => {
    shown.textContent = "connected to " + brokerUrl;
    shown.classList.remove("lost");
    client.subscribe(topic, { qos: 1 });
  });
  client.on("close", () => {
    shown.textContent = "no connection to " + brokerUrl + ", trying again";
    shown.classList.add("lost");
  });
  client.on("message", (topicName, payload) => {
    for (const line of payload.toString().split("\n")) {
      if (!line.trim()) continue;
      try {
        takeEvent(topicName, JSON.parse(line));
      } catch (error) {
        console.warn("not an event of Kestrune's:", line);
      }
    }
  });
}

// A station that falls quiet is shown so without an event.
setInterval(() => stations.forEach(draw), 1000);
connect();
