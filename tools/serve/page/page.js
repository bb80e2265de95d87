"use strict";
// A marker's width (2.5 mm, 5 board units), as the export draws it; the
// pens' colours come with the server's hello.
const lineWidth = 5;
const tq = {
  width: 1, height: 1, colours: ["#000000"], page: 1, shown: -1, connected: false, live: false, gone: false,
  reason: "", reachable: false, opened: false,
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

// A stroke is down, moves and up of one pen; the server sends no up without
// a down, and never the eraser's outline as ink.
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

// "[x0, y0, dx1, dy1, ...]" into points.
function points(deltas) {
  const out = [];
  let x = 0, y = 0;
  for (let i = 0; i + 1 < deltas.length; i += 2) { x += deltas[i]; y += deltas[i + 1]; out.push([x, y]); }
  return out;
}

// The page as it is now, for a viewer that joins: what the eraser left.
function snapshot(ev) {
  // A new session of the board brings its size along.
  if (ev.width) { tq.width = ev.width; tq.height = ev.height || 1; }
  resetPage(ev.page);
  for (const s of ev.strokes) {
    const p = points(s.deltas);
    tq.strokes.push({ pen: s.pen, points: p, order: tq.order++ });
    tq.pieces.push({ pen: s.pen, points: p });
  }
  if (ev.open) tq.open = { pen: ev.open.pen, points: points(ev.open.deltas) };
}

// The eraser's footprint: the server names the places of ink under it, and
// the pieces are cut there.
function erase(ev) {
  tq.footprints.push({ order: tq.order++, corners: ev.corners });
  const gone = new Set(ev.gone.map(p => p[0] + "," + p[1]));
  const pieces = [];
  for (const piece of tq.pieces) {
    let run = [];
    for (const p of piece.points) {
      if (!gone.has(p[0] + "," + p[1])) { run.push(p); continue; }
      if (run.length) pieces.push({ pen: piece.pen, points: run });
      run = [];
    }
    if (run.length) pieces.push({ pen: piece.pen, points: run });
  }
  tq.pieces = pieces;
}

function board(ev) {
  tq.connected = ev.connected; tq.live = ev.live; tq.gone = !!ev.gone; tq.reason = ev.reason || "";
}

function handle(ev) {
  switch (ev.type) {
    case "hello":
      tq.width = ev.width || 1; tq.height = ev.height || 1;
      if (ev.colours && ev.colours.length) tq.colours = ev.colours;
      board(ev);
      if (!ev.resume) resetPage(ev.page);
      break;
    case "snapshot": snapshot(ev); tq.snapshotAt = performance.now(); break;
    case "down": case "move": case "up": pen(ev); break;
    case "erase": erase(ev); break;
    case "page": closeStroke(); resetPage(ev.page); break;
    case "state": board(ev); break;
    case "colours": if (ev.colours && ev.colours.length) tq.colours = ev.colours; break;
  }
  dirty = true;
}

function showStatus() {
  const dot = document.getElementById("dot"), status = document.getElementById("status");
  let text = "live", kind = "live";
  // Until the stream first opens the page is only connecting, not in trouble.
  if (!tq.opened) { text = "connecting"; kind = "waiting"; }
  else if (!tq.reachable) { text = "server unreachable, reconnecting"; kind = "off"; }
  else if (tq.gone && !tq.connected) { text = "board gone, waiting for it"; kind = "off"; }
  else if (tq.gone) { text = "board gone: " + tq.reason; kind = "off"; }
  else if (!tq.connected) { text = "board not connected"; kind = "off"; }
  else if (!tq.live) { text = "board silent"; kind = "silent"; }
  dot.className = kind; status.textContent = text;
}

function showPages() {
  const bar = document.getElementById("pages");
  bar.textContent = "";
  // Pages count from 1, as the server's routes and tq export --page do.
  for (let k = 1; k <= tq.page; ++k) {
    const button = document.createElement("button");
    button.textContent = k === tq.page ? "page " + k + " (live)" : String(k);
    if (k === (tq.shown < 0 ? tq.page : tq.shown)) button.className = "shown";
    button.onclick = () => showEarlier(k === tq.page ? -1 : k);
    bar.appendChild(button);
  }
}

function showEarlier(k) {
  tq.shown = k;
  const earlier = document.getElementById("earlier");
  if (k > 0) document.getElementById("earlierImage").src = "/page/" + k + ".svg";
  earlier.style.display = k > 0 ? "block" : "none";
  showPages();
}

// Pen codes beyond the colours the server gave share them in turn.
function colour(pen) { return tq.colours[(pen >>> 0) % tq.colours.length]; }

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
      context.fillStyle = colour(piece.pen); context.fill();
    } else {
      context.strokeStyle = colour(piece.pen); context.stroke();
    }
  }
  // When the page joined was first drawn whole (ms since the page was asked for).
  if (tq.snapshotAt && !tq.paintedAt) tq.paintedAt = performance.now();
}

// The browser reconnects by itself while the stream merely broke; a stream
// it gave up on (the server was full, or answered while it went down) is
// opened anew a little later, from the last event this page saw.
function connect() {
  const last = tq.lastId ? "?lastEventId=" + encodeURIComponent(tq.lastId) : "";
  const source = new EventSource("/events" + last);
  tq.source = source;
  source.onopen = () => { tq.reachable = true; tq.opened = true; };
  source.onerror = () => {
    tq.reachable = false;
    if (source.readyState === EventSource.CLOSED) setTimeout(connect, 3000);
  };
  source.onmessage = (message) => {
    tq.reachable = true; tq.opened = true;
    if (message.lastEventId) tq.lastId = message.lastEventId;
    handle(JSON.parse(message.data));
    ++tq.events;
  };
}
connect();
showPages();
requestAnimationFrame(draw);
