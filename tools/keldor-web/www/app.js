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
const FEED_MAX = 200;

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

function showLogin(message) {
  $('console-view').hidden = true;
  $('login-view').hidden = false;
  $('logout').hidden = true;
  $('who').textContent = '';
  $('login-message').textContent = message || '';
  $('login-submit').disabled = false;
  clearInterval(refreshTimer);
}

function showConsole(user, rights) {
  $('login-view').hidden = true;
  $('console-view').hidden = false;
  $('logout').hidden = false;
  $('who').textContent = user;
  markRights(rights >>> 0);
}

// Marks the rows of the rights table that this account holds.
function markRights(rights) {
  for (const row of document.querySelectorAll('table.rights tr[data-bit]')) {
    row.classList.toggle('held', (rights & Number(row.dataset.bit)) !== 0);
  }
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

async function refreshStatus() {
  const reply = await send('status', {}, true);
  if (!reply.ok) {
    $('status-message').textContent = describe(reply);
    return;
  }
  $('status-message').textContent = '';
  $('status').replaceChildren(...reply.data.flatMap((f) => [
    el('dt', { textContent: f.label }),
    el('dd', { id: 'status-' + f.key, textContent: f.value }),
  ]));
}

function openDialog(title, withSeconds, onConfirm) {
  const dialog = $('action-dialog');
  $('action-title').textContent = title;
  $('action-seconds-label').hidden = !withSeconds;
  $('action-reason').value = '';
  dialog.onclose = () => {
    if (dialog.returnValue === 'confirm') onConfirm($('action-reason').value, Number($('action-seconds').value));
  };
  dialog.returnValue = '';
  dialog.showModal();
}

function playerRow(p) {
  const kick = el('button', { type: 'button', className: 'small kick', id: 'kick-' + p.id, textContent: 'Kick' });
  kick.onclick = () => openDialog('Kick ' + p.name, false, async (reason) => {
    if ((await act('kick', { player: p.id, reason })).ok) refreshPlayers();
  });
  const ban = el('button', { type: 'button', className: 'small quiet ban', id: 'ban-' + p.id, textContent: 'Ban' });
  ban.onclick = () => openDialog('Ban ' + p.name, true, async (reason, seconds) => {
    const reply = await act('ban', {
      player: p.id, name: p.name, seconds, reason,
      address: p.address || '', keyhash: p.keyhash || '', guid: p.guid || '',
    });
    if (reply.ok) { refreshPlayers(); refreshBans(); }
  });
  return el('tr', { id: 'player-' + p.id },
    el('td', { textContent: p.id }), el('td', { className: 'name', textContent: p.name }),
    el('td', { textContent: p.team ?? '' }), el('td', { textContent: p.score ?? '' }),
    el('td', { textContent: `${p.kills ?? '?'}/${p.deaths ?? '?'}` }), el('td', { textContent: p.ping ?? '' }),
    el('td', { className: 'actions' }, kick, ban));
}

async function refreshPlayers() {
  const reply = await send('players', {}, true);
  if (!reply.ok) {
    $('players-message').textContent = describe(reply);
    return;
  }
  $('players-message').textContent = reply.data.length ? '' : 'No players.';
  $('players').tBodies[0].replaceChildren(...reply.data.map(playerRow));
}

function banRow(b, index) {
  const until = b.end ? new Date(b.end * 1000).toLocaleString() : 'for ever';
  const unban = el('button', { type: 'button', className: 'small quiet', id: 'unban-' + index, textContent: 'Unban' });
  unban.onclick = async () => {
    const reply = await act('unban', {
      name: b.name, address: b.address || '', keyhash: b.keyhash || '', guid: b.guid || '',
    });
    if (reply.ok) refreshBans();
  };
  return el('tr', { id: 'ban-row-' + index },
    el('td', { textContent: b.name }), el('td', { textContent: b.address ?? '' }),
    el('td', { textContent: b.keyhash ?? '' }), el('td', { textContent: b.admin }),
    el('td', { textContent: until }), el('td', { textContent: b.reason }),
    el('td', {}, unban));
}

async function refreshBans() {
  const reply = await send('bans', {}, true);
  $('bans-message').textContent = reply.ok ? (reply.data.length ? '' : 'No bans.') : describe(reply);
  $('bans').tBodies[0].replaceChildren(...(reply.ok ? reply.data.map(banRow) : []));
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
      `${s.seen_seconds_ago} s ago`),
    el('td', {}, open));
}

