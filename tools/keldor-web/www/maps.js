// Maps picked from what is installed: the map change, the next and the idle
// map, and the rotation as an ordered list. Every combo the page sends comes
// from Keldor's own mods and maps lists, so a typo cannot reach the game server.
// Uses app.js's el, send, act and describe (loaded after this file; called
// only once the page is wired).
'use strict';

window.KeldorMaps = (() => {
  // The game modes in the order of their bits in the maps list, as people name them.
  const MODES = [
    ['GPM_CQ', 'Conquest'],
    ['GPM_COOP', 'Co-op'],
    ['GPM_EVOL', 'Evolution'],
    ['GPM_CCOMBAT', 'Custom combat'],
  ];
  const ROTATION_MAX = 200;  // entries; the file travels in one message, so it stays small
  const LEVEL_COMMAND = /^\s*game\.(setCurrentLevel|addLevelToRotation)(\s|$)/i;
  const LEVEL = /^\s*game\.(setCurrentLevel|addLevelToRotation)\s+(\S+)\s+(\S+)\s+(\S+)\s*$/i;

  const $ = (id) => document.getElementById(id);
  // mod (lower case) -> { name, maps: [{ name, bits }] }, from the last fetch; null when unknown.
  let catalogue = null;
  let rotation = null;  // { before: [lines], start: combo|null, entries: [combo], after: [lines] }
  let dirty = false;

  const key = (combo) => combo.toLowerCase().split(/\s+/).join(' ');
  const modeName = (code) => (MODES.find(([c]) => c.toLowerCase() === code.toLowerCase()) || [code, code])[1];
  // "operation_hastings" reads "Operation Hastings".
  const mapName = (name) => name.split('_').filter(Boolean)
    .map((w) => w[0].toUpperCase() + w.slice(1)).join(' ');

  // The installed map a combo ("map mode mod") names with a mode it has, or null.
  function installed(combo) {
    if (!catalogue) return null;
    const [map, mode, mod] = combo.split(/\s+/);
    const bit = MODES.findIndex(([c]) => c.toLowerCase() === (mode || '').toLowerCase());
    const entry = catalogue.get((mod || '').toLowerCase());
    const found = entry && entry.maps.find((m) => m.name.toLowerCase() === (map || '').toLowerCase());
    if (bit < 0 || !found || !(found.bits & (1 << bit))) return null;
    return { mod: entry.name, map: found.name, mode: MODES[bit][0] };
  }

  function describeCombo(combo) {
    const [map, mode, mod] = combo.split(/\s+/);
    return `${mapName(map)} · ${modeName(mode)} · ${mod}`;
  }

  // mods: a mod a line; maps: "mod,map,mode bits" a line. A map counts only
  // when its mod is installed and it offers at least one known mode.
  function parseCatalogue(modsText, mapsText) {
    const result = new Map();
    for (const line of modsText.split(/\r?\n/)) {
      const name = line.trim();
      if (name && !/[\s,]/.test(name)) result.set(name.toLowerCase(), { name, maps: [] });
    }
    for (const line of mapsText.split(/\r?\n/)) {
      const [mod, map, bits] = line.trim().split(',');
      const entry = result.get((mod || '').toLowerCase());
      const mask = Number.parseInt(bits, 10) & ((1 << MODES.length) - 1);
      if (!entry || !map || /\s/.test(map) || !mask) continue;
      if (!entry.maps.some((m) => m.name.toLowerCase() === map.toLowerCase())) {
        entry.maps.push({ name: map, bits: mask });
      }
    }
    for (const entry of result.values()) entry.maps.sort((a, b) => mapName(a.name).localeCompare(mapName(b.name)));
    for (const [name, entry] of [...result]) if (!entry.maps.length) result.delete(name);
    return result;
  }

  // ---- The picker: mod, then a map of it, then a mode that map has ------------

  function fillSelect(select, options, keep) {
    const previous = keep ? select.value : '';
    select.replaceChildren(...options.map(([value, text]) => el('option', { value, textContent: text })));
    if (options.some(([value]) => value === previous)) select.value = previous;
    select.disabled = options.length === 0;
  }

  function makePicker(prefix) {
    const mod = $(prefix + '-mod');
    const map = $(prefix + '-map');
    const mode = $(prefix + '-mode');
    const fillModes = () => {
      const entry = catalogue && catalogue.get(mod.value.toLowerCase());
      const found = entry && entry.maps.find((m) => m.name === map.value);
      fillSelect(mode, found ? MODES.filter((_, bit) => found.bits & (1 << bit)) : [], true);
    };
    const fillMaps = () => {
      const entry = catalogue && catalogue.get(mod.value.toLowerCase());
      fillSelect(map, entry ? entry.maps.map((m) => [m.name, mapName(m.name)]) : [], true);
      fillModes();
    };
    let touched = false;  // a choice made by hand is not replaced by the preferred one
    mod.addEventListener('change', fillMaps);
    map.addEventListener('change', fillModes);
    for (const select of [mod, map, mode]) select.addEventListener('change', () => { touched = true; });
    return {
      refill() {
        fillSelect(mod, catalogue ? [...catalogue.values()].map((e) => [e.name, e.name]) : [], true);
        fillMaps();
      },
      // Starts on the rotation's first level rather than the first map listed.
      prefer(combo) {
        const found = installed(combo);
        if (touched || !found) return;
        mod.value = found.mod;
        fillMaps();
        map.value = found.map;
        fillModes();
        mode.value = found.mode;
      },
      // The chosen combo, checked once more against the lists; null when none is chosen.
      combo() {
        const combo = [map.value, mode.value, mod.value].join(' ');
        return map.value && mode.value && mod.value && installed(combo) ? combo : null;
      },
    };
  }

  let changePicker = null;
  let rotationPicker = null;

  async function loadCatalogue() {
    const [mods, maps] = await Promise.all([send('get', { file: 'mods' }, true), send('get', { file: 'maps' }, true)]);
    const message = $('maps-message');
    if (!mods.ok || !maps.ok) {
      catalogue = null;
      message.textContent = 'The installed maps cannot be listed: ' + (mods.ok ? maps : mods).message;
    } else {
      catalogue = parseCatalogue(mods.data, maps.data);
      message.textContent = catalogue.size ? '' : 'Keldor lists no installed maps.';
    }
    changePicker.refill();
    rotationPicker.refill();
    showRotation();
  }

  // A map action with the picked combo; `take` is the op.
  async function mapAction(op) {
    const combo = changePicker.combo();
    if (!combo) {
      notice('Pick a mod, a map and a game mode first.', 'refused');
      return;
    }
    const reply = await act(op, { combo });
    if (reply.ok && typeof refreshStatus === 'function') refreshStatus();
  }

  // ---- The rotation --------------------------------------------------------

  // The rotation file: its game.setCurrentLevel line names the level the game
  // starts with, its game.addLevelToRotation lines the rotation in order. Any
  // other line is kept as it stands, before or after the level lines.
  function parseRotation(text) {
    const r = { before: [], start: null, entries: [], after: [], bad: [] };
    for (const line of text.split(/\r?\n/)) {
      const level = LEVEL.exec(line);
      if (!level) {
        if (!line.trim()) continue;
        (r.start === null && !r.entries.length ? r.before : r.after).push(line);
        // Keldor refuses a whole rotation with a level line it cannot read.
        if (LEVEL_COMMAND.test(line)) r.bad.push(line);
        continue;
      }
      const combo = level.slice(2).join(' ');
      if (level[1].toLowerCase() === 'setcurrentlevel') {
        if (r.start === null) r.start = combo;
      } else {
        r.entries.push(combo);
      }
    }
    return r;
  }

  function rotationText(r) {
    const start = r.start !== null && r.entries.some((c) => key(c) === key(r.start)) ? r.start : r.entries[0];
    const lines = [...r.before];
    if (start) lines.push('game.setCurrentLevel ' + start);
    lines.push(...r.entries.map((c) => 'game.addLevelToRotation ' + c), ...r.after);
    return lines.length ? lines.join('\n') + '\n' : '';
  }

  function setDirty(value) {
    dirty = value;
    $('rotation-dirty').textContent = value ? 'Unsaved changes.' : '';
    if (value) $('file-rotation').value = rotationText(rotation);
  }

  function moveButton(text, label, disabled, onclick) {
    const b = el('button', { type: 'button', className: 'small quiet', textContent: text, disabled });
    b.setAttribute('aria-label', label);
    b.title = label;
    b.onclick = onclick;
    return b;
  }

  function showRotation() {
    const list = $('rotation-list');
    const start = $('rotation-start');
    if (!rotation) {
      list.replaceChildren();
      start.replaceChildren();
      return;
    }
    const { entries } = rotation;
    list.replaceChildren(...entries.map((combo, index) => {
      const words = describeCombo(combo);
      const missing = catalogue && !installed(combo);
      let focusAt = index;
      let focusAct = '';
      const change = (fn) => () => {
        fn();
        setDirty(true);
        showRotation();
        // Focus stays with the entry that moved, so that it can be moved on by keyboard.
        const row = $('rotation-list').children[focusAt];
        const buttons = row ? [...row.querySelectorAll('button:not(:disabled)')] : [];
        const again = buttons.find((b) => b.dataset.act === focusAct) || buttons[0] || $('rotation-add');
        again.focus();
      };
      const up = moveButton('↑', `Move ${words} up`, index === 0, change(() => {
        [entries[index - 1], entries[index]] = [entries[index], entries[index - 1]];
        focusAt = index - 1;
        focusAct = 'up';
      }));
      const down = moveButton('↓', `Move ${words} down`, index === entries.length - 1, change(() => {
        [entries[index + 1], entries[index]] = [entries[index], entries[index + 1]];
        focusAt = index + 1;
        focusAct = 'down';
      }));
      const remove = moveButton('Remove', `Remove ${words} from the rotation`, false, change(() => {
        entries.splice(index, 1);
        focusAt = Math.min(index, entries.length - 1);
        focusAct = 'remove';
      }));
      up.dataset.act = 'up';
      down.dataset.act = 'down';
      remove.dataset.act = 'remove';
      return el('li', { className: missing ? 'missing' : '' },
        el('span', { className: 'combo', textContent: words + (missing ? ' (not installed)' : '') }),
        el('span', { className: 'actions' }, up, down, remove));
    }));
    [...list.children].forEach((li, index) => { li.dataset.combo = entries[index]; });
    // The level the game starts with: one of the rotation's.
    const seen = new Set();
    const choices = entries.filter((c) => !seen.has(key(c)) && seen.add(key(c)));
    start.replaceChildren(...choices.map((c) => el('option', { value: c, textContent: describeCombo(c) })));
    const current = rotation.start && choices.find((c) => key(c) === key(rotation.start));
    if (current) start.value = current;
    start.disabled = choices.length === 0;
    $('rotation-kept').textContent = rotation.before.length + rotation.after.length
      ? `${rotation.before.length + rotation.after.length} other line(s) of the file are kept as they are (see Advanced).`
      : '';
    $('rotation-empty').textContent = entries.length ? '' : 'The rotation is empty.';
  }

  function addToRotation() {
    const combo = rotationPicker.combo();
    if (!rotation) return;
    if (!combo) {
      notice('Pick a mod, a map and a game mode to add.', 'refused');
      return;
    }
    if (rotation.entries.length >= ROTATION_MAX) {
      notice(`The rotation holds at most ${ROTATION_MAX} maps.`, 'refused');
      return;
    }
    rotation.entries.push(combo);
    setDirty(true);
    showRotation();
  }

  function rotationMessage(text, kind) {
    const message = $('rotation-message');
    message.textContent = text;
    message.className = kind || 'muted';
  }

  async function loadRotation() {
    const reply = await send('get', { file: 'rotation' }, true);
    if (!reply.ok) {
      rotationMessage(describe(reply), 'refused');
      return;
    }
    rotationMessage('');
    $('file-rotation').value = reply.data;
    rotation = parseRotation(reply.data);
    setDirty(false);
    showRotation();
  }

  async function saveText(content) {
    const reply = await act('put', { file: 'rotation', content });
    if (reply.ok) await loadRotation();
    rotationMessage(describe(reply), reply.ok ? 'muted' : 'refused');
    return reply;
  }

  // Why a rotation may not be sent, or '' when every level it names is installed.
  function rotationProblem(r) {
    if (!catalogue) return 'the installed maps are not known';
    if (r.bad.length) return 'a level line does not name a map, mode and mod: ' + r.bad[0].trim();
    const missing = [...r.entries, ...(r.start ? [r.start] : [])].filter((c) => !installed(c));
    if (missing.length) {
      return 'not installed: ' + [...new Set(missing.map(describeCombo))].join('; ') + '. Remove it first';
    }
    return '';
  }

  async function saveRotation() {
    if (!rotation) return;
    const text = rotationText(rotation);
    const problem = rotationProblem(parseRotation(text));
    if (problem) {
      rotationMessage(`Not saved: ${problem}.`, 'refused');
      return;
    }
    await saveText(text);
  }

  // The text as typed in the Advanced view, under the same check.
  async function saveRaw() {
    const text = $('file-rotation').value;
    const problem = rotationProblem(parseRotation(text));
    if (problem) {
      rotationMessage(`Not saved: ${problem}.`, 'refused');
      return;
    }
    await saveText(text);
  }

  function wire() {
    changePicker = makePicker('map-pick');
    rotationPicker = makePicker('rotation-pick');
    $('map-change').onclick = () => mapAction('change-map');
    $('map-set-next').onclick = () => mapAction('set-next-map');
    $('map-set-idle').onclick = () => mapAction('idle-map');
    $('map-idle-off').onclick = () => act('idle-map', { combo: '' });
    $('rotation-add').onclick = addToRotation;
    $('rotation-start').addEventListener('change', () => {
      if (!rotation) return;
      rotation.start = $('rotation-start').value;
      setDirty(true);
    });
    $('rotation-save').onclick = saveRotation;
    $('rotation-reload').onclick = loadRotation;
    $('load-rotation').onclick = loadRotation;
    $('save-rotation').onclick = saveRaw;
  }

  async function refresh() {
    await Promise.all([loadCatalogue(), loadRotation()]);
    const first = rotation && (rotation.start || rotation.entries[0]);
    if (!first) return;
    changePicker.prefer(first);
    rotationPicker.prefer(first);
  }

  // Another client changed the rotation: shown unless there are edits here to keep.
  function onNote(note) {
    if (note.name === 'NOTE_ROTATION_CHANGED' && !dirty) loadRotation();
  }

  return { wire, refresh, onNote, parseRotation, rotationText, installed };
})();
