// Keldor web console: the login, then one WebSocket that carries commands to
// Keldor and brings back its answers and notifications as they happen.
'use strict';

const $ = (id) => document.getElementById(id);
// The rotation and the schedule have panels of their own (maps.js, schedule.js).
const FILES = [
  ['announcements', 'Announcements'],
  ['bannedwords', 'Banned words'],
];
const REFRESH_MS = 5000;

let token = document.querySelector('meta[name="login-token"]').content;
let socket = null;
let nextId = 1;
const waiting = new Map();
let refreshTimer = null;
let ended = false;

function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  Object.assign(node, props);
  for (const child of children) node.append(child);
  return node;
}

// What one Keldor showed is not left beside another's.
function forgetKeldor() {
  $('status').replaceChildren();
  for (const id of ['players', 'bans', 'clients']) $(id).tBodies[0].replaceChildren();
  for (const id of ['status-message', 'players-message', 'bans-message', 'clients-message']) $(id).textContent = '';
  FILES.forEach(([name]) => {
    $('file-' + name).value = '';
    $('file-' + name + '-message').textContent = '';
  });
}

// What one account saw is not left on the page for the next to read.
function forgetConsole() {
  forgetKeldor();
  for (const id of ['fleet-servers', 'fleet-bans', 'fleet-actions']) $(id).tBodies[0].replaceChildren();
  for (const id of ['fleet-message', 'fleet-bans-message', 'fleet-keldor']) $(id).textContent = '';
  $('chat-text').value = '';
  fleet = null;
  KeldorFeed.clear();
  notice('');
}

function showLogin(message) {
  forgetConsole();
  $('console-view').hidden = true;
  $('login-view').hidden = false;
  $('logout').hidden = true;
  $('who').textContent = '';
  $('login-message').textContent = message || '';
  $('login-submit').disabled = false;
  clearInterval(refreshTimer);
}

function showConsole(user, rights, refusedActions) {
  $('login-view').hidden = true;
  $('console-view').hidden = false;
  $('logout').hidden = false;
  $('who').textContent = user;
  window.KeldorFeed.setUser(user);
  markRights(rights >>> 0, refusedActions);
}

// ---- Rights ------------------------------------------------------------------

// What this account may not do, from keldor-web (written from the table Keldor
// checks): {"next-map": "Needs the right M (maps).", ...}.
let refused = {};
const needs = (action) => refused[action] || '';

// A control for `action`: disabled, with the right it needs as its tooltip,
// when the account lacks that right.
function guard(control, action) {
  const why = needs(action);
  control.disabled = Boolean(why);
  control.title = why;
  control.classList.toggle('lacks-right', Boolean(why));
  return control;
}

const STATIC_ACTIONS = [
  ['server-start', 'start'], ['server-stop', 'stop'], ['server-pause', 'pause'],
  ['map-change', 'change-map'], ['map-set-next', 'set-next-map'], ['map-set-idle', 'idle-map'],
  ['map-idle-off', 'idle-map'], ['map-next', 'next-map'], ['map-restart', 'restart-map'],
  ['rotation-add', 'put:rotation'], ['rotation-save', 'put:rotation'],
  ['schedule-add', 'put:schedule'], ['schedule-save', 'put:schedule'], ['chat-text', 'say'], ['chat-say', 'say'],
  ['chat-message', 'message'], ['bans-refresh', 'bans'], ['clients-refresh', 'get:clients'],
];

// Marks the rows of the rights table that this account holds, lists the
// account's rights by letter in the header, and disables what it may not do.
function markRights(rights, refusedActions) {
  refused = refusedActions && typeof refusedActions === 'object' ? refusedActions : {};
  const held = [];
  for (const row of document.querySelectorAll('table.rights tr[data-bit]')) {
    const has = (rights & Number(row.dataset.bit)) !== 0;
    row.classList.toggle('held', has);
    const key = row.querySelector('th');
    const name = row.querySelector('td');
    if (has && key && name) {
      held.push(el('abbr', { className: 'right', textContent: key.textContent, title: name.textContent }));
    }
  }
  const mine = $('my-rights');
  const admin = rights === 0xFFFFFFFF;
  mine.replaceChildren(...(admin ? [el('abbr', { className: 'right', textContent: 'all rights', title: 'The administrator: every right' })] : held));
  mine.title = admin ? '' : 'This account\'s rights (see Rights below)';
  for (const [id, action] of STATIC_ACTIONS) guard($(id), action);
  FILES.forEach(([name]) => {
    guard($('load-' + name), 'get:' + name);
    guard($('save-' + name), 'put:' + name);
    $('file-' + name).readOnly = Boolean(needs('put:' + name));
  });
}

