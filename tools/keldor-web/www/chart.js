// Keldor web console: the last 24 hours of the game server, kept by the web
// console from the pages' status refreshes and Keldor's announcements, drawn
// as plain SVG: players over time, the server's state as a strip beneath,
// and a marker for each start, stop, crash and map change.
'use strict';

const HISTORY_EVERY_MS = 30000;  // the web console keeps one sample per 30 s
const HISTORY_NOTES = /SERVER_(STARTED|STOPPED|CRASHED|HUNG)|MAP_CHANGED|NEXT_MAP_RUN|MAP_RESTARTED/;
const HISTORY_AGAIN_MS = 1100;  // the web console answers a page once a second
const MARKER_ROWS = 3;  // above the plot, for events too close to share one
const HISTORY_KINDS = {
  start: 'Start', stop: 'Stop', crash: 'Crash', hang: 'Not answering', map: 'Map change',
};
const HISTORY_STATES = {
  running: 'running', down: 'down (expected to run)', stopped: 'stopped', unknown: 'unknown',
};

let historyData = null;  // the last answer: {now, step, samples, events}
let historyAsked = 0;   // when the page last asked, by the page's clock
let historyWidth = 0;   // the width it was drawn at
let historyBusy = false, historyAgain = false;

function svg(tag, attrs = {}, ...children) {
  const node = document.createElementNS('http://www.w3.org/2000/svg', tag);
  for (const [name, value] of Object.entries(attrs)) node.setAttribute(name, value);
  for (const child of children) node.append(child);
  return node;
}

const clockTime = (t) => new Date(t * 1000).toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' });
const fullTime = (t) => new Date(t * 1000).toLocaleString();
const playersText = (n) => (n === null ? 'unknown' : n === 1 ? '1 player' : `${n} players`);

// Asked with every refresh of the page; goes to the web console only when
// there can be something new, or at once when `now` is set.
async function refreshHistory(now = false) {
  // While there is nothing yet, the first sample may come with any refresh.
  const empty = !historyData || historyData.samples.length === 0;
  if (!now && !empty && Date.now() - historyAsked < HISTORY_EVERY_MS) return;
  // One question at a time; what is asked meanwhile is asked once after it,
  // no sooner than the web console answers again.
  if (historyBusy) {
    historyAgain = true;
    return;
  }
  historyBusy = true;
  historyAsked = Date.now();
  const reply = await send('history', {}, true);
  historyBusy = false;
  if (historyAgain || reply.busy) {
    historyAgain = false;
    setTimeout(() => refreshHistory(true), HISTORY_AGAIN_MS);
  }
  if (!reply.ok) {
    if (reply.busy) return;
    $('history-message').textContent = describe(reply);
    // A Keldor this account may not see the status of shows no chart, not the last one's.
    if (reply.refused) {
      historyData = null;
      $('history-chart').replaceChildren();
      $('history-events').replaceChildren();
      $('history-events-count').textContent = '0';
    }
    return;
  }
  historyData = reply.data;
  drawHistory();
}

// An announcement that is an event of the history: drawn right away.
function historyNote(note) {
  if (HISTORY_NOTES.test(note.name || '')) refreshHistory(true);
}

// Tick spacing in seconds: the smallest that leaves room for its labels.
function tickStep(span, width) {
  const fit = Math.max(2, Math.floor(width / 70));
  const steps = [300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200];
  return steps.find((s) => span / s <= fit) || 86400;
}

// Runs of samples with a count, broken where no page was open to sample.
function segments(samples, gap) {
  const runs = [];
  let run = [];
  let before = null;
  for (const s of samples) {
    if (s[1] === null || (before && s[0] - before[0] > gap)) {
      if (run.length) runs.push(run);
      run = [];
    }
    if (s[1] !== null) run.push(s);
    before = s;
  }
  if (run.length) runs.push(run);
  return runs;
}

