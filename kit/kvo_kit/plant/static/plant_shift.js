// The shift of one machine, drawn from the plant history (/api/shift): a state
// timeline coloured by PackML state, OEE with its three factors, and the faults
// of the span as a Pareto (count and lost time per operator message).
// Pictures in SVG; everything a report brings is checked before it is drawn.
"use strict";

const SVG = "http://www.w3.org/2000/svg";
const STATE_COLOURS = {
  Execute: "#2e9d45", Idle: "#7cb342", Starting: "#9ccc65", Completing: "#9ccc65", Complete: "#26a69a",
  Resetting: "#64b5f6", Clearing: "#64b5f6", Unholding: "#64b5f6", Unsuspending: "#64b5f6",
  Held: "#fdd835", Holding: "#fbc02d", Suspended: "#ffb300", Suspending: "#ffa000",
  Stopped: "#78909c", Stopping: "#90a4ae", Aborted: "#d32f2f", Aborting: "#e57373",
  Offline: "#37474f", Undefined: "#bdbdbd",
};

function svg(tag, attrs, text) {
  const e = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, String(v));
  if (text !== undefined) e.textContent = text;
  return e;
}

const finite = (x) => typeof x === "number" && Number.isFinite(x);
const percent = (x) => finite(x) ? `${(100 * x).toFixed(1)} %` : "–";
const hhmm = (t) => finite(t) ? new Date(t * 1000).toLocaleTimeString([], {hour: "2-digit", minute: "2-digit"}) : "?";

function duration(seconds) {
  if (!finite(seconds)) return "?";
  if (seconds < 60) return `${seconds.toFixed(seconds < 10 ? 1 : 0)} s`;
  if (seconds < 3600) return `${Math.floor(seconds / 60)} min ${Math.round(seconds % 60)} s`;
  return `${Math.floor(seconds / 3600)} h ${Math.round(seconds % 3600 / 60)} min`;
}

function drawTimeline(shift) {
  const width = 1000, height = 22;
  const box = svg("svg", {class: "timeline", viewBox: `0 0 ${width} ${height}`, preserveAspectRatio: "none",
                          role: "img", "aria-label": "state timeline"});
  const from = shift.from, to = shift.to;
  const axis = document.createElement("div");
  axis.className = "axis";
  const whole = document.createElement("div");
  whole.append(box, axis);
  if (!finite(from) || !finite(to) || to <= from) return whole;
  const seen = new Set();
  const x = (t) => Math.max(0, Math.min(width, (t - from) / (to - from) * width));
  box.append(svg("rect", {x: 0, y: 0, width, height, fill: "#e4e6e9"}));
  for (const s of Array.isArray(shift.timeline) ? shift.timeline : []) {
    if (!s || !finite(s.from) || !finite(s.to) || typeof s.state !== "string") continue;
    const left = x(s.from), w = Math.max(x(s.to) - left, 1.5);  // a moment's state stays visible
    const stripe = svg("rect", {x: left, y: 0, width: w, height, fill: STATE_COLOURS[s.state] || "#bdbdbd",
                                class: "stripe", "data-state": s.state});
    stripe.append(svg("title", {}, `${s.state} ${hhmm(s.from)}–${hhmm(s.to)} (${duration(s.to - s.from)})`));
    box.append(stripe);
    seen.add(s.state);
  }
  const legend = document.createElement("div");
  legend.className = "legend";
  for (const state of Object.keys(STATE_COLOURS).filter(name => seen.has(name))) {  // always in one order
    const item = document.createElement("span");
    item.style.setProperty("--colour", STATE_COLOURS[state] || "#bdbdbd");
    item.textContent = state;
    legend.append(item);
  }
  const start = document.createElement("span"), end = document.createElement("span");
  const stamp = to - from < 600 ? (t) => new Date(t * 1000).toLocaleTimeString() : hhmm;  // a short span: seconds
  start.textContent = stamp(from);
  end.textContent = stamp(to);
  axis.append(start, end);
  whole.append(legend);
  return whole;
}