// The message of a list this account may not see; '' when it may.
function unseen(action, what) {
  const why = needs(action);
  return why ? `This account may not see ${what}. ${why}` : '';
}

// Each cell carries its column's heading, shown beside it when a narrow
// screen turns the rows into cards.
function labelCells(table) {
  const heads = [...table.tHead.rows[0].cells].map((th) => th.textContent);
  for (const row of table.tBodies[0].rows) {
    [...row.cells].forEach((cell, k) => { cell.dataset.label = heads[k] || ''; });
  }
}

function fill(table, rows) {
  table.tBodies[0].replaceChildren(...rows);
  labelCells(table);
}

function notice(text, kind) {
  const n = $('notice');
  n.textContent = text;
  n.className = kind || '';
}

// A command to Keldor; resolves with its reply. `auto` marks the page's own
// refreshes, which do not count as activity.
function send(op, args = {}, auto = false) {
  return new Promise((resolve) => {
    if (!socket || socket.readyState !== WebSocket.OPEN) {
      resolve({ ok: false, message: 'Not connected.' });
      return;
    }
    const id = nextId++;
    waiting.set(id, resolve);
    socket.send(JSON.stringify({ id, op, auto, ...args }));
  });
}

function describe(reply) {
  if (reply.ok) return reply.message || 'Done.';
  return (reply.refused ? 'Refused: ' : 'Failed: ') + reply.message;
}

// A person's action: its outcome goes to the notice line.
async function act(op, args = {}) {
  notice('Working…');
  const reply = await send(op, args);
  notice(describe(reply), reply.ok ? 'ok' : reply.refused ? 'refused' : 'failed');
  return reply;
}

// ---- Panels ------------------------------------------------------------------

// Keldor's ctime text ("Tue Dec  8 02:34:32 2026": the last crash, a client's
// last request), in the reader's own words; "never" for the zero time.
function ctimeText(value) {
  const m = /^\w{3} (\w{3}) +(\d{1,2}) (\d\d):(\d\d):(\d\d) (\d{4})$/.exec(String(value).trim());
  if (!m) return value;
  const month = ['Jan', 'Feb', 'Mar', 'Apr', 'May', 'Jun', 'Jul', 'Aug', 'Sep', 'Oct', 'Nov', 'Dec'].indexOf(m[1]);
  if (month < 0 || Number(m[6]) <= 1970) return month < 0 ? value : 'never';
  const when = new Date(Number(m[6]), month, Number(m[2]), Number(m[3]), Number(m[4]), Number(m[5]));
  return KeldorTime.both(when, value);
}

async function refreshStatus() {
  const hidden = unseen('status', 'the status');
  if (hidden) {
    $('status-message').textContent = hidden;
    return;
  }
  const reply = await send('status', {}, true);
  if (!reply.ok) {
    $('status-message').textContent = describe(reply);
    return;
  }
  $('status-message').textContent = '';
  $('status').replaceChildren(...reply.data.flatMap((f) => [
    el('dt', { textContent: f.label }),
    el('dd', { id: 'status-' + f.key, textContent: f.key === 'last_crash' ? ctimeText(f.value) : f.value }),
  ]));
}

// A ban's length in seconds from the dialog: one of the usual ones or a custom one.
function banSeconds() {
  const length = $('action-length').value;
  if (length !== 'custom') return Number(length);
  const count = Math.max(1, Math.min(9999, Math.floor(Number($('action-count').value) || 1)));
  return Math.min(0x7FFFFFFF, count * Number($('action-unit').value));
}

// A kick asks only for a reason; a ban also for how long.
function openDialog(title, withDuration, onConfirm) {
  const dialog = $('action-dialog');
  $('action-title').textContent = title;
  $('action-duration').hidden = !withDuration;
  $('action-reason').value = '';
  dialog.onclose = () => {
    if (dialog.returnValue === 'confirm') onConfirm($('action-reason').value, banSeconds());
  };
  dialog.returnValue = '';
  dialog.showModal();
}