function fleetBanRow(b, index) {
  const lift = el('button', { type: 'button', className: 'small quiet', id: 'lift-' + index, textContent: 'Lift' });
  // Lifted through the Keldor this page is logged in to, which tells the fleet.
  lift.onclick = async () => {
    const reply = await act('unban', { name: b.name, address: b.address || '', keyhash: b.keyhash || '', guid: b.guid || '' });
    if (reply.ok) refreshFleet();
  };
  const until = b.end ? new Date(b.end * 1000).toLocaleString() : 'for ever';
  return el('tr', { id: 'fleet-ban-' + index },
    ...cells(b.name, b.address, b.keyhash, b.server, b.admin, until, b.reason), el('td', {}, lift));
}

function showFleetBans() {
  const bans = fleet && fleet.bans;
  const search = $('fleet-search').value.trim().toLowerCase();
  const shown = (bans || []).filter((b) => !search ||
    [b.name, b.address, b.keyhash, b.guid, b.admin, b.server, b.reason].some((f) => (f || '').toLowerCase().includes(search)));
  $('fleet-bans-message').textContent = !bans ? 'This account may not see bans.' : shown.length ? '' : 'No bans.';
  $('fleet-bans').tBodies[0].replaceChildren(...shown.map(fleetBanRow));
}

async function refreshFleet() {
  const reply = await send('fleet', {}, true);
  $('fleet-message').textContent = reply.ok ? (reply.data.servers.length ? '' : 'No servers.') : describe(reply);
  if (!reply.ok) return;
  fleet = reply.data;
  $('fleet-servers').tBodies[0].replaceChildren(...fleet.servers.map(serverRow));
  showFleetBans();
  $('fleet-actions').tBodies[0].replaceChildren(...(fleet.actions || []).map((a) => el('tr', {},
    ...cells(new Date(a.time * 1000).toLocaleString(), a.server, a.admin, a.action, a.player, a.reason))));
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
    markRights(reply.rights >>> 0);
    refreshAll();
  };
  dialog.returnValue = '';
  dialog.showModal();
}

function refreshAll() {
  refreshStatus(); refreshPlayers(); refreshBans();
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
    load.onclick = () => loadFile(name);
    save.onclick = async () => {
      const reply = await act('put', { file: name, content: area.value });
      message.textContent = describe(reply);
      message.className = reply.ok ? 'muted' : 'refused';
    };
    return el('div', {}, el('h3', { textContent: label }), area, el('div', { className: 'buttons' }, load, save), message);
  }));
}

async function loadFile(name) {
  const reply = await send('get', { file: name }, true);
  const message = $('file-' + name + '-message');
  if (reply.ok) $('file-' + name).value = reply.data;
  message.textContent = reply.ok ? '' : describe(reply);
  message.className = reply.ok ? 'muted' : 'refused';
}

function addToFeed(note) {
  const feed = $('feed');
  const item = el('li', { className: 'note' },
    el('span', { className: 'time', textContent: note.time }),
    el('span', { className: 'name', textContent: note.name || ('0x' + note.code.toString(16)) }),
    el('span', { className: 'text', textContent: note.text }));
  feed.prepend(item);
  while (feed.children.length > FEED_MAX) feed.lastElementChild.remove();
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
      showConsole(m.user, m.rights);
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
  buildFiles();
  watchHistoryWidth();
  // A session that is still open (a reload) goes on without a new login.
  openSocket(false);
}

wire();
