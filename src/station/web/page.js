// The station's page: slot tiles kept live over a WebSocket, the records, the line.
// Everything a unit reports is put into the page as text (textContent), never as markup.
"use strict";

const tiles = new Map(); // slot index -> {el, data, at}
const latencies = [];    // ms from the station seeing a runner's event to its tile drawn
window.trmLatencies = latencies;
window.trmFeedBytes = 0; // what the live feed has brought
let socket = null;

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

function duration(s) {
  s = Math.max(0, Math.floor(s));
  if (s < 60) return s + " s";
  if (s < 3600) return Math.floor(s / 60) + " min " + (s % 60) + " s";
  return Math.floor(s / 3600) + " h " + Math.floor((s % 3600) / 60) + " min";
}

// Updating and removed show as such; a slot whose unit has ended keeps its verdict's
// colour (ok or failed) until the next unit begins, unplugged or not.
function tileClass(d) {
  if (d.state === "updating" || d.state === "removed") return d.state;
  if (d.state === "stopped") return "failed";
  if (!d.last_verdict) return "waiting";
  return (d.last_tone === "good" ? "ok" : "failed") + " " + d.state;
}

function stateText(d) {
  if ((d.state === "unplug" || d.state === "waiting") && d.last_verdict) return d.last_verdict;
  return d.state;
}

function phaseText(d) {
  if (d.state === "updating" || d.state === "removed") return d.phase || "";
  if (d.state === "unplug") return "unplug the unit";
  return d.last_verdict ? "free: waiting for the next unit" : "";
}

function makeTile() {
  const t = el("div", "tile");
  const head = el("div", "head");
  head.append(el("span", "label"), el("span", "port"));
  const bar = el("div", "bar");
  bar.append(el("div"));
  t.append(head, el("div", "state"), el("div", "phase"), bar, el("div", "serial"),
           el("div", "elapsed"), el("div", "verdict"), el("div", "cure"));
  return t;
}

function drawTile(entry) {
  const d = entry.data, t = entry.el, q = (c) => t.querySelector("." + c);
  t.className = "tile " + tileClass(d);
  t.dataset.verdict = d.last_verdict || "";
  t.dataset.state = d.state;
  q("label").textContent = d.slot;
  q("port").textContent = "port " + d.port;
  q("state").textContent = stateText(d);
  q("phase").textContent = phaseText(d);
  const pct = d.state === "updating" && d.percent >= 0 ? d.percent
    : d.state !== "removed" && d.last_tone === "good" ? 100 : 0;
  q("bar").firstChild.style.width = pct + "%";
  q("bar").dataset.percent = pct;
  q("serial").textContent = d.serial ? "serial " + d.serial : "";
  q("verdict").textContent = d.message || (d.last_verdict ? "last: " + d.last_verdict : "");
  q("cure").textContent = d.cure || "";
  tickTile(entry);
}

function tickTile(entry) {
  const d = entry.data, since = (Date.now() - entry.at) / 1000;
  let text = "";
  if (d.state === "updating" && d.elapsed_s !== undefined) text = duration(d.elapsed_s + since);
  else if (d.state === "removed" && d.removed_s !== undefined) text = "removed " + duration(d.removed_s + since) + " ago";
  else if (d.verdict_age_s !== undefined) text = d.last_verdict + " " + duration(d.verdict_age_s + since) + " ago";
  entry.el.querySelector(".elapsed").textContent = text;
}

function applySlots(list) {
  const box = document.getElementById("tiles");
  for (const d of list) {
    let entry = tiles.get(d.i);
    if (!entry) {
      entry = { el: makeTile() };
      tiles.set(d.i, entry);
      box.append(entry.el);
    }
    entry.data = d;
    entry.at = Date.now();
    drawTile(entry);
    if (d.t) latencies.push(Date.now() - d.t);
  }
  if (latencies.length > 10000) latencies.splice(0, 5000);
}

function applyTotals(m) {
  const t = m.totals || {};
  const set = (id, v) => { document.getElementById(id).textContent = v; };
  set("t-ok", t.ok || 0);
  set("t-failed", t.failed || 0);
  set("t-refused", t.refused || 0);
  set("t-running", t.running || 0);
  set("t-yield", (t.ok_per_hour || 0).toFixed(1));
  set("t-rate", (t.units_per_hour || 0).toFixed(1));
  const heldBox = document.getElementById("t-held-box");
  heldBox.hidden = m.held === undefined || m.held < 0;
  heldBox.classList.toggle("alert", m.held > 0);
  set("t-held", m.held > 0 ? m.held : 0);
  if (m.station) {
    document.getElementById("station-name").textContent = m.station;
    document.title = "TRM415 " + m.station;
  }
  document.getElementById("draining").hidden = !m.draining;
}

function connect() {
  const link = document.getElementById("link");
  socket = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/live");
  socket.onopen = () => { link.textContent = "live"; link.className = "link up"; };
  socket.onmessage = (ev) => {
    let m;
    window.trmFeedBytes += ev.data.length;
    try { m = JSON.parse(ev.data); } catch (e) { return; }
    if (m.type === "snapshot") {
      tiles.clear();
      document.getElementById("tiles").replaceChildren();
    }
    applySlots(m.slots || []);
    applyTotals(m);
  };
  socket.onclose = () => {
    link.textContent = "reconnecting";
    link.className = "link down";
    setTimeout(connect, 1000);
  };
}

