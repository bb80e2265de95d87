// The target page of `tq calibrate --show`, put full screen on the screen
// being calibrated (the projector's): one target at a time, drawn large
// where the person is to touch it, the pen while it is down, the reason a
// touch was refused, and the result. The command's state comes from /state;
// the person's Back, Redo and Done go to it as POSTs.
'use strict';

const tq = (window.tqCalibrate = {
  state: null,     // the command's latest state
  connected: false,
  reply: '',       // what the command answered to a request it refused
  done: false,     // Done was taken
  drawn: null,     // what the last frame drew, for the tests
});

const canvas = document.getElementById('targets');
const context = canvas.getContext('2d');
const byId = (id) => document.getElementById(id);

// A pixel of the calibrated screen in this window: placed by its share of
// the screen's width and height, so that on that screen, full screen, it
// lands on that very pixel, and in a smaller window every target still
// sits in its corner.
function place(point) {
  const screen = tq.state.screen;
  return { x: (point[0] / screen[0]) * innerWidth, y: (point[1] / screen[1]) * innerHeight };
}

// Large enough to find from a step back, small enough not to hide the mark.
function targetRadius() {
  return Math.max(28, Math.min(innerWidth, innerHeight) * 0.06);
}

function ring(at, radius) {
  context.beginPath();
  context.arc(at.x, at.y, radius, 0, 2 * Math.PI);
  context.stroke();
}

function drawTarget(at, radius, colour, width) {
  context.strokeStyle = colour;
  context.fillStyle = colour;
  context.lineWidth = width;
  ring(at, radius);
  ring(at, radius * 0.5);
  context.beginPath();
  context.moveTo(at.x - radius * 1.5, at.y);
  context.lineTo(at.x + radius * 1.5, at.y);
  context.moveTo(at.x, at.y - radius * 1.5);
  context.lineTo(at.x, at.y + radius * 1.5);
  context.stroke();
  context.beginPath();
  context.arc(at.x, at.y, Math.max(3, width + 1), 0, 2 * Math.PI);
  context.fill();
}

function drawTrace(trace) {
  if (trace.length === 0) return;
  const points = trace.map(place);
  context.strokeStyle = '#4dd8ff';
  context.lineWidth = 4;
  context.lineCap = 'round';
  context.lineJoin = 'round';
  context.beginPath();
  context.moveTo(points[0].x, points[0].y);
  for (const p of points) context.lineTo(p.x, p.y);
  context.stroke();
  ring(points[points.length - 1], 10);
}

function dot(at, radius, colour) {
  context.fillStyle = colour;
  context.beginPath();
  context.arc(at.x, at.y, radius, 0, 2 * Math.PI);
  context.fill();
}

function show(id, text) {
  const element = byId(id);
  element.hidden = !text;
  if (text) element.textContent = text;
}

// Whether this window is the whole calibrated screen: else the targets are
// only where they would be, and the person is told so.
function windowProblem(state) {
  const ratio = window.devicePixelRatio || 1;
  const width = Math.round(innerWidth * ratio), height = Math.round(innerHeight * ratio);
  if (Math.abs(width - state.screen[0]) <= 2 && Math.abs(height - state.screen[1]) <= 2) return '';
  return `This window is ${width}\u00d7${height} pixels, the screen being calibrated ` +
    `${state.screen[0]}\u00d7${state.screen[1]}: put the page full screen on that screen ` +
    '(Full screen, or F11), or the targets are not where the pen will land.';
}

