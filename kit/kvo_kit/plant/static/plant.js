// The plant page: keeps one tile per machine from the server's event stream.
// The server checks every report before it sends it; the page still renders
// defensively, so that no payload can stop the other tiles from updating.
"use strict";

const machines = Object.create(null);  // "line/machine" -> {kind: payload, bad: {kind: reason}}
let brokerUp = false;
let awaySince = null;  // when the page last lost the broker or its server (seconds)
const shifts = Object.create(null);  // "line/machine" -> its span from the plant history (/api/shift)
let span = "hour";  // the span the shift boxes show: "hour" or "shift"

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

function tileOf(key) {
  let tile = document.querySelector(`.tile[data-machine="${CSS.escape(key)}"]`);
  if (!tile) {
    tile = el("section", "tile");
    tile.dataset.machine = key;
    const title = el("h2");
    title.append(el("span", "name", key), el("span", "state"));
    tile.append(title, el("div", "report"), el("div", "stale"), el("div", "fault"), el("div", "numbers"),
                el("div", "stations"), el("div", "link"), el("div", "shift"), el("div", "io"));
    tile.addEventListener("click", () => { tile.classList.toggle("open"); render(key); });
    const tiles = document.getElementById("tiles");
    const after = [...tiles.querySelectorAll(".tile")].find(t => t.dataset.machine > key);
    tiles.insertBefore(tile, after || null);  // in the order of their names
    document.getElementById("empty")?.remove();
  }
  return tile;
}

const now = () => Date.now() / 1000;
const isNumber = (x) => typeof x === "number" && Number.isFinite(x);
const fixed = (x, digits) => isNumber(x) ? x.toFixed(digits) : null;
const count = (x) => isNumber(x) ? String(x) : "0";
const clock = (t) => isNumber(t) ? new Date(t * 1000).toLocaleTimeString() : "?";
const text = (x) => typeof x === "string" ? x : "";

function heartbeatLate(m) {
  const beat = m.heartbeat;
  return !!(beat && isNumber(beat.interval) && now() - beat.received > 3 * beat.interval + 2);
}

// A machine is offline when it said so, when the broker is away, or when its heartbeat is late.
function stateOf(m) {
  const state = m.state && typeof m.state.state === "string" ? m.state.state : "offline";
  if (!brokerUp) return "offline";
  if (state !== "offline" && heartbeatLate(m)) return "offline";
  return state;
}

// Figures are stale when they cannot be refreshed: the broker is away or the machine fell silent.
function staleText(m) {
  if (!m.counters && !m.state) return "";
  if (!brokerUp) return `last known figures: no news since ${clock(awaySince)}`;
  if (m.state?.state !== "offline" && heartbeatLate(m))
    return `last known figures: no heartbeat since ${clock(m.heartbeat.received)}`;
  return "";
}

function faultText(f) {
  if (!f || !(f.message || f.type)) return "";
  const what = `${text(f.message)} (${text(f.type) || "fault"}) at ${clock(f.raised)}`;
  return f.active ? `fault: ${what}` : `last fault: ${what}, cleared${isNumber(f.cleared) ? " " + clock(f.cleared) : ""}`;
}

function render(key) {
  const tile = tileOf(key);
  try {
    renderTile(tile, machines[key] || {});
  } catch (error) {  // a report the checks let through, rendered wrongly: this tile says so, the others go on
    tile.classList.add("bad");
    tile.querySelector(".report").textContent = `bad report: ${error}`;
    console.error("plant page: tile", key, error);
  }
}

