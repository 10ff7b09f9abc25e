// The dashboard: the station's state from /api/events, drawn as the header, a cell per port,
// the summary, the chart and the last finished modules. The first event is the whole state;
// each later one replaces the part of it that changed.
'use strict';

const HEADLINES = {
  empty: 'EMPTY', running: 'FLASHING', ok: 'DONE', failed: 'FAILED',
  wrong_platform: 'WRONG PLATFORM',
};
const RESULTS = { ok: 'done', failed: 'failed', wrong_platform: 'wrong platform' };
// The station sends something at least every second; this long without a word, it is lost.
const SILENCE_MS = 5000;
const RECENT_KEPT = 50;
const SVG = 'http://www.w3.org/2000/svg';

let state = null;
let lastHeard = Date.now();

function byId(id) { return document.getElementById(id); }

function element(tag, className, parent) {
  const made = document.createElement(tag);
  if (className) made.className = className;
  if (parent) parent.appendChild(made);
  return made;
}

function show(target, text) {
  target.textContent = text ?? '';
  target.hidden = text === null || text === undefined || text === '';
}

// "2026-12-07T06:41:10.123Z" as "2026-12-07 06:41 UTC".
function utcMinutes(iso) { return iso.slice(0, 10) + ' ' + iso.slice(11, 16) + ' UTC'; }

function renderShift() {
  const shift = state.shift;
  const firmware = shift.firmware;
  document.title = 'kavro-station ' + shift.station;
  byId('station').textContent = 'kavro-station ' + shift.station;
  byId('firmware').textContent = 'firmware ' + (firmware.platform ?? '?') +
    (firmware.version ? ' ' + firmware.version : '') + ': ' +
    (firmware.archive_name ?? 'built in') +
    (firmware.sha256 ? ' sha256 ' + firmware.sha256.slice(0, 12) : '');
  byId('started').textContent = 'shift since ' + utcMinutes(shift.started);
  show(byId('stopping'), shift.stopping);
  show(byId('results-database'), shift.results_database?.words);
  const hosts = byId('hosts');
  hosts.replaceChildren();
  for (const host of shift.unreachable_hosts) {
    element('li', '', hosts).textContent =
      'remote host ' + host.host + ' unreachable since ' + utcMinutes(host.since);
  }
}

function newCell(port) {
  const cell = element('div', 'cell');
  cell.dataset.port = port.id;
  const where = element('div', 'where', cell);
  element('span', 'place', where);
  element('span', 'time', where);
  for (const part of ['headline', 'detail', 'advice', 'error', 'warning']) {
    element('div', part, cell);
  }
  element('div', '', element('div', 'progress', cell));
  return cell;
}

function renderPort(port, cell) {
  const part = (name) => cell.querySelector('.' + name);
  cell.className = 'cell ' + port.state + (port.warning ? ' warned' : '');
  part('place').textContent = port.device_path + (port.remote ? ' (' + port.remote + ')' : '');
  part('time').textContent = port.time ?? '';
  const running = port.state === 'running';
  part('headline').textContent = HEADLINES[port.state] + (running ? ' ' + port.percent + '%' : '');
  // The step while flashing, the last result of an empty port, the wrong platform's words.
  show(part('detail'), running || port.state === 'empty' || port.state === 'wrong_platform'
    ? port.words : null);
  show(part('advice'), port.state === 'wrong_platform' ? null : port.advice);
  show(part('error'), port.error);
  show(part('warning'), port.warning ? '\u26a0 ' + port.warning : null);
  part('progress').hidden = !running;
  part('progress').firstChild.style.width = (running ? port.percent : 0) + '%';
}

function renderPorts() {
  const ports = byId('ports');
  // Smaller cells for a big hub, so that every port stays on the screen.
  document.body.classList.toggle('dense', state.ports.length > 12 && state.ports.length <= 32);
  document.body.classList.toggle('densest', state.ports.length > 32);
  ports.replaceChildren(...state.ports.map((port) => {
    const cell = newCell(port);
    renderPort(port, cell);
    return cell;
  }));
}

function updatePort(port) {
  const index = state.ports.findIndex((known) => known.id === port.id);
  const cell = [...byId('ports').children].find((shown) => shown.dataset.port === port.id);
  if (index < 0 || !cell) return;
  state.ports[index] = port;
  renderPort(port, cell);
}

function renderSummary() {
  const summary = state.summary;
  byId('done').textContent = summary.done;
  byId('failed').textContent = summary.failed;
  byId('yield').textContent = summary.yield_percent === null ? '\u2013' : summary.yield_percent.toFixed(1) + '%';
  byId('rate').textContent = summary.modules_per_hour === null ? '\u2013' : summary.modules_per_hour.toFixed(1);
  byId('running').textContent = summary.running;
  byId('wrong').textContent = summary.wrong_platform;
  byId('wrong-figure').hidden = summary.wrong_platform === 0;
  byId('done').parentElement.title = summary.words;
}