function summary(samples, events, hours) {
  const parts = [];
  const last = samples[samples.length - 1];
  if (last) {
    parts.push(`Now ${playersText(last[1])}${last[2] !== null ? ' of ' + last[2] : ''}, server ${HISTORY_STATES[last[3]] || last[3]}.`);
    const counts = samples.map((s) => s[1]).filter((n) => n !== null);
    if (counts.length) parts.push(`At most ${playersText(Math.max(...counts))}.`);
  } else {
    parts.push('No samples yet: they are taken while a console page is open.');
  }
  const byKind = {};
  for (const e of events) byKind[e.kind] = (byKind[e.kind] || 0) + 1;
  const told = Object.entries(byKind).map(([kind, n]) => `${n} × ${HISTORY_KINDS[kind] || kind}`);
  parts.push(told.length ? `Events: ${told.join(', ')}.` : 'No events.');
  return `Players over the last ${hours} hours. ${parts.join(' ')}`;
}

function drawHistory() {
  const box = $('history-chart');
  if (!historyData || !box) return;
  const width = Math.max(260, box.clientWidth);
  historyWidth = box.clientWidth;
  const height = width < 500 ? 190 : 220;
  const pad = { left: 30, right: 8, top: 8 + MARKER_ROWS * 13, bottom: 34 };
  const { now, step } = historyData;
  const samples = historyData.samples;
  const events = historyData.events;
  // At least the last hour, at most the last 24.
  const first = Math.min(now - 3600, ...samples.map((s) => s[0]), ...events.map((e) => e.time));
  const t0 = Math.max(now - 86400, first);
  const span = Math.max(1, now - t0);
  const plotW = width - pad.left - pad.right;
  const plotH = height - pad.top - pad.bottom;
  const x = (t) => pad.left + ((t - t0) / span) * plotW;
  const counts = samples.map((s) => s[1]).filter((n) => n !== null);
  const yMax = Math.max(4, Math.ceil(Math.max(0, ...counts) / 4) * 4);
  const y = (n) => pad.top + (1 - n / yMax) * plotH;
  const base = y(0);

  const hours = Math.max(1, Math.round(span / 3600));
  const label = summary(samples, events, hours);
  const chart = svg('svg', {
    viewBox: `0 0 ${width} ${height}`, width, height, role: 'img', 'aria-label': label,
    'data-samples': samples.length, 'data-events': events.length,
  }, svg('title', {}, label));

  // The grid and the players' scale.
  for (const n of [0, yMax / 2, yMax]) {
    chart.append(svg('line', { class: 'grid', x1: pad.left, x2: width - pad.right, y1: y(n), y2: y(n) }),
      svg('text', { class: 'axis', x: pad.left - 4, y: y(n) + 4, 'text-anchor': 'end' }, String(n)));
  }
  // Local times on the time axis, on whole steps of the local clock.
  const tick = tickStep(span, plotW);
  const offset = -new Date(t0 * 1000).getTimezoneOffset() * 60;
  for (let t = Math.ceil((t0 + offset) / tick) * tick - offset; t <= now; t += tick) {
    chart.append(svg('line', { class: 'tick', x1: x(t), x2: x(t), y1: base, y2: base + 4 }),
      svg('text', { class: 'axis', x: x(t), y: height - 4, 'text-anchor': 'middle' }, clockTime(t)));
  }

  // The server's state as a strip under the plot, one rectangle per run.
  const stripY = base + 6;
  for (let k = 0; k < samples.length;) {
    let end = k;
    while (end + 1 < samples.length && samples[end + 1][3] === samples[k][3] &&
           samples[end + 1][0] - samples[end][0] <= 3 * step) end++;
    const from = samples[k][0];
    const to = Math.min(now, samples[end][0] + step);
    chart.append(svg('rect', {
      class: 'state ' + samples[k][3], x: x(from), y: stripY, height: 5, width: Math.max(1, x(to) - x(from)),
    }, svg('title', {}, `${clockTime(from)}–${clockTime(to)}: server ${HISTORY_STATES[samples[k][3]] || samples[k][3]}`)));
    k = end + 1;
  }

  // Players: an area and its line, broken where nothing was sampled.
  for (const run of segments(samples, 3 * step)) {
    const points = run.map((s) => `${x(s[0]).toFixed(1)},${y(s[1]).toFixed(1)}`);
    if (run.length === 1) {
      chart.append(svg('circle', { class: 'players-dot', cx: x(run[0][0]), cy: y(run[0][1]), r: 3 }));
      continue;
    }
    chart.append(
      svg('path', { class: 'players-area', d: `M${x(run[0][0]).toFixed(1)},${base} L${points.join(' L')} L${x(run[run.length - 1][0]).toFixed(1)},${base} Z` }),
      svg('path', { class: 'players-line', d: `M${points.join(' L')}` }));
  }

  // The events: a line through the plot and a shape above it, each with its time and what.
  const shapes = {
    start: (cx, cy) => svg('path', { d: `M${cx - 5},${cy + 4} L${cx},${cy - 5} L${cx + 5},${cy + 4} Z` }),
    stop: (cx, cy) => svg('rect', { x: cx - 4, y: cy - 4, width: 8, height: 8 }),
    crash: (cx, cy) => svg('path', { d: `M${cx},${cy - 6} L${cx + 6},${cy} L${cx},${cy + 6} L${cx - 6},${cy} Z` }),
    map: (cx, cy) => svg('circle', { cx, cy, r: 4 }),
  };
  shapes.hang = shapes.crash;
  // Events close together stack their shapes in rows rather than hide each other.
  const rowEnds = [];
  for (const e of events) {
    const cx = x(e.time);
    let row = rowEnds.findIndex((end) => cx - end >= 12);
    if (row < 0) row = rowEnds.length < MARKER_ROWS ? rowEnds.length : MARKER_ROWS - 1;
    rowEnds[row] = cx;
    const cy = pad.top - 8 - row * 13;
    chart.append(svg('g', { class: 'marker ' + e.kind },
      svg('title', {}, `${fullTime(e.time)}: ${e.text}`),
      svg('line', { x1: cx, x2: cx, y1: cy, y2: base }),
      (shapes[e.kind] || shapes.map)(cx, cy)));
  }

  // A readout of the sample under the pointer.
  const cursor = svg('line', { class: 'cursor', y1: pad.top, y2: base, visibility: 'hidden' });
  chart.append(cursor);
  chart.addEventListener('pointermove', (event) => {
    const rect = chart.getBoundingClientRect();
    const t = t0 + ((event.clientX - rect.left) * (width / rect.width) - pad.left) / plotW * span;
    let near = null;
    for (const s of samples) if (!near || Math.abs(s[0] - t) < Math.abs(near[0] - t)) near = s;
    if (!near || Math.abs(near[0] - t) > 3 * step) return;
    cursor.setAttribute('x1', x(near[0]));
    cursor.setAttribute('x2', x(near[0]));
    cursor.setAttribute('visibility', 'visible');
    let map = '';
    for (const s of samples) { if (s[0] > near[0]) break; if (s.length > 4) map = s[4]; }
    $('history-readout').textContent = `${clockTime(near[0])}: ${playersText(near[1])}, server ${HISTORY_STATES[near[3]] || near[3]}${map ? ', ' + map : ''}`;
  });
  chart.addEventListener('pointerleave', () => {
    cursor.setAttribute('visibility', 'hidden');
    $('history-readout').textContent = '';
  });

  box.replaceChildren(chart);
  $('history-message').textContent = samples.length ? '' : 'No samples yet: they are taken while a console page is open.';
  $('history-events').replaceChildren(...events.slice().reverse().map((e) => el('li', { className: e.kind },
    el('time', { dateTime: new Date(e.time * 1000).toISOString(), textContent: fullTime(e.time) }),
    el('span', { className: 'kind', textContent: HISTORY_KINDS[e.kind] || e.kind }),
    el('span', { textContent: e.text }))));
  $('history-events-count').textContent = String(events.length);
}

// Redrawn to the panel's width as it changes (a phone turned, a window resized).
function watchHistoryWidth() {
  const box = $('history-chart');
  if (!box || typeof ResizeObserver === 'undefined') return;
  new ResizeObserver(() => {
    if (box.clientWidth !== historyWidth) drawHistory();
  }).observe(box);
}
