// The live feed in words: each of Keldor's notifications and each line of the
// game's console as a sentence with its local time, coloured by its kind and
// filtered by kind. What players wrote (names, chat) is strangers' text: it
// goes into the page as text nodes only.
'use strict';

(() => {
  const FEED_MAX = 200;
  const KINDS = [
    ['server', 'Server'], ['players', 'Players'], ['bans', 'Bans'],
    ['chat', 'Chat'], ['map', 'Map'], ['other', 'Other'],
  ];
  const STORE_KEY = 'keldor-feed-hidden';
  // How long the page's own kick or ban waits for Keldor's word of it, to tell who and why.
  const EXPECT_MS = 30000;

  // A sentence is a list of parts: text, or {who: name} for a player's name.
  const who = (name) => ({ who: name || 'A player' });
  const said = (text) => (text ? `: ${text}` : '.');

  // By the notification's wire name: its kind and its sentence from its text.
  const NOTES = {
    NOTE_COMMAND_FAILED: ['other', () => ['A command failed.']],
    NOTE_CONSOLE_COMMAND_DONE: ['other', () => ['The console command was carried out.']],
    NOTE_DISCONNECT: ['server', () => ['Keldor closed the connection.']],
    NOTE_SERVER_STARTED: ['server', () => ['The game server started.']],
    NOTE_SERVER_STOPPED: ['server', () => ['The game server stopped.']],
    NOTE_SERVER_CRASHED: ['server', () => ['The game server crashed.']],
    NOTE_SERVER_HUNG: ['server', () => ['The game server stopped answering (it hangs).']],
    NOTE_ALREADY_RUNNING: ['server', () => ['The game server was already running.']],
    NOTE_ALREADY_STOPPED: ['server', () => ['The game server was already stopped.']],
    NOTE_GAME_PAUSED: ['server', () => ['The game was paused.']],
    NOTE_GAME_RESUMED: ['server', () => ['The game was resumed.']],
    NOTE_SETTINGS_CHANGED: ['other', () => ['The settings were changed.']],
    NOTE_USERS_CHANGED: ['other', () => ['The user accounts were changed.']],
    NOTE_SCHEDULE_CHANGED: ['other', () => ['The schedule was changed.']],
    NOTE_BANNED_WORDS_CHANGED: ['other', () => ['The banned words were changed.']],
    NOTE_PASSWORD_CHANGED: ['other', () => ['The password was changed.']],
    NOTE_PB_CONFIG_SAVED: ['other', () => ['PunkBuster saved its configuration.']],
    NOTE_PB_CONFIG_LOADED: ['other', () => ['PunkBuster loaded its configuration.']],
    NOTE_SCREENSHOT_REQUESTED: ['players', () => ['A screenshot was requested.']],
    NOTE_PONG: ['other', () => ['Keldor answered a ping.']],
    NOTE_ROTATION_CHANGED: ['map', () => ['The map rotation was changed.']],
    NOTE_MAP_CHANGED: ['map', (t) => (t ? [`Map changed to ${t}.`] : ['The map changed.'])],
    NOTE_NEXT_MAP_RUN: ['map', () => ['The next map of the rotation is starting.']],
    NOTE_NEXT_MAP_SET: ['map', (t) => [`The next map is now ${t || 'set'}.`]],
    NOTE_IDLE_MAP_SET: ['map', (t) => [`The idle map is now ${t || 'set'}.`]],
    NOTE_MAP_RESTARTED: ['map', () => ['The map was restarted.']],
    NOTE_PLAYER_KICKED: ['players', (t, by) => [who(t), ' was kicked', ...byWhom(by)]],
    NOTE_PLAYER_BANNED: ['bans', (t, by) => [who(t), ' was banned', ...byWhom(by)]],
    NOTE_BAN_REMOVED: ['bans', (t) => ['The ban on ', who(t), ' was lifted.']],
    NOTE_BANS_CHANGED: ['bans', () => ['The ban list changed.']],
    NOTE_BANS_CLEARED: ['bans', () => ['All bans were cleared.']],
    NOTE_BANS_IN_SYNC: ['bans', () => ['The ban lists of Keldor and the game server agree.']],
    NOTE_BANS_NOT_IN_SYNC: ['bans', () => ['The ban lists of Keldor and the game server differ.']],
    NOTE_CHAT_SENT: ['chat', (t) => ['You said to all', said(t)]],
    NOTE_SERVER_MESSAGE_SENT: ['chat', (t) => ['Server message sent', said(t)]],
    NOTE_AUTO_KICK_WORD: ['players', (t) => [who(t), ' was kicked automatically for a banned word.']],
    NOTE_AUTO_KICK_SCORE: ['players', (t) => [who(t), ' was kicked automatically for a minus score.']],
    NOTE_AUTO_KICK_PING: ['players', (t) => [who(t), ' was kicked automatically for a high ping.']],
    NOTE_AUTO_BAN_SCORE: ['bans', (t) => [who(t), ' was banned automatically for too many minus-score kicks.']],
  };

  // " by admin for 1 d: team killing", as far as the page knows it.
  function byWhom(by) {
    if (!by) return ['.'];
    const parts = [' by ', by.admin];
    if (by.seconds !== undefined) {
      parts.push(by.seconds > 0 ? ` for ${window.KeldorTime.span(by.seconds)}` : ' for ever');
    }
    parts.push(said(by.reason));
    return parts;
  }

  // A line of the game's console: "[All] NAME: TEXT", "[Game] NAME joined the game", ...
  const CHANNELS = { all: 'to all', team: 'to the team', squad: 'to the squad' };
  function consoleLine(line) {
    const text = String(line || '').replace(/[\r\n]+$/, '');
    const tagged = /^\[([^\]]{1,16})\]\s*(.*)$/s.exec(text);
    const tag = tagged ? tagged[1].toLowerCase() : '';
    const rest = tagged ? tagged[2] : text;
    const talk = /^(.+?): (.*)$/s.exec(rest);
    if (CHANNELS[tag] && talk) return ['chat', [who(talk[1]), ` ${CHANNELS[tag]}: `, talk[2]]];
    const ended = /[.!?]$/.test(rest) ? rest : rest + '.';
    const player = /^(.+?) (joined the game|left the game|was kicked\b.*|was banned\b.*|is banned\b.*|was moved\b.*)$/s.exec(rest);
    if (tag === 'game' && player) {
      return [/banned/.test(player[2]) ? 'bans' : 'players', [who(player[1]), ' ' + player[2] + (/[.!?]$/.test(player[2]) ? '' : '.')]];
    }
    if (tag === 'game' && /^(changing map|restarting map|round \d+)/i.test(rest)) return ['map', [ended]];
    if (tag === 'game' && /^game (paused|resumed)/i.test(rest)) return ['server', [ended]];
    return ['other', [text ? ended : 'An empty line from the game server.']];
  }

  let feed = null;
  let admin = '';
  const expected = [];  // the page's own kicks and bans: {note, name, by, until}

  function hiddenKinds() {
    try {
      return new Set(JSON.parse(localStorage.getItem(STORE_KEY) || '[]'));
    } catch (e) {
      return new Set();
    }
  }

  function showKinds() {
    const hidden = [];
    for (const box of document.querySelectorAll('#feed-filter input[type=checkbox]')) {
      feed.classList.toggle('hide-' + box.value, !box.checked);
      if (!box.checked) hidden.push(box.value);
    }
    try {
      localStorage.setItem(STORE_KEY, JSON.stringify(hidden));
    } catch (e) { /* a private window keeps no choice */ }
  }

  function buildFilter() {
    const box = document.getElementById('feed-filter');
    if (!box) return;
    const hidden = hiddenKinds();
    for (const old of box.querySelectorAll('label')) old.remove();
    box.append(...KINDS.map(([kind, label]) => {
      const check = document.createElement('input');
      Object.assign(check, { type: 'checkbox', value: kind, checked: !hidden.has(kind), id: 'feed-show-' + kind });
      check.addEventListener('change', showKinds);
      const tag = document.createElement('label');
      tag.className = 'kind ' + kind;
      tag.append(check, ' ' + label);
      return tag;
    }));
    showKinds();
  }

  // What the page knows of its own kick or ban before Keldor tells of it.
  function expect(op, name, by) {
    const note = op === 'kick' ? 'NOTE_PLAYER_KICKED' : 'NOTE_PLAYER_BANNED';
    expected.push({ note, name, by: { admin, ...by }, until: Date.now() + EXPECT_MS });
    while (expected.length > 20) expected.shift();
  }

  // The page's kick or ban failed: nothing of it is to be told.
  function forget(op, name) {
    const note = op === 'kick' ? 'NOTE_PLAYER_KICKED' : 'NOTE_PLAYER_BANNED';
    const at = expected.findIndex((e) => e.note === note && e.name === name);
    if (at >= 0) expected.splice(at, 1);
  }

  function takeExpected(name, text) {
    const now = Date.now();
    const at = expected.findIndex((e) => e.note === name && e.name === text && e.until > now);
    return at < 0 ? null : expected.splice(at, 1)[0].by;
  }

  function describe(note) {
    const text = typeof note.text === 'string' ? note.text : '';
    if (note.name === 'NOTE_CONSOLE_EVENT') return consoleLine(text);
    const known = Object.hasOwn(NOTES, note.name) ? NOTES[note.name] : null;
    if (known) return [known[0], known[1](text, takeExpected(note.name, text))];
    const code = typeof note.code === 'number' ? '0x' + (note.code >>> 0).toString(16).toUpperCase() : '?';
    return ['other', [`Notification ${code}${said(text)}`]];
  }

  // "The ban list changed" says nothing more beside the ban that changed it,
  // which Keldor tells just before or after.
  const GENERIC = 'NOTE_BANS_CHANGED';
  const SPECIFIC = new Set(['NOTE_PLAYER_BANNED', 'NOTE_BAN_REMOVED', 'NOTE_BANS_CLEARED', 'NOTE_AUTO_BAN_SCORE']);
  const NEAR_MS = 3000;
  let lastSpecific = 0;

  function redundant(note, now) {
    if (note.name === GENERIC) return now - lastSpecific < NEAR_MS;
    if (!SPECIFIC.has(note.name)) return false;
    lastSpecific = now;
    for (const item of feed.querySelectorAll('li[data-generic]')) {
      if (now - Number(item.dataset.generic) < NEAR_MS) item.remove();
    }
    return false;
  }

  function add(note) {
    if (!feed || redundant(note, Date.now())) return;
    const [kind, parts] = describe(note);
    const now = new Date();
    const time = document.createElement('time');
    time.className = 'time';
    time.dateTime = now.toISOString();
    time.textContent = window.KeldorTime.clock(now);
    time.title = window.KeldorTime.local(now);
    const sentence = document.createElement('span');
    sentence.className = 'text';
    for (const part of parts) {
      if (typeof part === 'string') {
        sentence.append(part);
      } else {
        const name = document.createElement('b');
        name.className = 'who';
        name.textContent = part.who;
        sentence.append(name);
      }
    }
    const item = document.createElement('li');
    item.className = 'note ' + kind;
    item.dataset.kind = kind;
    if (note.name === GENERIC) item.dataset.generic = String(now.getTime());
    const code = typeof note.code === 'number' ? ' (0x' + (note.code >>> 0).toString(16).toUpperCase() + ')' : '';
    item.title = (note.name || 'An unknown notification') + code;
    item.append(time, ' ', sentence);
    feed.prepend(item);
    while (feed.children.length > FEED_MAX) feed.lastElementChild.remove();
  }

  function clear() {
    if (feed) feed.replaceChildren();
    expected.length = 0;
  }

  function setUser(user) {
    admin = user || 'you';
  }

  feed = document.getElementById('feed');
  buildFilter();
  window.KeldorFeed = Object.freeze({ add, expect, forget, setUser, clear, describe });
})();