function renderTile(tile, m) {
  const state = stateOf(m);
  const stale = staleText(m);
  const bad = Object.entries(m.bad || {}).map(([kind, reason]) => reason || kind);
  tile.className = `tile ${state}` + (stale ? " stale" : "") + (bad.length ? " bad" : "") +
    (tile.classList.contains("open") ? " open" : "");
  tile.querySelector(".state").textContent = state;
  tile.querySelector(".report").textContent = bad.length ? `bad report: ${bad.join("; ")}` : "";
  tile.querySelector(".stale").textContent = stale;
  const fault = tile.querySelector(".fault");
  fault.textContent = faultText(m.fault);
  fault.classList.toggle("cleared", !!m.fault && !m.fault.active);
  const c = m.counters || {};
  const cycle = fixed(c.cycle_time, 2) != null ? `cycle ${fixed(c.cycle_time, 2)} s` : "cycle –";
  const mean = fixed(c.cycle_time_mean, 2) != null ? ` (mean ${fixed(c.cycle_time_mean, 2)} s)` : "";
  tile.querySelector(".numbers").textContent = `parts ${count(c.cycles)} · ${cycle}${mean} · faults ${count(c.faults)}`;
  const stations = m.stations && m.stations.stations && typeof m.stations.stations === "object" ? m.stations.stations : {};
  tile.querySelector(".stations").replaceChildren(...Object.entries(stations).map(
    ([name, s]) => el("span", `station ${text(s)}`, `${name}: ${text(s)}`)));
  tile.querySelector(".link").textContent = linkText(c);
  drawShift(tile.querySelector(".shift"), shifts[tile.dataset.machine], m.oee, span);
  if (tile.classList.contains("open")) renderIo(tile.querySelector(".io"), m);
}

function linkText(c) {
  const h = c.link;
  if (!h || typeof h !== "object") return "link: no health reported";
  const parts = [];
  if (isNumber(h.transactions)) parts.push(`${h.transactions} transactions`);
  parts.push(`${count(c.link_failures)} failures`);
  const since = [h.seconds_since_good, h.since_last_good, h.seconds_since_last_good].find(isNumber);
  if (since != null) parts.push(`last good ${since.toFixed(1)} s ago`);
  if (h.last_error) parts.push(`last error: ${text(h.last_error)}`);
  return "link: " + parts.join(", ");
}

function renderIo(box, m) {
  const io = m.io, info = m.info || {};
  if (!io) { box.textContent = "no I/O reported yet"; return; }
  const labels = info.labels && typeof info.labels === "object" ? info.labels : {};
  const table = el("table");
  for (const [area, words, names] of [["X", io.x, info.x_names], ["Y", io.y, info.y_names]]) {
    (Array.isArray(words) ? words : []).forEach((word, w) => {
      if (!isNumber(word)) return;
      const row = el("tr");
      row.append(el("td", "", `${area} word ${w}`), el("td", "", "0x" + word.toString(16).padStart(4, "0")));
      table.append(row);
      for (let b = 0; b < 16; b++) {
        const given = Array.isArray(names) ? names[16 * w + b] : undefined;
        const name = typeof given === "string" ? given : `${area}${16 * w + b}`;
        const label = text(labels[name]);
        const on = (word >> b & 1) === 1;
        if (!label && !on) continue;  // labelled bits always, others when on
        const bitRow = el("tr", `bit ${on ? "on" : "off"}`);
        bitRow.append(el("td", "", name), el("td", "", (on ? "1 " : "0 ") + label));
        table.append(bitRow);
      }
    });
  }
  box.replaceChildren(table);
}

// The last known figures stay when the broker (or the page server) is away; they are shown stale.
function setBroker(up, why) {
  if (!up && brokerUp) awaySince = now();
  if (!up && awaySince == null) awaySince = now();
  brokerUp = up;
  const b = document.getElementById("broker");
  b.className = "broker " + (up ? "up" : "down");
  b.textContent = up ? "broker connected" : why || "broker unreachable: machines shown offline, figures as last known";
  Object.keys(machines).forEach(render);
}

function summarise() {
  const counts = {};
  Object.keys(machines).forEach(k => { const s = stateOf(machines[k]); counts[s] = (counts[s] || 0) + 1; });
  document.getElementById("summary").textContent =
    Object.entries(counts).map(([s, n]) => `${n} ${s}`).join(" · ");
}