function playerRow(p) {
  const kick = guard(el('button', { type: 'button', className: 'small kick', id: 'kick-' + p.id, textContent: 'Kick', ariaLabel: 'Kick ' + p.name }), 'kick');
  kick.onclick = () => openDialog('Kick ' + p.name, false, async (reason) => {
    KeldorFeed.expect('kick', p.name, { reason });
    if ((await act('kick', { player: p.id, reason })).ok) refreshPlayers();
    else KeldorFeed.forget('kick', p.name);
  });
  const ban = guard(el('button', { type: 'button', className: 'small quiet ban', id: 'ban-' + p.id, textContent: 'Ban', ariaLabel: 'Ban ' + p.name }), 'ban');
  ban.onclick = () => openDialog('Ban ' + p.name, true, async (reason, seconds) => {
    KeldorFeed.expect('ban', p.name, { reason, seconds });
    const reply = await act('ban', {
      player: p.id, name: p.name, seconds, reason,
      address: p.address || '', keyhash: p.keyhash || '', guid: p.guid || '',
    });
    if (reply.ok) { refreshPlayers(); refreshBans(); } else KeldorFeed.forget('ban', p.name);
  });
  return el('tr', { id: 'player-' + p.id },
    el('td', { textContent: p.id }), el('td', { className: 'name', textContent: p.name }),
    el('td', { textContent: p.team ?? '' }), el('td', { textContent: p.score ?? '' }),
    el('td', { textContent: `${p.kills ?? '?'}/${p.deaths ?? '?'}` }), el('td', { textContent: p.ping ?? '' }),
    el('td', { className: 'actions' }, kick, ban));
}

async function refreshPlayers() {
  const hidden = unseen('players', 'the players');
  if (hidden) {
    $('players-message').textContent = hidden;
    return;
  }
  const reply = await send('players', {}, true);
  if (!reply.ok) {
    $('players-message').textContent = describe(reply);
    return;
  }
  $('players-message').textContent = reply.data.length ? '' : 'No players.';
  fill($('players'), reply.data.map(playerRow));
}

// A ban's end as a cell: local time and how far off, the start in its tooltip.
function untilCell(b) {
  return el('td', {
    textContent: b.end ? KeldorTime.both(b.end, String(b.end)) : 'for ever',
    title: b.start ? 'Banned ' + KeldorTime.both(b.start) : '',
  });
}

function banRow(b, index) {
  const unban = guard(el('button', { type: 'button', className: 'small quiet', id: 'unban-' + index, textContent: 'Unban', ariaLabel: 'Unban ' + b.name }), 'unban');
  unban.onclick = async () => {
    const reply = await act('unban', {
      name: b.name, address: b.address || '', keyhash: b.keyhash || '', guid: b.guid || '',
    });
    if (reply.ok) refreshBans();
  };
  return el('tr', { id: 'ban-row-' + index },
    el('td', { textContent: b.name }), el('td', { textContent: b.address ?? '' }),
    el('td', { textContent: b.keyhash ?? '' }), el('td', { textContent: b.admin }),
    el('td', { textContent: KeldorTime.both(b.start, 'unknown') }), untilCell(b), el('td', { textContent: b.reason }),
    el('td', { className: 'actions' }, unban));
}

async function refreshBans() {
  const hidden = unseen('bans', 'the bans');
  if (hidden) {
    $('bans-message').textContent = hidden;
    return;
  }
  const reply = await send('bans', {}, true);
  $('bans-message').textContent = reply.ok ? (reply.data.length ? '' : 'No bans.') : describe(reply);
  fill($('bans'), reply.ok ? reply.data.map(banRow) : []);
}

// ---- Clients ------------------------------------------------------------------

// Keldor's client list: a line `"user",slot,address,Connected,last request`, the
// last request as ctime text (its own line end, so an empty line follows) and
// "*" for an empty field.
function clientRows(text) {
  const rows = [];
  for (const line of String(text).split('\n')) {
    const m = /^"(.*)",(\d+),([^,]*),([^,]*),(.*)$/.exec(line);
    if (!m) continue;
    const field = (value) => (value === '*' ? '' : value);
    const last = field(m[5].trim());
    rows.push(el('tr', {},
      ...cells(field(m[1]), m[2], field(m[3])),
      el('td', { textContent: last ? ctimeText(last) : 'none yet' })));
  }
  return rows;
}

async function refreshClients() {
  const hidden = unseen('get:clients', 'the client list');
  if (hidden) {
    $('clients-message').textContent = hidden;
    return;
  }
  const reply = await send('get', { file: 'clients' }, true);
  const rows = reply.ok ? clientRows(reply.data) : [];
  $('clients-message').textContent = reply.ok ? (rows.length ? '' : 'Nobody.') : describe(reply);
  fill($('clients'), rows);
}

// ---- Fleet -------------------------------------------------------------------

let fleet = null;  // the last snapshot: servers, and bans and actions when this account may see them

function cells(...texts) {
  return texts.map((text) => el('td', { textContent: text ?? '' }));
}