function drawOee(oee) {
  if (!oee || typeof oee !== "object" || !finite(oee.oee)) {
    const none = document.createElement("div");
    none.className = "none";
    none.textContent = "no OEE reported (the reporter needs the ideal cycle time)";
    return none;
  }
  const rows = [["OEE", oee && oee.oee], ["availability", oee && oee.availability],
                ["performance", oee && oee.performance], ["quality", oee && oee.quality]];
  const box = svg("svg", {class: "oee", viewBox: "0 0 300 64", role: "img", "aria-label": "OEE"});
  rows.forEach(([name, value], i) => {
    const y = i * 16;
    const share = finite(value) ? Math.max(0, Math.min(1, value)) : 0;
    const row = svg("g", {class: `factor ${name}`});
    row.append(svg("text", {x: 0, y: y + 11, class: i === 0 ? "label main" : "label"}, name),
               svg("rect", {x: 90, y: y + 2, width: 150, height: 11, fill: "#e4e6e9"}),
               svg("rect", {x: 90, y: y + 2, width: 150 * share, height: 11,
                            fill: i === 0 ? "#1565c0" : "#64b5f6"}),
               svg("text", {x: 298, y: y + 11, "text-anchor": "end", class: "value"}, percent(value)));
    box.append(row);
  });
  return box;
}

function drawPareto(causes) {
  const list = (Array.isArray(causes) ? causes : []).filter(c => c && typeof c.message === "string" && finite(c.count));
  const shown = list.slice(0, 6);
  const line = 30;
  const box = svg("svg", {class: "pareto", viewBox: `0 0 300 ${Math.max(shown.length, 1) * line}`,
                          role: "img", "aria-label": "faults by operator message"});
  if (!shown.length) {
    box.append(svg("text", {x: 0, y: 16, class: "none"}, "no fault in this span"));
    return box;
  }
  const most = Math.max(...shown.map(c => c.count));
  shown.forEach((c, i) => {
    const y = i * line;
    const cause = svg("g", {class: "cause", "data-message": c.message});
    const message = c.message || (typeof c.type === "string" ? c.type : "") || "fault";
    cause.append(svg("text", {x: 0, y: y + 11, class: "message"}, message.length > 44 ? message.slice(0, 43) + "…" : message),
                 svg("rect", {x: 0, y: y + 15, width: Math.max(170 * c.count / most, 3), height: 10, fill: "#d32f2f"}),
                 svg("text", {x: 298, y: y + 24, "text-anchor": "end", class: "value"},
                     `${c.count}× · ${duration(c.lost)} lost`));
    cause.append(svg("title", {}, `${c.message} (${typeof c.type === "string" ? c.type : "fault"}): ` +
                                  `${c.count} times, ${duration(c.lost)} lost`));
    box.append(cause);
  });
  return box;
}

// The shift box of a tile: timeline, OEE (the machine's live figures when it sends them), Pareto.
function drawShift(box, shift, liveOee, span) {
  // The tiles are rendered every second: the pictures are drawn again only when what they show changed.
  const drawn = box.kvoDrawn;
  if (drawn && drawn.shift === shift && drawn.liveOee === liveOee && drawn.span === span) return;
  box.kvoDrawn = {shift, liveOee, span};
  if (!shift || typeof shift !== "object") {
    box.replaceChildren();
    return;
  }
  const live = liveOee && typeof liveOee === "object" ? liveOee[span] : null;
  const oee = live && typeof live === "object" ? live : shift.oee && shift.oee[span];
  const title = (text) => { const h = document.createElement("h3"); h.textContent = text; return h; };
  box.replaceChildren(
    title(span === "hour" ? "last hour" : `shift since ${hhmm(shift.from)}`), drawTimeline(shift),
    title("OEE"), drawOee(oee),
    title("faults"), drawPareto(shift.pareto));
}
