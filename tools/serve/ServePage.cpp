// The page a viewer opens: the board's current page drawn on a canvas as the
// ink arrives, the earlier pages as their exported pictures, and whether the
// board is there. Everything it needs is in this one file; it asks the server
// only for /events and /page/K.svg.
#include "serve/ServePage.h"

namespace tqtool {

const char kServePage[] = R"page(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Whiteboard</title>
<style>
html, body { margin: 0; height: 100%; overflow: hidden; background: #dfe3e8; font: 14px sans-serif; }
#board { position: fixed; left: 0; top: 0; width: 100%; height: 100%; display: block; }
#earlier { position: fixed; inset: 0; display: none; background: #dfe3e8; }
#earlier img { width: 100%; height: 100%; object-fit: contain; }
#bar { position: fixed; right: 8px; bottom: 8px; display: flex; gap: 6px; align-items: center;
       padding: 4px 8px; background: rgba(255,255,255,0.92); border: 1px solid #c4c9cf; border-radius: 6px; }
#dot { width: 10px; height: 10px; border-radius: 50%; background: #9aa0a6; }
#dot.live { background: #2e7d32; } #dot.silent { background: #f9a825; } #dot.off { background: #c62828; }
#pages button { font: inherit; border: 1px solid #c4c9cf; background: #fff; border-radius: 4px; cursor: pointer; }
#pages button.shown { background: #1f5fbf; color: #fff; }
</style>
</head>
<body>
<canvas id="board"></canvas>
<div id="earlier"><img id="earlierImage" alt="an earlier page"></div>
<div id="bar"><span id="dot"></span><span id="status">connecting</span><span id="pages"></span></div>
<script>
"use strict";
// The pens' colours and a marker's width (2.5 mm, 5 board units), as the
// export draws them.
const colours = ["#1b1b1b", "#1f5fbf", "#c0392b", "#1e8449", "#8e44ad", "#d35400", "#117a65", "#7d6608"];
const lineWidth = 5;
const tq = {
  width: 1, height: 1, page: 0, shown: -1, connected: false, live: false, reachable: false,
  strokes: [], footprints: [], pieces: [], open: null, order: 0, events: 0,
  frame: { left: 0, top: 0, scale: 1 }
};
window.tq = tq;
const canvas = document.getElementById("board");
const context = canvas.getContext("2d");
let dirty = true;

function resetPage(page) {
  tq.page = page; tq.strokes = []; tq.footprints = []; tq.pieces = []; tq.open = null; tq.order = 0;
  dirty = true; showPages();
}

function closeStroke() {
  const open = tq.open;
  tq.open = null;
  if (!open || open.points.length === 0) return;
  open.order = tq.order++;
  tq.strokes.push(open);
  tq.pieces.push({ pen: open.pen, points: open.points });
}

function pen(ev) {
  if (ev.type === "down") {
    closeStroke();
    tq.open = { pen: ev.pen, points: [[ev.x, ev.y]] };
  } else if (ev.type === "move") {
    if (!tq.open) tq.open = { pen: ev.pen, points: [] };
    tq.open.points.push([ev.x, ev.y]);
  } else {
    closeStroke();
  }
}

// Inside the footprint or on its edge: on one side of all four edges.
function inside(corners, p) {
  let positive = false, negative = false;
  for (let i = 0; i < 4; ++i) {
    const a = corners[i], b = corners[(i + 1) % 4];
    const cross = (b[0] - a[0]) * (p[1] - a[1]) - (b[1] - a[1]) * (p[0] - a[0]);
    if (cross > 0) positive = true;
    if (cross < 0) negative = true;
  }
  return !(positive && negative);
}

// What the eraser left: every stroke cut where a later footprint covers it.
function remaining() {
  const pieces = [];
  for (const stroke of tq.strokes) {
    let piece = [];
    for (const p of stroke.points) {
      const erased = tq.footprints.some(f => f.order > stroke.order && inside(f.corners, p));
      if (!erased) { piece.push(p); continue; }
      if (piece.length) pieces.push({ pen: stroke.pen, points: piece });
      piece = [];
    }
    if (piece.length) pieces.push({ pen: stroke.pen, points: piece });
  }
  return pieces;
}

// The stroke that just ended was the eraser's outline, not ink.
function erase(ev) {
  const last = tq.strokes.pop();
  tq.footprints.push({ order: last ? last.order : tq.order++, corners: ev.corners });
  tq.pieces = remaining();
}

function handle(ev) {
  switch (ev.type) {
    case "hello":
      tq.width = ev.width || 1; tq.height = ev.height || tq.width;
      tq.connected = ev.connected; tq.live = ev.live;
      if (!ev.resume) resetPage(ev.page);
      break;
    case "down": case "move": case "up": pen(ev); break;
    case "erase": erase(ev); break;
    case "page": closeStroke(); resetPage(ev.page); break;
    case "state": tq.connected = ev.connected; tq.live = ev.live; break;
  }
  dirty = true;
}

function showStatus() {
  const dot = document.getElementById("dot"), status = document.getElementById("status");
  let text = "live", kind = "live";
  if (!tq.reachable) { text = "server unreachable, reconnecting"; kind = "off"; }
  else if (!tq.connected) { text = "board not connected"; kind = "off"; }
  else if (!tq.live) { text = "board silent"; kind = "silent"; }
  dot.className = kind; status.textContent = text;
}

function showPages() {
  const bar = document.getElementById("pages");
  bar.textContent = "";
  for (let k = 0; k <= tq.page; ++k) {
    const button = document.createElement("button");
    button.textContent = k === tq.page ? "page " + (k + 1) + " (live)" : String(k + 1);
    if (k === (tq.shown < 0 ? tq.page : tq.shown)) button.className = "shown";
    button.onclick = () => showEarlier(k === tq.page ? -1 : k);
    bar.appendChild(button);
  }
}

function showEarlier(k) {
  tq.shown = k;
  const earlier = document.getElementById("earlier");
  if (k >= 0) document.getElementById("earlierImage").src = "/page/" + k + ".svg";
  earlier.style.display = k >= 0 ? "block" : "none";
  showPages();
}

function trace(points) {
  const f = tq.frame;
  if (points.length === 1) {
    context.moveTo(f.left + points[0][0] * f.scale + context.lineWidth / 2, f.top + points[0][1] * f.scale);
    context.arc(f.left + points[0][0] * f.scale, f.top + points[0][1] * f.scale, context.lineWidth / 2, 0, 2 * Math.PI);
    return;
  }
  context.moveTo(f.left + points[0][0] * f.scale, f.top + points[0][1] * f.scale);
  for (const p of points) context.lineTo(f.left + p[0] * f.scale, f.top + p[1] * f.scale);
}

function draw() {
  requestAnimationFrame(draw);
  showStatus();
  const ratio = window.devicePixelRatio || 1;
  const w = Math.round(canvas.clientWidth * ratio), h = Math.round(canvas.clientHeight * ratio);
  if (canvas.width !== w || canvas.height !== h) { canvas.width = w; canvas.height = h; dirty = true; }
  if (!dirty) return;
  dirty = false;
  const scale = Math.min(w / tq.width, h / tq.height);
  tq.frame = { left: (w - tq.width * scale) / 2, top: (h - tq.height * scale) / 2, scale: scale, ratio: ratio };
  context.fillStyle = "#dfe3e8";
  context.fillRect(0, 0, w, h);
  context.fillStyle = "#ffffff";
  context.fillRect(tq.frame.left, tq.frame.top, tq.width * scale, tq.height * scale);
  context.lineCap = "round"; context.lineJoin = "round";
  context.lineWidth = Math.max(1.5, lineWidth * scale);
  const pieces = tq.open ? tq.pieces.concat([tq.open]) : tq.pieces;
  for (const piece of pieces) {
    if (piece.points.length === 0) continue;
    context.beginPath();
    trace(piece.points);
    if (piece.points.length === 1) {
      context.fillStyle = colours[piece.pen & 7]; context.fill();
    } else {
      context.strokeStyle = colours[piece.pen & 7]; context.stroke();
    }
  }
}

// The browser reconnects by itself while the stream merely broke; a stream
// it gave up on (the server was full, or answered while it went down) is
// opened anew a little later, from the last event this page saw.
function connect() {
  const last = tq.lastId ? "?lastEventId=" + encodeURIComponent(tq.lastId) : "";
  const source = new EventSource("/events" + last);
  tq.source = source;
  source.onopen = () => { tq.reachable = true; };
  source.onerror = () => {
    tq.reachable = false;
    if (source.readyState === EventSource.CLOSED) setTimeout(connect, 3000);
  };
  source.onmessage = (message) => {
    tq.reachable = true;
    if (message.lastEventId) tq.lastId = message.lastEventId;
    handle(JSON.parse(message.data));
    ++tq.events;
  };
}
connect();
showPages();
requestAnimationFrame(draw);
</script>
</body>
</html>
)page";

}  // namespace tqtool
