// The host's live page: an overview of every site and one view per site (#/site/NAME).
// Data comes from the host's read-only JSON; updates are pushed over Server-Sent Events, with
// polling when a stream cannot be had. Every text from the line or the configuration reaches the
// page as a text node, never as markup.
'use strict';

const POLL_MS = 3000;           // polling period when no event stream is open
const STREAM_RETRY_MS = 30000;  // while polling, how often to try a stream again
const QUIET_MS = 40000;         // a stream silent this long is checked with one request
const FETCH_TIMEOUT_MS = 5000;

// ---- DOM helpers: text only ----

function el(tag, props, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(props || {})) {
    if (value === undefined || value === null || value === false) continue;
    if (name === 'className') node.className = value;
    else if (name.startsWith('data-')) node.setAttribute(name, String(value));
    else if (name === 'href' || name === 'title' || name === 'id') node.setAttribute(name, value);
    else throw new Error('unexpected property ' + name);
  }
  for (const child of children.flat()) {
    if (child === undefined || child === null || child === false) continue;
    node.appendChild(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

function table(className, headings, rows, emptyText) {
  if (rows.length === 0) return el('p', {className: 'muted'}, emptyText);
  return el('table', {className},
            el('thead', {}, el('tr', {}, headings.map((h) => el('th', {}, h)))),
            el('tbody', {}, rows));
}

// ---- formatting ----

function hex2(n) {
  return typeof n === 'number' && n >= 0 ? n.toString(16).toUpperCase().padStart(2, '0') : '—';
}

function duration(seconds) {
  if (typeof seconds !== 'number' || !isFinite(seconds)) return '—';
  if (seconds < 10) return seconds.toFixed(1) + ' s';
  if (seconds < 120) return Math.round(seconds) + ' s';
  if (seconds < 7200) return Math.round(seconds / 60) + ' min';
  return (seconds / 3600).toFixed(1) + ' h';
}

// "2026-12-08T14:15:28.123+01:00" -> "2026-12-08 14:15:28", plus how long ago.
function timeText(iso) {
  if (!iso) return '—';
  return String(iso).replace('T', ' ').replace(/\.\d+/, '').replace(/([+-]\d\d:\d\d|Z)$/, '');
}

function since(iso) {
  const when = Date.parse(iso);
  if (!iso || isNaN(when)) return timeText(iso);
  return timeText(iso) + ' (' + duration(Math.max(0, (Date.now() - when) / 1000)) + ' ago)';
}

// Engineering units of the keys the units serve.
function unitOf(deviceType, key) {
  if (/_alert$/.test(key)) return '';
  if (/^i[abc]$/.test(key)) return 'A';
  const channel = /channel_\d+_(.)/.exec(key);
  if (channel) return {a: 'V', b: 'V', c: 'V', f: 'Hz'}[channel[1]] || '';
  if (deviceType === 'k426b-dc') return {v: 'V', i: 'A'}[key] || '';
  return '';
}

function numberText(value) {
  if (typeof value !== 'number') return '—';
  return Number.isInteger(value) ? String(value) : String(Math.round(value * 1000) / 1000);
}

// A line that answers while no cycle can complete is not monitored, however "up" it is.
function lineBadge(line) {
  let state = (line && line.state) || 'unknown';
  if (state === 'up' && line.problem) state = 'not monitored';
  const name = state.replace(/ /g, '-');
  return el('span', {className: 'state state-' + name, 'data-state': name}, state);
}

// Why the line is not up, or why it is not monitored.
function lineNote(line) {
  if (line && line.reason) return el('div', {className: 'muted'}, line.reason);
  if (line && line.problem) return el('div', {className: 'problem'}, line.problem);
  return null;
}

function activeAlarms(site) {
  return (site.alarms || []).filter((a) => a.active);
}

function levelCounts(site) {
  const counts = {};
  for (const alarm of activeAlarms(site)) counts[alarm.level] = (counts[alarm.level] || 0) + 1;
  const levels = Object.keys(counts).sort((a, b) => a - b);
  if (levels.length === 0) return el('span', {className: 'level none', 'data-total': 0}, 'none');
  return el('span', {'data-total': activeAlarms(site).length},
            levels.map((l) => el('span', {className: 'level level-' + l, title: 'level ' + l},
                                 'L' + l + ': ' + counts[l])));
}

// The oldest data among the site's units: what an operator needs to know.
function oldestAge(site) {
  const ages = (site.units || []).map((u) => u.age_s).filter((a) => typeof a === 'number');
  return ages.length ? Math.max(...ages) : null;
}

function siteHref(name) {
  return '#/site/' + encodeURIComponent(name);
}

// ---- views ----

function renderOverview(sites) {
  setCrumb(null);
  const rows = sites.map((site) => el('tr', {'data-site': site.name},
    el('td', {}, el('a', {href: siteHref(site.name)}, site.name || '(unnamed)')),
    el('td', {className: 'line-state'}, lineBadge(site.line), lineNote(site.line)),
    el('td', {}, since(site.line && site.line.since)),
    el('td', {}, site.model || '—'),
    el('td', {className: 'num age'}, duration(oldestAge(site))),
    el('td', {className: 'alarm-counts'}, levelCounts(site)),
    el('td', {className: 'num'}, duration(site.counters && site.counters.last_cycle_seconds)),
    el('td', {className: 'num'}, (site.counters && site.counters.cycles) || 0),
    el('td', {className: 'muted'}, site.port || '')));
  return [
    el('h2', {}, 'Sites (' + sites.length + ')'),
    table('overview', ['Site', 'Line', 'Since', 'Model', 'Data age', 'Active alarms',
                       'Last cycle', 'Cycles', 'Port'], rows, 'No site has reported yet.'),
  ];
}

function valueRows(unit) {
  return Object.entries(unit.values || {}).map(([key, value]) => {
    const refused = value !== null && typeof value === 'object';
    return el('tr', {'data-key': key},
      el('th', {}, key),
      refused ? el('td', {className: 'refused', 'data-error': 'true'}, String(value.error || ''))
              : el('td', {className: 'num'}, numberText(value)),
      el('td', {className: 'muted'}, refused ? '' : unitOf(unit.device_type, key)));
  });
}

// The rectifier group, as the host decodes the unit's snapshot: the group's own values
// ("group": name -> number) and one row per module ("modules": position, its first value and
// its further values in order).
function groupTable(group) {
  const natural = (a, b) => (b === 'group') - (a === 'group') ||
                            a.localeCompare(b, 'en', {numeric: true});
  const names = Object.keys(group || {}).sort(natural);
  if (names.length === 0) return null;
  return el('div', {className: 'group'}, names.map((name) => el('div', {'data-key': name},
    el('span', {className: 'key'}, name), ' ', el('span', {className: 'num'}, numberText(group[name])))));
}

function moduleTable(unit) {
  if (!Array.isArray(unit.modules)) {
    return el('p', {className: 'muted', 'data-placeholder': 'modules'},
              'No module values yet: the group has not been read in full.');
  }
  const modules = unit.modules.filter((m) => m !== null && typeof m === 'object');
  const width = Math.max(0, ...modules.map((m) => (Array.isArray(m.further) ? m.further.length : 0)));
  const headings = ['Module', 'First'];
  for (let i = 1; i <= width; ++i) headings.push('Further ' + i);
  const rows = modules.map((module) => {
    const further = Array.isArray(module.further) ? module.further : [];
    const cells = [el('th', {}, String(module.position ?? '')),
                   el('td', {className: 'num'}, numberText(module.first))];
    for (let i = 0; i < width; ++i) {
      cells.push(i < further.length ? el('td', {className: 'num'}, numberText(further[i]))
                                    : el('td', {className: 'muted'}, '—'));
    }
    return el('tr', {'data-module': module.position}, cells);
  });
  return [groupTable(unit.group),
          table('modules', headings, rows, 'No rectifier module reported.')];
}

function unitCard(unit) {
  const age = typeof unit.age_s === 'number' ? duration(unit.age_s) + ' old' : 'no data';
  const values = valueRows(unit);
  return el('section', {className: 'unit', 'data-unit': unit.data_id + ':' + unit.device_type},
    el('h3', {}, unit.device_type + ' #' + unit.data_id),
    el('div', {className: 'muted'}, 'record ' + unit.record_type + ' · ' + age +
       (unit.cached ? ' · from cache' : '')),
    values.length ? el('table', {className: 'values'}, el('tbody', {}, values)) : null,
    unit.device_type === 'k426b-rc' ? moduleTable(unit) : null);
}

function alarmCells(alarm) {
  return [el('td', {}, el('span', {className: 'level level-' + alarm.level}, 'L' + alarm.level)),
          el('td', {}, alarm.rule_id), el('td', {}, alarm.code), el('td', {}, alarm.name),
          el('td', {}, alarm.description)];
}

function frameRow(frame) {
  return el('tr', {className: frame.bad ? 'bad' : null, 'data-bad': frame.bad ? 'true' : null},
    el('td', {}, timeText(frame.time)),
    el('td', {}, frame.direction),
    el('td', {}, hex2(frame.cid1)),
    el('td', {}, hex2(frame.cid2)),
    el('td', {className: 'text'}, frame.text),
    el('td', {className: 'reason'}, frame.bad ? frame.error : ''));
}

function renderSite(site) {
  setCrumb(site.name);
  const counters = site.counters || {};
  const errors = Object.entries(counters.frame_errors || {}).map(([r, n]) => r + ': ' + n);
  const replyErrors = Object.entries(counters.reply_errors || {}).map(([r, n]) => 'RTN ' + r + ': ' + n);
  const active = activeAlarms(site);
  const changes = (site.alarm_changes || []).slice().reverse();
  const frames = (site.frames || []).slice().reverse();
  return [
    el('h2', {}, site.name || '(unnamed)'),
    el('table', {className: 'summary'}, el('tbody', {},
      el('tr', {}, el('th', {}, 'Line'), el('td', {className: 'line-state'}, lineBadge(site.line),
         ' since ', since(site.line && site.line.since), lineNote(site.line))),
      el('tr', {}, el('th', {}, 'Model'), el('td', {id: 'model'}, site.model || '—')),
      el('tr', {}, el('th', {}, 'Port'), el('td', {}, site.port || '—')),
      el('tr', {}, el('th', {}, 'Cycles'), el('td', {id: 'cycles', 'data-cycles': counters.cycles || 0},
         (counters.cycles || 0) + ' · last ' +
         duration(counters.last_cycle_seconds) + ' · ' + (counters.queries || 0) + ' queries')),
      el('tr', {}, el('th', {}, 'Errors'), el('td', {},
         [...errors, ...replyErrors].join(' · ') || 'none')))),
    el('h2', {}, 'Units'),
    el('div', {className: 'units'}, (site.units || []).map(unitCard)),
    el('h2', {}, 'Active alarms (' + active.length + ')'),
    el('div', {id: 'active-alarms'}, table('alarms', ['Level', 'Rule', 'Code', 'Name', 'Description', 'Since'],
      active.map((a) => el('tr', {'data-rule': a.rule_id + '/' + a.data_id}, alarmCells(a),
                           el('td', {}, since(a.since)))), 'No active alarm.')),
    el('h2', {}, 'Alarm changes, last hour (' + changes.length + ')'),
    el('div', {id: 'alarm-changes'}, table('alarms', ['Level', 'Rule', 'Code', 'Name', 'Description', 'Time', 'Change'],
      changes.map((c) => el('tr', {className: c.state}, alarmCells(c), el('td', {}, timeText(c.time)),
                            el('td', {}, c.state))), 'No alarm change in the last hour.')),
    el('h2', {}, 'Frames, newest first (' + frames.length + ')'),
    el('div', {id: 'frames'}, table('frames', ['Time', 'Dir', 'CID1', 'CID2/RTN', 'Frame', 'Error'],
      frames.map(frameRow), 'No frame yet.')),
  ];
}

function setCrumb(name) {
  const crumb = document.getElementById('crumb');
  crumb.replaceChildren(name === null ? 'all sites' : el('span', {}, '› ', name));
  document.title = name === null ? 'k426b sites' : name + ' · k426b';
}

// ---- routing and data ----

const state = {
  site: null,          // the site shown, or null for the overview
  stream: null,        // the open EventSource
  pollTimer: null,
  lastData: 0,         // when the last data or check arrived
  lastStreamTry: 0,
  lostSince: null,
};

function route() {
  const match = /^#\/site\/(.+)$/.exec(location.hash);
  state.site = match ? decodeURIComponent(match[1]) : null;
  document.getElementById('view').replaceChildren(el('p', {className: 'muted'}, 'Loading…'));
  openStream();
}

function apiUrl() {
  return state.site === null ? 'api/sites' : 'api/sites/' + encodeURIComponent(state.site);
}

function show(data) {
  const view = document.getElementById('view');
  if (state.site !== null && (data === null || data.error)) {
    setCrumb(state.site);
    view.replaceChildren(el('p', {}, 'The host does not know the site "', state.site, '". '),
                         el('a', {href: '#/'}, 'All sites'));
    return;
  }
  view.replaceChildren(...(state.site === null ? renderOverview(Array.isArray(data) ? data : [])
                                               : renderSite(data)));
}

function connected() {
  state.lastData = Date.now();
  if (state.lostSince === null) return;
  state.lostSince = null;
  document.getElementById('banner').hidden = true;
  document.getElementById('view').classList.remove('stale');
}

function lost() {
  if (state.lostSince === null) state.lostSince = new Date();
  const banner = document.getElementById('banner');
  banner.replaceChildren('Connection to the host lost since ' +
    state.lostSince.toLocaleTimeString() + '; the data below may be out of date. Retrying…');
  banner.hidden = false;
  document.getElementById('view').classList.add('stale');
}

function setTransport(text) {
  document.getElementById('transport').replaceChildren(text);
}

function closeStream() {
  if (state.stream) state.stream.close();
  state.stream = null;
}

function openStream() {
  closeStream();
  clearTimeout(state.pollTimer);
  state.lastStreamTry = Date.now();
  if (typeof EventSource !== 'function') return poll();
  const url = state.site === null ? 'events' : 'events?site=' + encodeURIComponent(state.site);
  const stream = new EventSource(url);
  state.stream = stream;
  stream.onopen = () => { setTransport('live'); connected(); };
  stream.onmessage = (event) => {
    connected();
    show(JSON.parse(event.data));
  };
  // Any failure of the stream (host gone, refused, too many streams): poll, and try a stream
  // again from time to time while polling works.
  stream.onerror = () => {
    if (state.stream !== stream) return;
    closeStream();
    poll();
  };
}

async function fetchJson(url) {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), FETCH_TIMEOUT_MS);
  try {
    const response = await fetch(url, {cache: 'no-store', signal: abort.signal});
    if (response.status === 404) return null;
    if (!response.ok) throw new Error('HTTP ' + response.status);
    return await response.json();
  } finally {
    clearTimeout(timer);
  }
}

async function poll() {
  clearTimeout(state.pollTimer);
  setTransport('polling');
  const site = state.site;
  try {
    const data = await fetchJson(apiUrl());
    if (site !== state.site || state.stream) return;  // the view changed meanwhile
    connected();
    show(data);
    if (Date.now() - state.lastStreamTry >= STREAM_RETRY_MS) return openStream();
  } catch (error) {
    if (site !== state.site || state.stream) return;
    lost();
  }
  state.pollTimer = setTimeout(poll, POLL_MS);
}

// A stream can die without an error (a host that vanished without closing the connection);
// the keep-alive comments are not visible here, so a long-quiet stream is checked once.
async function watch() {
  if (!state.stream || Date.now() - state.lastData < QUIET_MS) return;
  try {
    await fetchJson(apiUrl());
    connected();
  } catch (error) {
    closeStream();
    lost();
    poll();
  }
}

window.addEventListener('hashchange', route);
setInterval(watch, 5000);
route();