function handle(event) {
  if (!event || typeof event !== "object") return;
  if (event.type === "snapshot") {
    for (const key of Object.keys(machines)) delete machines[key];
    for (const [key, m] of Object.entries(event.machines || {})) {
      machines[key] = Object.assign(Object.create(null), m);
      if (m && m.heartbeat && typeof m.heartbeat === "object") m.heartbeat.received = now();
    }
    setBroker(!!event.broker);
  } else if (event.type === "broker") {
    setBroker(!!event.up);
  } else if (event.type === "update" || event.type === "bad") {
    if (typeof event.machine !== "string" || typeof event.kind !== "string" || event.kind === "bad") return;
    const m = (machines[event.machine] ||= Object.create(null));
    if (typeof m.bad !== "object" || m.bad === null) m.bad = Object.create(null);
    const bad = m.bad;
    if (event.type === "bad") {
      bad[event.kind] = text(event.reason);
    } else {
      delete bad[event.kind];
      const p = event.payload;
      if (p == null) delete m[event.kind];
      else {
        if (event.kind === "heartbeat" && typeof p === "object") p.received = now();  // our clock, not the cell's
        m[event.kind] = p;
      }
    }
    render(event.machine);
  }
  summarise();
}

// The shift boxes come from the plant history: asked again every few seconds, and soon after a state or fault,
// but never more than once every two seconds, however busy the plant (one answer holds every machine's shift).
let shiftTimer = null, shiftDue = 0, shiftAsked = 0, shiftRequests = 0;
function scheduleShifts(delay) {
  const at = Math.max(Date.now() + delay, shiftAsked + 2000);
  if (shiftTimer !== null && shiftDue <= at) return;  // one is due sooner already
  clearTimeout(shiftTimer);
  shiftDue = at;
  shiftTimer = setTimeout(loadShifts, at - Date.now());
}

async function loadShifts() {
  clearTimeout(shiftTimer);
  shiftTimer = null;
  shiftAsked = Date.now();
  const mine = ++shiftRequests;
  try {
    const answer = await fetch(`/api/shift?span=${span}`);
    const body = await answer.json();
    if (mine !== shiftRequests) return;  // a newer request (another span) answers instead
    const found = body && typeof body.machines === "object" && body.machines ? body.machines : {};
    for (const key of Object.keys(shifts)) delete shifts[key];
    for (const [key, shift] of Object.entries(found)) {
      shifts[key] = shift;
      if (!machines[key]) machines[key] = Object.create(null);  // known to the history only: shown offline
    }
    document.getElementById("history").textContent = answer.ok ? "" : text(body && body.error);
  } catch (error) {
    document.getElementById("history").textContent = "plant history unreachable";
  }
  Object.keys(machines).forEach(render);
  summarise();
  scheduleShifts(5000);
}

function soonLoadShifts() {
  scheduleShifts(700);  // the history writes in batches of half a second
}

function chooseSpan(chosen) {
  span = chosen;
  document.querySelectorAll("#span button").forEach(b => b.classList.toggle("chosen", b.dataset.span === span));
  shiftAsked = 0;  // the operator asked: at once
  scheduleShifts(0);
}

function connect() {
  const source = new EventSource("/events");
  source.onmessage = (message) => {
    let event;
    try {
      event = JSON.parse(message.data);
    } catch (error) {
      console.error("plant page: an event that is not JSON", error);
      return;
    }
    handle(event);
    if (event && (event.kind === "state" || event.kind === "fault" || event.type === "snapshot")) soonLoadShifts();
  };
  source.onerror = () => setBroker(false, "page server unreachable: retrying… (figures as last known)");
}

setInterval(() => { Object.keys(machines).forEach(render); summarise(); }, 1000);  // late heartbeats
document.querySelectorAll("#span button").forEach(b => b.addEventListener("click", () => chooseSpan(b.dataset.span)));
connect();
loadShifts();