function serverRow(s, index) {
  const open = el('button', {
    type: 'button', className: 'small quiet', id: 'open-console-' + index, textContent: 'Open console',
    disabled: !s.openable, title: s.openable ? '' : 'Its host is not among the fleet hosts of this web console.',
  });
  open.onclick = () => openConsole(s);
  return el('tr', { id: 'fleet-server-' + index, className: s.gone ? 'gone' : '' },
    ...cells(s.name, `${s.host}:${s.port}`, s.gone ? 'gone' : s.state, s.map, `${s.players}/${s.slots}`,
      KeldorTime.relative(Date.now() / 1000 - Number(s.seen_seconds_ago))),
    el('td', { className: 'actions' }, open));
}

function fleetBanRow(b, index) {
  const lift = guard(el('button', { type: 'button', className: 'small quiet', id: 'lift-' + index, textContent: 'Lift', ariaLabel: 'Lift the ban on ' + b.name }), 'unban');
  // Lifted through the Keldor this page is logged in to, which tells the fleet.
  lift.onclick = async () => {
    const reply = await act('unban', { name: b.name, address: b.address || '', keyhash: b.keyhash || '', guid: b.guid || '' });
    if (reply.ok) refreshFleet();
  };
  return el('tr', { id: 'fleet-ban-' + index },
    ...cells(b.name, b.address, b.keyhash, b.server, b.admin), untilCell(b), ...cells(b.reason),
    el('td', { className: 'actions' }, lift));
}

function showFleetBans() {
  const bans = fleet && fleet.bans;
  const search = $('fleet-search').value.trim().toLowerCase();
  const shown = (bans || []).filter((b) => !search ||
    [b.name, b.address, b.keyhash, b.guid, b.admin, b.server, b.reason].some((f) => (f || '').toLowerCase().includes(search)));
  $('fleet-bans-message').textContent = !bans ? 'This account may not see bans.' : shown.length ? '' : 'No bans.';
  fill($('fleet-bans'), shown.map(fleetBanRow));
}

async function refreshFleet() {
  const reply = await send('fleet', {}, true);
  $('fleet-message').textContent = reply.ok ? (reply.data.servers.length ? '' : 'No servers.') : describe(reply);
  if (!reply.ok) return;
  fleet = reply.data;
  fill($('fleet-servers'), fleet.servers.map(serverRow));
  showFleetBans();
  fill($('fleet-actions'), (fleet.actions || []).map((a) => el('tr', {},
    ...cells(KeldorTime.local(a.time), a.server, a.admin, a.action, a.player, a.reason))));
}

function showKeldor(endpoint) {
  $('fleet-keldor').textContent = 'This console is logged in to the Keldor at ' + endpoint + '.';
}

// The session's link moves to that server's Keldor, under the same account.
function openConsole(s) {
  const dialog = $('console-dialog');
  $('console-title').textContent = `Open the console of ${s.name} (${s.host}:${s.port})`;
  $('console-password').value = '';
  dialog.onclose = async () => {
    const password = $('console-password').value;
    $('console-password').value = '';
    if (dialog.returnValue !== 'confirm') return;
    const reply = await act('console', { server: s.name, password });
    if (!reply.ok) return;
    showKeldor(reply.keldor);
    forgetKeldor();
    markRights(reply.rights >>> 0, reply.refused);
    refreshAll();
  };
  dialog.returnValue = '';
  dialog.showModal();
}

function refreshAll() {
  refreshStatus(); refreshPlayers(); refreshBans(); refreshClients();
  refreshHistory(true);
  FILES.forEach(([name]) => loadFile(name));
  KeldorMaps.refresh();
  KeldorSchedule.refresh();
  if (!$('fleet-panel').hidden) refreshFleet();
}

function buildFiles() {
  const box = document.querySelector('#files-panel .files');
  box.replaceChildren(...FILES.map(([name, label]) => {
    const area = el('textarea', { id: 'file-' + name, spellcheck: false });
    const load = el('button', { type: 'button', className: 'quiet', id: 'load-' + name, textContent: 'Reload' });
    const save = el('button', { type: 'button', id: 'save-' + name, textContent: 'Save' });
    const message = el('p', { id: 'file-' + name + '-message', className: 'muted' });
    // The heading names the text area for screen readers; the message describes it.
    area.setAttribute('aria-labelledby', 'file-' + name + '-title');
    area.setAttribute('aria-describedby', message.id);
    load.onclick = () => loadFile(name);
    save.onclick = async () => {
      const reply = await act('put', { file: name, content: area.value });
      message.textContent = describe(reply);
      message.className = reply.ok ? 'muted' : 'refused';
    };
    return el('div', {}, el('h3', { id: 'file-' + name + '-title', textContent: label }), area, el('div', { className: 'buttons' }, load, save), message);
  }));
}