function svg(tag, attributes, parent) {
  const made = document.createElementNS(SVG, tag);
  for (const [name, value] of Object.entries(attributes)) made.setAttribute(name, value);
  parent.appendChild(made);
  return made;
}

// A stacked bar per stretch (done below, failed above) against the count on the left, and
// the yield of each stretch as a line against 0-100 % on the right.
function renderChart() {
  const chart = byId('chart');
  chart.replaceChildren();
  const bars = state.chart.bars;
  const [left, right, top, bottom, width, height] = [36, 44, 12, 24, 560, 240];
  const plotWidth = width - left - right;
  const plotHeight = height - top - bottom;
  const most = Math.max(1, ...bars.map((bar) => bar.done + bar.failed));
  const step = plotWidth / Math.max(bars.length, 1);
  const barWidth = Math.max(2, step * 0.7);
  const y = (count) => top + plotHeight - (count / most) * plotHeight;
  svg('line', { class: 'axis', x1: left, y1: top + plotHeight, x2: width - right, y2: top + plotHeight }, chart);
  svg('text', { x: left - 6, y: top + 12, 'text-anchor': 'end' }, chart).textContent = most;
  svg('text', { x: left - 6, y: top + plotHeight, 'text-anchor': 'end' }, chart).textContent = 0;
  svg('text', { x: width - right + 6, y: top + 12 }, chart).textContent = '100%';
  svg('text', { x: width - right + 6, y: top + plotHeight }, chart).textContent = '0%';
  const points = [];
  bars.forEach((bar, index) => {
    const x = left + index * step + (step - barWidth) / 2;
    const group = svg('g', { class: 'bar' }, chart);
    svg('rect', { class: 'done', x, width: barWidth, y: y(bar.done), height: y(0) - y(bar.done) }, group);
    svg('rect', {
      class: 'failed', x, width: barWidth, y: y(bar.done + bar.failed),
      height: y(bar.done) - y(bar.done + bar.failed),
    }, group);
    svg('title', {}, group).textContent = utcMinutes(bar.start) + ': ' + bar.done + ' done, ' +
      bar.failed + ' failed' + (bar.yield_percent === null ? '' : ', yield ' + bar.yield_percent.toFixed(1) + '%');
    if (index % Math.ceil(bars.length / 6) === 0) {
      svg('text', { x: x + barWidth / 2, y: height - 6, 'text-anchor': 'middle' }, chart)
        .textContent = bar.start.slice(11, 16);
    }
    if (bar.yield_percent !== null) {
      points.push([x + barWidth / 2, top + plotHeight - (bar.yield_percent / 100) * plotHeight]);
    }
  });
  svg('polyline', { class: 'yield', points: points.map((point) => point.join(',')).join(' ') }, chart);
  for (const [cx, cy] of points) svg('circle', { class: 'yield-point', cx, cy, r: 4 }, chart);
}

function renderRecent() {
  byId('recent').replaceChildren(...state.recent.map((module) => {
    const row = element('tr');
    element('td', '', row).textContent = module.finished.slice(11, 19);
    element('td', '', row).textContent = module.device_path + (module.remote ? ' (' + module.remote + ')' : '');
    element('td', module.result, row).textContent = RESULTS[module.result];
    element('td', '', row).textContent = module.result === 'ok'
      ? module.duration_s.toFixed(1) + ' s'
      : [module.error, module.advice].filter(Boolean).join(': ');
    return row;
  }));
}

function renderAll() {
  renderShift();
  renderPorts();
  renderSummary();
  renderChart();
  renderRecent();
}

function heard() {
  lastHeard = Date.now();
  byId('lost').hidden = true;
}

function on(source, name, take) {
  source.addEventListener(name, (event) => {
    heard();
    if (name === 'state' || state) take(JSON.parse(event.data));
  });
}

function connect() {
  const source = new EventSource('/api/events');
  on(source, 'state', (whole) => { state = whole; renderAll(); });
  on(source, 'shift', (shift) => { state.shift = shift; renderShift(); });
  on(source, 'port', updatePort);
  on(source, 'summary', (summary) => { state.summary = summary; renderSummary(); });
  on(source, 'chart', (chart) => { state.chart = chart; renderChart(); });
  on(source, 'finished', (module) => {
    state.recent = [module, ...state.recent].slice(0, RECENT_KEPT);
    renderRecent();
  });
  on(source, 'heartbeat', () => {});
  source.onerror = () => {
    byId('lost').hidden = false;
    // The browser tries again by itself unless the station refused the stream (for one, when
    // it serves as many clients as it can): then the page does, a little later.
    if (source.readyState === EventSource.CLOSED) setTimeout(connect, 2000);
  };
}

setInterval(() => {
  if (Date.now() - lastHeard > SILENCE_MS) byId('lost').hidden = false;
}, 1000);
connect();