// --- records
function recordsQuery() {
  const hash = location.hash.split("?")[1] || "";
  return new URLSearchParams(hash);
}

async function showRecords() {
  const q = recordsQuery();
  const form = document.getElementById("filters");
  for (const name of ["serial", "slot", "result", "since", "until", "station"]) {
    form.elements[name].value = q.get(name) || "";
  }
  const qs = q.toString() ? "?" + q.toString() : "";
  // The downloads hold every matching row, from the newest: not this page's cursor.
  const all = new URLSearchParams(q);
  all.delete("before");
  const allQs = all.toString() ? "?" + all.toString() : "";
  document.getElementById("csv").href = "/api/records.csv" + allQs;
  document.getElementById("json").href = "/api/records.jsonl" + allQs;
  const older = document.getElementById("older");
  older.hidden = true;
  const note = document.getElementById("records-note");
  const body = document.querySelector("#records tbody");
  let reply;
  try {
    const r = await fetch("/api/records" + qs);
    reply = await r.json();
    if (!r.ok) throw new Error(reply.error || r.statusText);
  } catch (e) {
    note.textContent = "cannot read the records: " + e.message;
    body.replaceChildren();
    return;
  }
  const rows = reply.records || [];
  note.textContent = rows.length + " of " + (reply.matching_more ? "more than " : "") +
    reply.matching + " matching rows, newest first" + (q.get("before") ? " (older page)" : "") +
    (q.get("serial") ? " \u2013 the history of serial " + q.get("serial") : "");
  if (reply.next) {
    const next = new URLSearchParams(q);
    next.set("before", reply.next);
    older.href = "#/records?" + next.toString();
    older.hidden = false;
  }
  body.replaceChildren(...rows.map((r) => {
    const tr = el("tr");
    tr.dataset.id = r.id;
    const serial = el("td");
    if (r.serial) {
      const a = el("a", "serial-link", r.serial);
      a.href = "#/records?serial=" + encodeURIComponent(r.serial);
      serial.append(a);
    }
    tr.append(el("td", "", r.start.replace("T", " ").replace("Z", "")), el("td", "", r.station || ""),
              el("td", "", r.slot || ""), serial,
              el("td", r.tone === "good" ? "result-ok" : r.tone === "bad" ? "result-failed" : "",
                 r.result),
              el("td", "", r.duration_s !== undefined ? r.duration_s.toFixed(1) + " s" : ""),
              el("td", "", r.message || ""));
    return tr;
  }));
}

// --- the line
let lineTimer = null;
async function showLine() {
  const note = document.getElementById("line-note");
  const box = document.getElementById("stations");
  let reply;
  try {
    const r = await fetch("/api/line");
    reply = await r.json();
    if (!r.ok) throw new Error(reply.error || r.statusText);
  } catch (e) {
    note.textContent = "cannot read the line: " + e.message;
    return;
  }
  note.textContent = reply.stations.length + " station(s) in " + reply.records +
    "; their updates of the last " + reply.window_hours + " h; a station with no heartbeat for " +
    reply.stale_after_s + " s is marked stale";
  box.replaceChildren(...reply.stations.map((s) => {
    const div = el("div", "station" + (s.stale ? " stale" : ""));
    div.dataset.name = s.name;
    const h = el("h2", "", s.name);
    const info = el("div", "", "host " + s.host + ", version " + s.version + ", heartbeat " +
      duration(s.heartbeat_age_s) + " ago");
    if (s.stale) info.append(" ", el("span", "stale-note", "STALE"));
    const totals = el("div", "", "ok " + s.ok + ", failed " + s.failed + ", refused " + s.refused +
      ", updating " + s.updating + " (of " + s.updates + " updates in " + reply.window_hours +
      " h)");
    const chips = el("div", "chips");
    for (const slot of s.slots) {
      chips.append(el("span", "chip" + (slot.updating ? " updating" : ""), slot.label + " " + slot.port));
    }
    div.append(h, info, totals, chips);
    return div;
  }));
}

function route() {
  const view = (location.hash.split("?")[0] || "#/").slice(2) || "slots";
  for (const v of ["slots", "records", "line"]) {
    document.getElementById("view-" + v).hidden = v !== view;
    document.getElementById("nav-" + v).classList.toggle("here", v === view);
  }
  clearInterval(lineTimer);
  if (view === "records") showRecords();
  if (view === "line") { showLine(); lineTimer = setInterval(showLine, 5000); }
}

document.addEventListener("DOMContentLoaded", () => {
  document.getElementById("filters").addEventListener("submit", (ev) => {
    ev.preventDefault();
    const q = new URLSearchParams();
    for (const [k, v] of new FormData(ev.target)) if (v) q.set(k, v);
    location.hash = "#/records" + (q.toString() ? "?" + q.toString() : "");
  });
  window.addEventListener("hashchange", route);
  setInterval(() => tiles.forEach(tickTile), 1000);
  route();
  connect();
});
