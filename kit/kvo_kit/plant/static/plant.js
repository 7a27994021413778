// The plant page: keeps one tile per machine from the server's event stream.
"use strict";

const machines = {};  // "line/machine" -> {kind: payload}
let brokerUp = false;

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
    tile.append(title, el("div", "fault"), el("div", "numbers"), el("div", "stations"), el("div", "link"),
                el("div", "io"));
    tile.addEventListener("click", () => { tile.classList.toggle("open"); render(key); });
    const tiles = document.getElementById("tiles");
    const after = [...tiles.querySelectorAll(".tile")].find(t => t.dataset.machine > key);
    tiles.insertBefore(tile, after || null);  // in the order of their names
    document.getElementById("empty")?.remove();
  }
  return tile;
}

// A machine is offline when it said so, when the broker is away, or when its heartbeat is late.
function stateOf(m) {
  const state = m.state ? m.state.state : "offline";
  if (!brokerUp) return "offline";
  const beat = m.heartbeat;
  if (state !== "offline" && beat && Date.now() / 1000 - beat.received > 3 * beat.interval + 2) return "offline";
  return state;
}

function render(key) {
  const m = machines[key] || {};
  const tile = tileOf(key);
  const state = stateOf(m);
  tile.className = `tile ${state}` + (tile.classList.contains("open") ? " open" : "");
  tile.querySelector(".state").textContent = state;
  const fault = m.fault && m.fault.active && state !== "offline" ? m.fault : null;
  tile.querySelector(".fault").textContent = fault ? `${fault.message} (${fault.type})` : "";
  const c = m.counters || {};
  const cycle = c.cycle_time != null ? `cycle ${c.cycle_time.toFixed(2)} s` : "cycle –";
  const mean = c.cycle_time_mean != null ? ` (mean ${c.cycle_time_mean.toFixed(2)} s)` : "";
  tile.querySelector(".numbers").textContent =
    `parts ${c.cycles ?? 0} · ${cycle}${mean} · faults ${c.faults ?? 0}`;
  const stations = tile.querySelector(".stations");
  stations.replaceChildren(...Object.entries((m.stations || {}).stations || {}).map(
    ([name, s]) => el("span", `station ${s}`, `${name}: ${s}`)));
  tile.querySelector(".link").textContent = linkText(c);
  if (tile.classList.contains("open")) renderIo(tile.querySelector(".io"), m);
}

function linkText(c) {
  const h = c.link;
  if (!h) return "link: no health reported";
  const parts = [];
  if (h.transactions != null) parts.push(`${h.transactions} transactions`);
  parts.push(`${c.link_failures ?? 0} failures`);
  const since = h.seconds_since_good ?? h.since_last_good ?? h.seconds_since_last_good;
  if (since != null) parts.push(`last good ${Number(since).toFixed(1)} s ago`);
  if (h.last_error) parts.push(`last error: ${h.last_error}`);
  return "link: " + parts.join(", ");
}

function renderIo(box, m) {
  const io = m.io, info = m.info || {};
  if (!io) { box.textContent = "no I/O reported yet"; return; }
  const table = el("table");
  for (const [area, words, names] of [["X", io.x, info.x_names], ["Y", io.y, info.y_names]]) {
    words.forEach((word, w) => {
      const row = el("tr");
      row.append(el("td", "", `${area} word ${w}`), el("td", "", "0x" + word.toString(16).padStart(4, "0")));
      table.append(row);
      for (let b = 0; b < 16; b++) {
        const name = names ? names[16 * w + b] : `${area}${16 * w + b}`;
        const label = (info.labels || {})[name];
        if (!label && !(word >> b & 1)) continue;  // labelled bits always, others when on
        const on = (word >> b & 1) === 1;
        const bitRow = el("tr", `bit ${on ? "on" : "off"}`);
        bitRow.append(el("td", "", name), el("td", "", (on ? "1 " : "0 ") + (label || "")));
        table.append(bitRow);
      }
    });
  }
  box.replaceChildren(table);
}

function setBroker(up) {
  brokerUp = up;
  const b = document.getElementById("broker");
  b.className = "broker " + (up ? "up" : "down");
  b.textContent = up ? "broker connected" : "broker unreachable: machines shown offline";
  if (!up) for (const key of Object.keys(machines)) machines[key] = {};
  Object.keys(machines).forEach(render);
}

function summarise() {
  const counts = {};
  Object.keys(machines).forEach(k => { const s = stateOf(machines[k]); counts[s] = (counts[s] || 0) + 1; });
  document.getElementById("summary").textContent =
    Object.entries(counts).map(([s, n]) => `${n} ${s}`).join(" · ");
}

function connect() {
  const source = new EventSource("/events");
  source.onmessage = (message) => {
    const event = JSON.parse(message.data);
    if (event.type === "snapshot") {
      for (const key of Object.keys(machines)) delete machines[key];
      Object.assign(machines, event.machines);
      for (const m of Object.values(machines)) if (m.heartbeat) m.heartbeat.received = Date.now() / 1000;
      setBroker(event.broker);
    } else if (event.type === "broker") {
      setBroker(event.up);
    } else if (event.type === "update") {
      if (event.kind === "heartbeat") event.payload.received = Date.now() / 1000;  // our clock, not the cell's
      (machines[event.machine] ||= {})[event.kind] = event.payload;
      render(event.machine);
    }
    summarise();
  };
  source.onerror = () => { document.getElementById("broker").textContent = "page server unreachable: retrying…"; };
}

setInterval(() => { Object.keys(machines).forEach(render); summarise(); }, 1000);  // late heartbeats
connect();