async function loadFile(name) {
  const message = $('file-' + name + '-message');
  const hidden = unseen('get:' + name, 'this file');
  if (hidden) {
    message.textContent = hidden;
    message.className = 'muted';
    return;
  }
  const reply = await send('get', { file: name }, true);
  if (reply.ok) $('file-' + name).value = reply.data;
  message.textContent = reply.ok ? '' : describe(reply);
  message.className = reply.ok ? 'muted' : 'refused';
}

function addToFeed(note) {
  KeldorFeed.add(note);
  historyNote(note);
  if (/KICKED|BANNED|BANS_CHANGED|BAN_REMOVED|BANS_CLEARED/.test(note.name || '')) {
    refreshPlayers();
    refreshBans();
  }
}

// ---- The socket --------------------------------------------------------------

function openSocket(afterLogin) {
  ended = false;
  socket = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/ws`);
  socket.onmessage = (event) => {
    const m = JSON.parse(event.data);
    if (m.type === 'hello') {
      showConsole(m.user, m.rights, m.refused);
      $('fleet-panel').hidden = !m.fleet;
      showKeldor(m.keldor);
      refreshAll();
      clearInterval(refreshTimer);
      refreshTimer = setInterval(() => {
        refreshStatus(); refreshPlayers(); refreshHistory();
        if (m.fleet) refreshFleet();
      }, REFRESH_MS);
    } else if (m.type === 'reply') {
      const resolve = waiting.get(m.id);
      waiting.delete(m.id);
      if (resolve) resolve(m);
    } else if (m.type === 'note') {
      addToFeed(m);
      KeldorMaps.onNote(m);
      KeldorSchedule.onNote(m);
    } else if (m.type === 'dropped' || m.type === 'ended') {
      ended = true;
      showLogin(m.message);
    }
  };
  socket.onclose = () => {
    for (const resolve of waiting.values()) resolve({ ok: false, message: 'Not connected.' });
    waiting.clear();
    if (!ended && (afterLogin || !$('console-view').hidden)) {
      showLogin('The connection to the web console was lost. Log in again.');
    }
    socket = null;
  };
}

async function logIn(event) {
  event.preventDefault();
  $('login-submit').disabled = true;
  $('login-message').textContent = 'Logging in…';
  let answer;
  try {
    const response = await fetch('/api/login', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      credentials: 'same-origin',
      body: JSON.stringify({ user: $('login-user').value, password: $('login-password').value, token }),
    });
    answer = await response.json();
  } catch (e) {
    answer = { ok: false, message: 'The web console cannot be reached.' };
  }
  $('login-password').value = '';
  $('login-submit').disabled = false;
  if (answer.token) token = answer.token;
  if (!answer.ok) {
    $('login-message').textContent = answer.message;
    return;
  }
  $('login-message').textContent = '';
  openSocket(true);
}

async function logOut() {
  ended = true;
  await fetch('/api/logout', { method: 'POST', credentials: 'same-origin' });
  if (socket) socket.close();
  showLogin('You have logged out.');
}

function wire() {
  $('login-form').addEventListener('submit', logIn);
  $('logout').onclick = logOut;
  $('server-start').onclick = () => act('start');
  $('server-stop').onclick = () => act('stop');
  $('server-pause').onclick = () => act('pause');
  $('map-next').onclick = () => act('next-map');
  $('map-restart').onclick = () => act('restart-map');
  KeldorMaps.wire();
  KeldorSchedule.wire();
  $('bans-refresh').onclick = refreshBans;
  $('clients-refresh').onclick = refreshClients;
  $('fleet-refresh').onclick = refreshFleet;
  $('fleet-search').addEventListener('input', showFleetBans);
  const chat = (op) => async () => {
    const text = $('chat-text').value;
    if (!text) return;
    if ((await act(op, { text })).ok) $('chat-text').value = '';
  };
  $('chat-say').onclick = chat('say');
  $('chat-message').onclick = chat('message');
  $('chat-text').addEventListener('keydown', (e) => { if (e.key === 'Enter') chat('say')(); });
  $('rights-show-requests').addEventListener('change', (e) => {
    $('rights-panel').classList.toggle('show-requests', e.target.checked);
  });
  $('action-length').addEventListener('change', () => {
    $('action-custom').hidden = $('action-length').value !== 'custom';
  });
  buildFiles();
  watchHistoryWidth();
  // A session that is still open (a reload) goes on without a new login.
  openSocket(false);
}

wire();