function render() {
  const ratio = window.devicePixelRatio || 1;
  const width = Math.round(innerWidth * ratio), height = Math.round(innerHeight * ratio);
  if (canvas.width !== width || canvas.height !== height) {
    canvas.width = width;
    canvas.height = height;
  }
  context.setTransform(ratio, 0, 0, ratio, 0, 0);
  context.clearRect(0, 0, innerWidth, innerHeight);
  const state = tq.state;
  byId('status').textContent = tq.connected ? '' :
    state && (state.finished || tq.done) ? 'tq calibrate has ended' :
    state ? 'tq calibrate does not answer; trying again' : 'connecting';
  byId('fullscreen').hidden = !document.fullscreenEnabled || !!document.fullscreenElement;
  if (!state) return;

  const complete = state.asked >= 4;
  const radius = targetRadius();
  let drawn = { asked: state.asked, target: null, radius };
  const finished = state.finished || tq.done;
  if (finished) {
    show('ask', `Done: the calibration is in ${state.saved}. This page can be closed.`);
  } else if (!complete) {
    const at = place(state.targets[state.asked]);
    drawTarget(at, radius, '#ffffff', 3);
    drawn.target = [at.x, at.y];
    show('ask', `Target ${state.asked + 1} of 4: touch the middle of the ${state.corners[state.asked]} ` +
      'mark with the pen, then lift it');
  } else {
    for (let i = 0; i < 4; ++i) {
      drawTarget(place(state.targets[i]), radius * 0.6, '#808080', 2);
      if (state.mapped) dot(place(state.mapped[i]), 8, '#3ddc84');
    }
    show('ask', 'All four targets are in. Write on the board to try it: the line should follow the pen.');
  }
  if (!finished && (state.pen.down || complete)) drawTrace(state.pen.trace);
  show('pen', !complete && state.pen.down ? 'touching\u2026' : '');
  const refused = !complete && state.refused ?
    `Refused: ${state.refused}` + (state.startedOver ? '. Starting over from the first target.' : '') : '';
  show('refused', tq.reply || refused);
  show('saved', state.saved ? `Saved to ${state.saved}` +
    (complete ? '' : ' (it keeps the calibration made before, until all four are in again)') : '');
  const touchedBefore = state.touched.slice(0, Math.min(state.asked, 4)).some((t) => t);
  byId('back').hidden = finished || complete || !touchedBefore;
  byId('redo').hidden = finished || !complete;
  byId('done').hidden = finished || !complete || !state.saved;
  show('notice', finished ? '' : windowProblem(state));
  tq.drawn = drawn;
}

let frameAsked = false;
function schedule() {
  if (frameAsked) return;
  frameAsked = true;
  requestAnimationFrame(() => {
    frameAsked = false;
    render();
  });
}

// The command's answer to a request it refused is shown until the next one.
function post(path) {
  fetch(path, { method: 'POST', cache: 'no-store' })
    .then((response) => response.text().then((text) => {
      tq.reply = response.ok ? '' : text.trim();
      if (response.ok && path === '/done') tq.done = true;
      schedule();
    }))
    .catch(() => {
      tq.reply = 'tq calibrate does not answer';
      schedule();
    });
}

function fullScreen() {
  if (document.fullscreenEnabled && !document.fullscreenElement) {
    document.documentElement.requestFullscreen().catch(() => {});
  }
}

byId('back').addEventListener('click', () => post('/back'));
byId('done').addEventListener('click', () => post('/done'));
byId('fullscreen').addEventListener('click', fullScreen);
for (const button of byId('redo').querySelectorAll('button')) {
  button.addEventListener('click', () => post('/redo/' + button.dataset.target));
}

document.addEventListener('keydown', (event) => {
  const state = tq.state;
  if (!state || state.finished || tq.done || event.ctrlKey || event.altKey || event.metaKey) return;
  const complete = state.asked >= 4;
  if (event.key === 'Backspace' || event.key === 'ArrowLeft') {
    if (!complete) post('/back');
  } else if (event.key >= '1' && event.key <= '4') {
    post('/redo/' + event.key);
  } else if (event.key === 'Enter' && complete && event.target === document.body) {
    post('/done');
  } else if (event.key === 'f' || event.key === 'F') {
    fullScreen();
  } else {
    return;
  }
  event.preventDefault();
});

function connect() {
  const source = new EventSource('/state');
  source.onopen = () => {
    tq.connected = true;
    schedule();
  };
  source.onmessage = (event) => {
    const before = tq.state;
    tq.state = JSON.parse(event.data);
    if (before && before.asked !== tq.state.asked) tq.reply = '';
    tq.connected = true;
    schedule();
  };
  source.onerror = () => {
    tq.connected = false;
    // The command ended after Done: nothing to come back to.
    if (tq.state && (tq.state.finished || tq.done)) source.close();
    schedule();
  };
}

addEventListener('resize', schedule);
document.addEventListener('fullscreenchange', schedule);
connect();
schedule();
