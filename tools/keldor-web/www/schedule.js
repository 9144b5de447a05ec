// The schedule as a form: serverschedule.con's events in words, with add,
// edit and delete, saved as the same file. A line the form cannot show is kept
// as it stands and written back unchanged; so is every event not edited here.
// Uses app.js's el, send, act and describe (called only once the page is wired).
'use strict';

window.KeldorSchedule = (() => {
  const EVENTS_MAX = 64;  // Keldor loads no more than this
  const ACTION_MAX = 19;  // characters of the action Keldor reads
  const NAME_MAX = 200;   // characters of a settings file or map list name
  const TIME_MAX = 4294967295;  // the time is 32 bits on the wire and in Keldor's table
  const DAY_SECONDS = 86400;
  // The days keywords with the day codes Keldor gives them (it compares prefixes, ignoring case).
  const DAYS = [
    ['none', 'Once'], ['daily', 'Daily'], ['weekdays', 'Weekdays (Monday to Friday)'],
    ['weekends', 'Weekends'], ['mon', 'Every Monday'], ['tue', 'Every Tuesday'],
    ['wed', 'Every Wednesday'], ['thu', 'Every Thursday'], ['fri', 'Every Friday'],
    ['sat', 'Every Saturday'], ['sun', 'Every Sunday'],
  ];

  const $ = (id) => document.getElementById(id);
  let items = null;  // [{ raw, event|null, why, edited }] in file order
  let dirty = false;
  let editing = -1;  // the item the dialog edits; -1 adds one

  // ---- Reading the file, as Keldor reads it ------------------------------------

  // Five comma-separated fields (a run of commas is one separator), then the
  // rest of the line as the sixth; null when the line has fewer.
  function splitLine(line) {
    const fields = [];
    let at = 0;
    for (let k = 0; k < 5; ++k) {
      while (line[at] === ',') ++at;
      if (at >= line.length) return null;
      const end = line.indexOf(',', at);
      fields.push(line.slice(at, end < 0 ? line.length : end));
      at = end < 0 ? line.length : end + 1;
    }
    if (at >= line.length) return null;
    fields.push(line.slice(at));
    return fields;
  }

  function daysKeyword(days) {
    const lower = days.toLowerCase();
    const found = DAYS.find(([word]) => lower.startsWith(word));
    return found ? found[0] : null;
  }

  // One line: an event the form can show, or why it cannot.
  function parseLine(raw) {
    const fields = splitLine(raw);
    const digits = fields && /^\d+/.exec(fields[0]);
    const time = digits ? Number(digits[0]) : 0;
    if (!fields || time < 1 || time > TIME_MAX) {
      return { raw, event: null, why: 'Keldor skips this line: it is not an event.' };
    }
    const days = daysKeyword(fields[2]);
    if (!days) {
      return { raw, event: null, why: `Keldor never fires this event: "${fields[2]}" names no days it knows.` };
    }
    const action = fields[1].slice(0, ACTION_MAX);
    const file = (name) => (name.trim() === '*' ? '' : name);
    return {
      raw,
      event: {
        time, days,
        start: action.toLowerCase().startsWith('start'),
        wait: action.includes('wait'),
        settings: file(fields[3]),
        maplist: file(fields[4]),
        enabled: (Number.parseInt(fields[5], 10) || 0) !== 0,
      },
    };
  }

  function parse(text) {
    return text.split('\n').map((line) => line.replace(/\r$/, ''))
      .filter((line) => line.trim()).map(parseLine);
  }

  function lineOf(e) {
    const action = (e.start ? 'start' : 'stop') + (e.wait ? ' wait' : '');
    const file = (name) => (e.start && name ? name : '*');
    return [e.time, action, e.days, file(e.settings), file(e.maplist), e.enabled ? 1 : 0].join(',');
  }

  function fileText() {
    return items.map((item) => (item.edited ? lineOf(item.event) : item.raw)).join('\n') + (items.length ? '\n' : '');
  }

  // ---- In words, in the browser's time zone -------------------------------------

  function timeOfDay(date) {
    const options = { hour: '2-digit', minute: '2-digit' };
    if (date.getSeconds()) options.second = '2-digit';
    return date.toLocaleTimeString(undefined, options);
  }

  function sentence(e) {
    const date = new Date(e.time * 1000);
    const when = e.days === 'none'
      ? 'Once, ' + date.toLocaleString(undefined, { dateStyle: 'medium', timeStyle: 'short' })
        + (date.getTime() <= Date.now() ? ' (past)' : '')
      : `${DAYS.find(([word]) => word === e.days)[1].replace(/ \(.*\)$/, '')} at ${timeOfDay(date)}`;
    let what = e.start ? 'start or restart the server' : 'stop the server';
    if (e.wait) what += ', waiting for the round end';
    if (e.start && e.settings) what += `, with the settings file ${e.settings}`;
    if (e.start && e.maplist) what += `, with the map list ${e.maplist}`;
    return `${when}: ${what}`;
  }

  // ---- The table -----------------------------------------------------------------

  function setDirty(value) {
    dirty = value;
    $('schedule-dirty').textContent = value ? 'Unsaved changes.' : '';
    if (value) $('file-schedule').value = fileText();
  }

  function button(text, id, label, onclick) {
    const b = el('button', { type: 'button', className: 'small quiet', id, textContent: text, title: label });
    b.setAttribute('aria-label', label);
    b.onclick = onclick;
    return b;
  }

  function show() {
    const body = $('schedule-events').tBodies[0];
    if (!items) {
      body.replaceChildren();
      return;
    }
    let loaded = 0;
    body.replaceChildren(...items.map((item, index) => {
      const words = item.event ? sentence(item.event) : item.raw;
      const remove = button('Delete', 'schedule-delete-' + index, 'Delete: ' + words, () => {
        items.splice(index, 1);
        setDirty(true);
        show();
        $('schedule-add').focus();
      });
      if (!item.event) {
        return el('tr', { id: 'schedule-event-' + index, className: 'kept' },
          el('td', {}, el('code', { textContent: item.raw }), el('div', { className: 'muted', textContent: item.why + ' It is kept as it stands.' })),
          el('td', { textContent: '' }), el('td', {}, el('div', { className: 'actions' }, remove)));
      }
      const over = ++loaded > EVENTS_MAX;
      const edit = button('Edit', 'schedule-edit-' + index, 'Edit: ' + words, () => openForm(index));
      return el('tr', { id: 'schedule-event-' + index, className: item.event.enabled ? '' : 'off' },
        el('td', {}, el('span', { textContent: words }),
          over ? el('div', { className: 'refused', textContent: `Keldor loads only the first ${EVENTS_MAX} events.` }) : ''),
        el('td', { textContent: item.event.enabled ? 'On' : 'Off' }),
        el('td', {}, el('div', { className: 'actions' }, edit, remove)));
    }));
    $('schedule-empty').textContent = items.length ? '' : 'No events.';
  }

  function message(text, kind) {
    $('schedule-message').textContent = text;
    $('schedule-message').className = kind || 'muted';
  }

  async function load() {
    const reply = await send('get', { file: 'schedule' }, true);
    if (!reply.ok) {
      message(describe(reply), 'refused');
      return;
    }
    message('');
    $('file-schedule').value = reply.data;
    $('file-schedule-message').textContent = '';
    items = parse(reply.data);
    setDirty(false);
    show();
  }

  async function saveText(content, where) {
    const reply = await act('put', { file: 'schedule', content });
    if (reply.ok) await load();
    where.textContent = describe(reply);
    where.className = reply.ok ? 'muted' : 'refused';
    if (!reply.ok && !reply.refused) {
      // Keldor stores a schedule with lines it cannot read, and says it failed
      // because it skips them: the file as stored tells which happened.
      const stored = await send('get', { file: 'schedule' }, true);
      if (stored.ok && stored.data === content) {
        await load();
        where.textContent = 'Saved, but Keldor skips the lines that are not events.';
        where.className = 'muted';
      }
    }
    return reply;
  }

  // ---- The form --------------------------------------------------------------------

  const pad = (n) => String(n).padStart(2, '0');
  const localDate = (d) => `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())}`;
  const localTime = (d) => `${pad(d.getHours())}:${pad(d.getMinutes())}`;

  function showWhen() {
    const once = $('schedule-when').value === 'none';
    $('schedule-date-label').hidden = !once;
    $('schedule-time-label').hidden = once;
    const start = $('schedule-what').value === 'start';
    $('schedule-files').hidden = !start;
  }

  function openForm(index) {
    editing = index;
    const e = index >= 0 ? items[index].event : null;
    const when = e ? new Date(e.time * 1000) : null;
    const soon = new Date(Date.now() + 3600 * 1000);
    soon.setMinutes(0, 0, 0);
    $('schedule-title').textContent = e ? 'Edit the event' : 'Add an event';
    $('schedule-what').value = e && !e.start ? 'stop' : 'start';
    $('schedule-wait').checked = e ? e.wait : false;
    $('schedule-when').value = e ? e.days : 'daily';
    $('schedule-date').value = `${localDate(when || soon)}T${localTime(when || soon)}`;
    $('schedule-time').value = when ? localTime(when) : '04:00';
    $('schedule-settings').value = e ? e.settings : '';
    $('schedule-maplist').value = e ? e.maplist : '';
    $('schedule-enabled').checked = e ? e.enabled : true;
    $('schedule-form-message').textContent = '';
    showWhen();
    $('schedule-dialog').showModal();
  }

  // The times the other events hold: an event's time is its identity to Keldor.
  function takenTimes() {
    const taken = new Set();
    items.forEach((item, index) => {
      if (index === editing) return;
      const digits = /^\s*,*\s*(\d+)/.exec(item.raw);
      if (item.event) taken.add(item.event.time);
      else if (digits) taken.add(Number(digits[1]));
    });
    return taken;
  }

  // The event's time in seconds since 1970, or a string saying what is wrong.
  function formTime(days, previous) {
    const taken = takenTimes();
    if (days === 'none') {
      const match = /^(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d)/.exec($('schedule-date').value);
      if (!match) return 'Give the date and time.';
      const [y, mo, d, h, mi] = match.slice(1).map(Number);
      const date = new Date(y, mo - 1, d, h, mi, 0);
      if (date.getHours() !== h || date.getMinutes() !== mi) return 'That time does not exist on that day: the clocks go forward.';
      let time = Math.floor(date.getTime() / 1000);
      const unchanged = previous && previous.days === 'none' && Math.floor(previous.time / 60) === Math.floor(time / 60);
      if (unchanged) return previous.time;
      if (time * 1000 <= Date.now()) return 'That time has passed.';
      while (taken.has(time)) ++time;  // Keldor would move it on by a second, too
      return time > TIME_MAX ? 'That date is too far off.' : time;
    }
    const match = /^(\d\d):(\d\d)/.exec($('schedule-time').value);
    if (!match) return 'Give the time of day.';
    const [h, mi] = match.slice(1).map(Number);
    // Only the local time of day counts: the same time as before keeps its date.
    if (previous && previous.days !== 'none') {
      const before = new Date(previous.time * 1000);
      if (before.getHours() === h && before.getMinutes() === mi && !taken.has(previous.time)) return previous.time;
    }
    // Today at that time, or an earlier day when that moment is taken or skipped by the clocks.
    const today = new Date();
    for (let back = 0; back < 366; ++back) {
      const date = new Date(today.getFullYear(), today.getMonth(), today.getDate() - back, h, mi, 0);
      const time = Math.floor(date.getTime() / 1000);
      if (date.getHours() === h && date.getMinutes() === mi && !taken.has(time) && time > DAY_SECONDS) return time;
    }
    return 'No free time of that time of day is left.';
  }

  function fileName(id, label) {
    const name = $(id).value.trim();
    if (name === '*') return '';
    if (name.length > NAME_MAX) return { problem: `The ${label} name is too long.` };
    // A comma would end the field; Keldor takes only names of files in its settings directory.
    if (/[,\x00-\x1f\x7f]/.test(name)) return { problem: `The ${label} name may not hold a comma or a control character.` };
    return name;
  }

  function submitForm(event) {
    event.preventDefault();
    const days = $('schedule-when').value;
    const start = $('schedule-what').value === 'start';
    const previous = editing >= 0 ? items[editing].event : null;
    const settings = start ? fileName('schedule-settings', 'settings file') : '';
    const maplist = start ? fileName('schedule-maplist', 'map list') : '';
    const time = formTime(days, previous);
    const problem = typeof time === 'string' ? time : settings.problem || maplist.problem;
    if (problem) {
      $('schedule-form-message').textContent = problem;
      return;
    }
    if (editing < 0 && items.filter((item) => item.event).length >= EVENTS_MAX) {
      $('schedule-form-message').textContent = `Keldor takes at most ${EVENTS_MAX} events.`;
      return;
    }
    const e = { time, days, start, wait: $('schedule-wait').checked, settings, maplist, enabled: $('schedule-enabled').checked };
    const item = { raw: lineOf(e), event: e, edited: true };
    if (editing >= 0) items[editing] = item;
    else items.push(item);
    $('schedule-dialog').close();
    setDirty(true);
    show();
    const row = $('schedule-edit-' + (editing >= 0 ? editing : items.length - 1));
    if (row) row.focus();
  }

  function wire() {
    $('schedule-add').onclick = () => {
      if (items) openForm(-1);
    };
    $('schedule-form').addEventListener('submit', submitForm);
    $('schedule-cancel').onclick = () => $('schedule-dialog').close();
    $('schedule-when').addEventListener('change', showWhen);
    $('schedule-what').addEventListener('change', showWhen);
    $('schedule-when').replaceChildren(...DAYS.map(([value, text]) => el('option', { value, textContent: text })));
    $('schedule-save').onclick = () => {
      if (items) saveText(fileText(), $('schedule-message'));
    };
    $('schedule-reload').onclick = load;
    $('load-schedule').onclick = load;
    $('save-schedule').onclick = () => saveText($('file-schedule').value, $('file-schedule-message'));
  }

  // Another client or a fired event changed the schedule: shown unless there are edits here to keep.
  function onNote(note) {
    if (note.name === 'NOTE_SCHEDULE_CHANGED' && !dirty) load();
  }

  return { wire, refresh: load, onNote, parse, sentence };
})();
