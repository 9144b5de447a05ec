// Times as people read them: in the browser's own locale and time zone, and
// relative to now where that says more ("in 2 h", "3 min ago"). Shared by the
// page's scripts through window.KeldorTime.
'use strict';

(() => {
  // A time as Keldor sends it (epoch seconds, a number or its decimal text), a
  // Date, or milliseconds; null when it is none of them or not a real time.
  function toDate(ts) {
    if (ts instanceof Date) return Number.isNaN(ts.getTime()) ? null : ts;
    const seconds = typeof ts === 'string' && /^\s*\d+\s*$/.test(ts) ? Number(ts) : ts;
    if (typeof seconds !== 'number' || !Number.isFinite(seconds) || seconds <= 0) return null;
    const date = new Date(seconds * 1000);
    return Number.isNaN(date.getTime()) ? null : date;
  }

  const dateTime = new Intl.DateTimeFormat(undefined, { dateStyle: 'medium', timeStyle: 'short' });
  const clock = new Intl.DateTimeFormat(undefined, { hour: '2-digit', minute: '2-digit' });
  const relativeFormat = new Intl.RelativeTimeFormat(undefined, { numeric: 'auto', style: 'short' });
  const UNITS = [
    ['year', 365 * 86400], ['month', 30 * 86400], ['week', 7 * 86400], ['day', 86400],
    ['hour', 3600], ['minute', 60], ['second', 1],
  ];

  // "8 Dec 2026, 21:04"; `otherwise` for no time.
  function local(ts, otherwise = '') {
    const date = toDate(ts);
    return date ? dateTime.format(date) : otherwise;
  }

  // "21:04", the clock time of today's events.
  function clockTime(ts) {
    const date = ts === undefined ? new Date() : toDate(ts);
    return date ? clock.format(date) : '';
  }

  // "in 2 hr.", "3 min. ago", "now": the largest unit that fits.
  function relative(ts, now = Date.now()) {
    const date = toDate(ts);
    if (!date) return '';
    const seconds = (date.getTime() - now) / 1000;
    if (Math.abs(seconds) < 45) return relativeFormat.format(0, 'second');
    for (const [unit, size] of UNITS) {
      if (Math.abs(seconds) >= size) return relativeFormat.format(Math.round(seconds / size), unit);
    }
    return relativeFormat.format(0, 'second');
  }

  // "8 Dec 2026, 21:04 (in 2 hr.)"
  function both(ts, otherwise = '') {
    const date = toDate(ts);
    return date ? `${local(date)} (${relative(date)})` : otherwise;
  }

  // "1 day", "2 hours 30 minutes": a span of seconds (a ban's length), in its
  // two largest units.
  function span(seconds) {
    if (!Number.isFinite(seconds) || seconds <= 0) return '';
    const parts = [];
    for (const [unit, size] of [['week', 604800], ['day', 86400], ['hour', 3600], ['minute', 60], ['second', 1]]) {
      const count = Math.floor(seconds / size);
      if (count > 0 && parts.length < 2) parts.push(`${count} ${unit}${count > 1 ? 's' : ''}`);
      seconds -= count * size;
    }
    return parts.join(' ');
  }

  window.KeldorTime = Object.freeze({ toDate, local, clock: clockTime, relative, both, span });
})();
