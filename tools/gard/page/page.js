// The gard history page: reads the history the tool put into #data and
// draws it. Every text from the history is put into the document as text
// (textContent, attribute values), never as markup.
(function () {
'use strict';
var D = JSON.parse(document.getElementById('data').textContent);
var MAX_LANES = 12, PAGE = 200, LABEL = 190, NOW = 130, RIGHT = 10, TOP = 26, ROW = 22, BUCKET = 4, MIN_SPAN = 3;
var STATES = [['new', '#4f9d4f', 'new (0x5c)'], ['garded', '#d13f3f', 'garded (0x5d)'],
  ['garded-2', '#8e1f52', 'garded, second kind (0xed)'], ['cleared', '#3b7dc4', 'cleared (0xcc)'],
  ['not-garded-2', '#86b9e6', 'not garded, second kind (0xec)'], ['dma-mark', '#d8c53a', 'DMA-configuration mark (0x5a)'],
  ['erased', '#b39ddb', 'erased keyword'], ['none', '#c4c9d1', 'none (0)'], ['free', '#eceef2', 'not in the table'],
  ['missing', '#eceef2', 'no keyword'], ['unreadable', '#f0a030', 'unreadable or damaged'], ['other', '#7a7a7a', 'any other value'],
  ['unknown', '#ffffff', 'not known'], ['mixed', '#9aa3af', 'several changes (zoom in)']];
var MARKS = [['error', '#c0392b', 'error log (error)'], ['info', '#2e86c1', 'error log (informational)'],
  ['registry', '#8e44ad', 'registry value'], ['platform', '#16a085', 'platform value'],
  ['stored-errl', '#b9770e', 'stored error log'], ['gard-file', '#6d5c2e', 'gard file'], ['unit', '#6d5c2e', 'unit table file'],
  ['sp-record', '#6d5c2e', 'record'], ['mixed', '#555', 'several kinds (zoom in)']];
var color = {}, markColor = {}, stateWords = {};
STATES.forEach(function (s) { color[s[0]] = s[1]; stateWords[s[0]] = s[2]; });
MARKS.forEach(function (s) { markColor[s[0]] = s[1]; });
function stateOf(s) { return s && color[s] ? s : s ? 'other' : 'unknown'; }
// "1 lane", "2 lanes".
function counted(n, one, many) { return n + ' ' + (n === 1 ? one : many); }

var ev = D.ev.map(function (a, i) {
  return {i: i, t: (D.base !== undefined ? D.base : D.t0) + a[0], sp: a[1], row: a[2], kind: D.kinds[a[3]], from: a[4], to: a[5], text: a[6],
          who: D.who[a[7]], call: a[8], more: a[9]};
});
var rows = D.rows.map(function (r, k) { return {k: k, name: r[0], lane: r[1] === 'lane', events: []}; });
ev.forEach(function (e) { rows[e.row].events.push(e); });
rows.forEach(function (r) {
  if (!r.lane) return;
  r.spans = [];
  var first = r.events[0];
  if (first && first.from) r.spans.push({a: null, b: first, state: first.from, by: null});
  r.events.forEach(function (e, k) { r.spans.push({a: e, b: r.events[k + 1] || null, state: e.to, by: e}); });
  r.now = r.events.length ? r.events[r.events.length - 1].to : '';
});
// Rows come as they first appear in the history; D.rank is where each is shown.
function byRank(a, b) { return D.rank ? D.rank[a.k] - D.rank[b.k] : a.k - b.k; }
var laneRows = rows.filter(function (r) { return r.lane; }).sort(byRank);

function iso(t) {
  var d = new Date(Math.floor(t / 1000));
  return d.toISOString().slice(0, 23) + String(t % 1000).padStart(3, '0') + 'Z';
}

// The page's address may carry anything: "#from=<UTC time>&to=<UTC time>"
// opens that range, "#lanes=all" every lane; what does not read as such is
// passed over.
function hashPart(key) {
  var m = new RegExp('[#&]' + key + '=([^&]*)').exec(location.hash);
  if (!m) return '';
  try { return decodeURIComponent(m[1]); } catch (err) { return ''; }
}
function parseIso(s) {
  var m = /^(\d{4}-\d\d-\d\dT\d\d:\d\d(?::\d\d)?)(?:\.(\d{1,6}))?Z$/.exec(s || '');
  return m ? Date.parse(m[1] + 'Z') * 1000 + Number((m[2] || '').padEnd(6, '0')) : NaN;
}
var order = false, expanded = /[#&]lanes=all(&|$)/.test(location.hash), shownRows = PAGE;
var pad = Math.max((D.t1 - D.t0) * 0.03, 1000);
function full() { return order ? [-1, ev.length] : [D.t0 - pad, D.t1 + pad]; }
function pos(e) { return order ? e.i : e.t; }
function spanFrom(s) { return s.a ? pos(s.a) : full()[0]; }
function spanTo(s) { return s.b ? pos(s.b) : full()[1]; }
function at(p) { return order ? 'event ' + (Math.round(p) + 1) : iso(Math.round(p)); }
var view = full();
(function () {
  var from = parseIso(hashPart('from')), to = parseIso(hashPart('to'));
  var a = Math.max(view[0], from), b = Math.min(view[1], to);
  if (a < b) view = [a, b];  // NaN compares false: the whole history
})();

var NS = 'http://www.w3.org/2000/svg';
function el(name, attrs, parent, text) {
  var n = document.createElementNS(NS, name);
  for (var k in attrs) n.setAttribute(k, attrs[k]);
  if (text !== undefined) n.textContent = text;
  if (parent) parent.appendChild(n);
  return n;
}
function describe(e) {
  return e.text + '\n' + iso(e.t) + ' on sp' + e.sp + ' by ' + e.who + (e.more ? '\n' + e.more : '');
}
function several(list, what) {
  var lines = [list.length + ' ' + what + ' from ' + iso(list[0].t) + ' to ' + iso(list[list.length - 1].t) + ' (zoom in to tell them apart):'];
  list.slice(0, 5).forEach(function (e) { lines.push('\u2022 ' + e.text); });
  if (list.length > 5) lines.push('\u2026 and ' + (list.length - 5) + ' more');
  return lines.join('\n');
}

function visibleRows() {
  var q = document.getElementById('lanefilter').value.trim().toLowerCase();
  var lanes = laneRows.filter(function (r) { return !q || r.name.toLowerCase().indexOf(q) >= 0; });
  var btn = document.getElementById('morelanes');
  btn.hidden = lanes.length <= MAX_LANES;
  btn.textContent = expanded ? 'Show the first ' + MAX_LANES + ' lanes' : 'Show all ' + lanes.length + ' lanes';
  if (!expanded) lanes = lanes.slice(0, MAX_LANES);
  return lanes.concat(rows.filter(function (r) { return !r.lane && r.events.length; }).sort(byRank));
}

function niceStep(range, px) {
  var want = range / Math.max(2, px / 130);
  if (order) {
    var s = 1;
    while (s * 10 <= want) s *= 10;
    return want > 5 * s ? 10 * s : want > 2 * s ? 5 * s : want > s ? 2 * s : s;
  }
  var steps = [1, 2, 5, 10, 20, 50, 100, 200, 500, 1e3, 2e3, 5e3, 1e4, 2e4, 5e4, 1e5, 2e5, 5e5, 1e6, 2e6, 5e6, 1e7,
    15e6, 3e7, 6e7, 12e7, 3e8, 6e8, 9e8, 18e8, 36e8, 72e8, 108e8, 216e8, 432e8, 864e8, 1728e8, 6048e8, 2592e9];
  for (var i = 0; i < steps.length; i++) if (steps[i] >= want) return steps[i];
  return steps[steps.length - 1];
}
function tickLabel(p, step) {
  if (order) return '#' + (p + 1);
  var s = iso(p);
  if (step >= 864e8) return s.slice(0, 10);
  if (step >= 1e6) return s.slice(11, 19);
  if (step >= 1e3) return s.slice(11, 23);
  return s.slice(17, 26);
}

var svg = document.getElementById('timeline'), ov = document.getElementById('overview');
var geom = {}, drawn = {states: {}, marks: {}};
function chartWidth() { return Math.max(560, document.getElementById('chart').clientWidth); }
function render() {
  var width = chartWidth();
  var plotW = width - LABEL - NOW - RIGHT, v0 = view[0], v1 = view[1], k = plotW / (v1 - v0);
  function x(p) { return LABEL + (p - v0) * k; }
  geom = {plotW: plotW, k: k};
  drawn = {states: {}, marks: {}};
  var list = visibleRows(), bottom = TOP + list.length * ROW;
  svg.textContent = '';
  svg.setAttribute('width', width);
  svg.setAttribute('height', bottom + 6);
  svg.setAttribute('data-lanes', laneRows.length);
  var nowX = LABEL + plotW + RIGHT;
  el('rect', {'class': 'nowbg', x: nowX - 4, y: 0, width: NOW + 4, height: bottom + 6}, svg);
  el('text', {'class': 'nowhead', x: nowX + 4, y: TOP - 8}, svg, 'now');
  // Every label inside the plot: one that would cross its right edge ends
  // there, one that would touch the label before it is left out.
  var step = niceStep(v1 - v0, plotW), axis = el('g', {'class': 'axis'}, svg), lastEnd = -Infinity;
  for (var p = Math.ceil(v0 / step) * step; ev.length && p <= v1; p += step) {
    var g = el('g', {'class': 'tick'}, axis);
    el('line', {x1: x(p), x2: x(p), y1: TOP - 4, y2: bottom}, g);
    var label = el('text', {x: x(p) + 3, y: TOP - 8}, g, tickLabel(p, step));
    var w = label.getComputedTextLength ? label.getComputedTextLength() : 60;
    var lx = Math.min(x(p) + 3, LABEL + plotW - w);
    if (lx < lastEnd + 8 || lx < LABEL) { g.removeChild(label); continue; }
    label.setAttribute('x', lx);
    lastEnd = lx + w;
  }
  list.forEach(function (r, idx) {
    var y = TOP + idx * ROW;
    var g = el('g', {'class': 'row ' + (r.lane ? 'lane' : 'marks'), 'data-name': r.name, 'data-events': r.events.length}, svg);
    if (idx % 2) el('rect', {'class': 'rowbg', x: 0, y: y, width: LABEL + plotW, height: ROW}, g);
    el('text', {'class': 'label', x: 8, y: y + 15}, g, r.name.length > 26 ? r.name.slice(0, 25) + '\u2026' : r.name);
    if (r.lane) {
      drawSpans(r, g, y, x, plotW);
      var now = stateOf(r.now);
      el('rect', {'class': 'nowsw', x: nowX + 4, y: y + 6, width: 12, height: ROW - 12, fill: color[now], stroke: '#b8c0cc'}, g);
      el('text', {'class': 'now', x: nowX + 21, y: y + 15, 'data-now': r.now || 'unknown'}, g, r.now || 'not known');
      drawn.states[now] = 1;
    } else {
      drawMarks(r, g, y, x);
    }
  });
  renderLegend();
  renderOverview();
  renderTable();
  var inView = ev.filter(function (e) { var p = pos(e); return p >= view[0] && p <= view[1]; }).length;
  document.getElementById('range').textContent = ev.length ? 'showing ' + at(v0) + ' to ' + at(v1) + ': ' + inView +
    ' of ' + counted(ev.length, 'event', 'events') : 'no change is recorded in this history';
}

function drawSpans(r, g, y, x, plotW) {
  var lo = LABEL, hi = LABEL + plotW, pend = null;
  function flush() {
    if (!pend) return;
    var one = pend.spans.length === 1, s = pend.spans[0], state = one ? stateOf(s.state) : 'mixed';
    var tip = one ? r.name + ': ' + (s.state || 'not known') + '\nfrom ' + (s.a ? iso(s.a.t) : 'before the first change shown') +
      ' to ' + (s.b ? iso(s.b.t) : 'the end of the history') + (s.by ? '\nset by: ' + describe(s.by) : '')
      : several(pend.spans.map(function (q) { return q.by || q.b; }), 'changes of ' + r.name);
    var rect = el('rect', {'class': 'span', x: pend.x0, y: y + 4, width: Math.max(1, pend.x1 - pend.x0), height: ROW - 8,
      fill: color[state], 'data-state': one ? (s.state || 'unknown') : 'mixed',
      'data-count': pend.spans.length, 'data-tip': tip}, g);
    if (state === 'unknown') rect.setAttribute('stroke', '#b8c0cc');
    if (!one) rect.setAttribute('data-states', pend.spans.map(function (q) { return q.state; }).join(' '));
    drawn.states[state] = 1;
    pend = null;
  }
  r.spans.forEach(function (s) {
    var x0 = Math.max(lo, x(spanFrom(s))), x1 = Math.min(hi, x(spanTo(s)));
    if (x1 < lo || x0 > hi) return;
    // Spans too narrow to see are drawn together, as one grey span.
    if (x1 - x0 >= MIN_SPAN) { flush(); pend = {x0: x0, x1: x1, spans: [s]}; flush(); return; }
    if (!pend) pend = {x0: x0, x1: x1, spans: []};
    pend.spans.push(s);
    pend.x1 = Math.max(pend.x1, x1);
    if (pend.x1 - pend.x0 >= MIN_SPAN) flush();
  });
  flush();
}

function markKind(e) { return e.kind === 'errlog' ? (e.to === 'info' ? 'info' : 'error') : e.kind; }
function drawMarks(r, g, y, x) {
  var buckets = [], last = null;
  r.events.forEach(function (e) {
    var p = pos(e), px = x(p);
    if (p < view[0] || p > view[1]) return;  // the marks drawn are the events in range
    var b = Math.floor((px - LABEL) / BUCKET);
    if (b !== last) { buckets.push({px: px, list: []}); last = b; }
    buckets[buckets.length - 1].list.push(e);
  });
  buckets.forEach(function (b) {
    var kinds = {}, n = b.list.length;
    b.list.forEach(function (e) { kinds[markKind(e)] = 1; });
    var names = Object.keys(kinds), kind = names.length === 1 ? names[0] : 'mixed';
    var h = n === 1 ? ROW - 8 : ROW - 4;
    el('rect', {'class': 'mark', x: b.px - 1.5, y: y + (ROW - h) / 2, width: n === 1 ? 3 : 4, height: h,
      fill: markColor[kind] || markColor.mixed, 'data-kind': kind, 'data-count': n,
      'data-tip': n === 1 ? describe(b.list[0]) : several(b.list, 'events in ' + r.name)}, g);
    drawn.marks[markColor[kind] ? kind : 'mixed'] = 1;
  });
}

// The legend names what the timeline shows now, nothing else.
function renderLegend() {
  var legend = document.getElementById('legend');
  legend.textContent = '';
  function item(s, swatch) {
    var span = document.createElement('span'), sw = document.createElement('span');
    span.setAttribute('data-legend', s[0]);
    sw.className = swatch;
    sw.style.background = s[1];
    if (s[0] === 'unknown') sw.style.outline = '1px solid #b8c0cc';
    span.appendChild(sw);
    span.appendChild(document.createTextNode(s[2]));
    legend.appendChild(span);
  }
  STATES.forEach(function (s) { if (drawn.states[s[0]]) item(s, 'sw'); });
  MARKS.forEach(function (s) { if (drawn.marks[s[0]]) item(s, 'mk'); });
}

function renderOverview() {
  var width = chartWidth(), plotW = width - LABEL - NOW - RIGHT;
  var f = full(), k = plotW / (f[1] - f[0]), counts = {}, most = 1;
  ov.textContent = '';
  ov.setAttribute('width', width);  // inside its border, as wide as the chart's plot
  el('text', {x: 8, y: 21}, ov, 'whole history');
  ev.forEach(function (e) {
    var b = Math.floor((pos(e) - f[0]) * k / 2);
    counts[b] = (counts[b] || 0) + 1;
    most = Math.max(most, counts[b]);
  });
  Object.keys(counts).forEach(function (b) {
    var h = 4 + 22 * Math.log(1 + counts[b]) / Math.log(1 + most);
    el('rect', {x: LABEL + b * 2, y: 30 - h, width: 2, height: h, fill: '#8a96a8'}, ov);
  });
  el('rect', {x: LABEL + (view[0] - f[0]) * k, y: 1, width: Math.max(2, (view[1] - view[0]) * k), height: 31,
    fill: 'rgba(59,125,196,0.15)', stroke: '#3b7dc4'}, ov);
  geom.ovK = k;
}

var KIND_WORDS = {unit: 'unit', 'sp-record': 'sp record', 'stored-errl': 'stored error log', 'gard-file': 'gard file',
  registry: 'registry', platform: 'platform', errlog: 'error log'};
function cell(tr, cls, text) {
  var td = document.createElement('td');
  td.className = cls;
  if (text !== undefined) td.textContent = text;
  tr.appendChild(td);
  return td;
}
function renderTable() {
  var tbody = document.querySelector('#events tbody');
  tbody.textContent = '';
  var list = ev.filter(function (e) { var p = pos(e); return p >= view[0] && p <= view[1]; });
  var n = Math.min(list.length, shownRows);
  for (var i = 0; i < n; i++) {
    var e = list[i], tr = document.createElement('tr'), when = iso(e.t);
    tr.className = e.kind + (e.kind === 'errlog' ? ' ' + e.to : '');
    tr.setAttribute('data-row', rows[e.row].name);
    cell(tr, 'n', String(e.i + 1));
    var t = cell(tr, 't'), d = document.createElement('span');
    d.className = 'd';
    d.textContent = when.slice(0, 10) + ' ';
    t.appendChild(d);
    t.appendChild(document.createTextNode(when.slice(11, 26)));
    cell(tr, 'sp', 'sp' + e.sp);
    var what = cell(tr, 'what'), kind = document.createElement('span'), more = document.createElement('div'),
        by = document.createElement('div');
    kind.className = 'kind';
    kind.textContent = KIND_WORDS[e.kind] || e.kind;
    what.appendChild(kind);
    what.appendChild(document.createTextNode(e.text));
    more.className = 'more';
    more.textContent = e.more;
    what.appendChild(more);
    by.className = 'byline';
    by.textContent = 'by ' + e.who;
    what.appendChild(by);
    cell(tr, 'by', e.who);
    tbody.appendChild(tr);
  }
  var count = document.getElementById('count');
  count.textContent = 'showing ' + n + ' of ' + counted(list.length, 'event', 'events') + ' in the time range shown (' +
    ev.length + ' in all)';
  count.setAttribute('data-shown', n);
  count.setAttribute('data-in-range', list.length);
  var more = document.getElementById('more');
  more.hidden = n >= list.length;
  more.textContent = 'Show ' + Math.min(PAGE, list.length - n) + ' more';
}

var pending = false;
function redraw() {
  if (pending) return;
  pending = true;
  setTimeout(function () { pending = false; render(); }, 0);  // wheel and drag events come faster than frames
}
function zoom(factor, centre) {
  var f = full(), c = centre === undefined ? (view[0] + view[1]) / 2 : centre;
  var w = Math.max(2, Math.min(f[1] - f[0], (view[1] - view[0]) * factor));  // 2 µs, or 2 events
  var a = c - (c - view[0]) * w / (view[1] - view[0]);
  view = [Math.max(f[0], Math.min(a, f[1] - w)), 0];
  view[1] = view[0] + w;
  redraw();
}
function fit() { view = full(); redraw(); }

document.getElementById('zin').onclick = function () { zoom(0.5); };
document.getElementById('zout').onclick = function () { zoom(2); };
document.getElementById('fit').onclick = fit;
document.getElementById('order').onchange = function () { order = this.checked; view = full(); redraw(); };
document.getElementById('lanefilter').oninput = redraw;
document.getElementById('morelanes').onclick = function () { expanded = !expanded; redraw(); };
document.getElementById('more').onclick = function () { shownRows += PAGE; renderTable(); };
window.addEventListener('resize', redraw);

function plotPos(evt) {
  var r = svg.getBoundingClientRect();
  return view[0] + (evt.clientX - r.left - LABEL) / geom.k;
}
svg.addEventListener('wheel', function (evt) {
  evt.preventDefault();
  zoom(evt.deltaY < 0 ? 0.7 : 1 / 0.7, plotPos(evt));
}, {passive: false});
svg.addEventListener('dblclick', fit);
var drag = null, brush = null;
svg.addEventListener('mousedown', function (evt) { drag = {x: evt.clientX, view: view.slice()}; });
window.addEventListener('mouseup', function () { drag = null; brush = null; });
window.addEventListener('mousemove', function (evt) {
  if (drag) {
    var f = full(), w = drag.view[1] - drag.view[0], d = (drag.x - evt.clientX) / geom.k;
    var a = Math.max(f[0], Math.min(drag.view[0] + d, f[1] - w));
    view = [a, a + w];
    redraw();
  }
  if (brush) {
    var p = ovPos(evt);
    if (Math.abs(p - brush) * geom.ovK > 3) { view = [Math.min(p, brush), Math.max(p, brush)]; redraw(); }
  }
});
function ovPos(evt) {
  var r = ov.getBoundingClientRect(), f = full();
  return Math.max(f[0], Math.min(f[1], f[0] + (evt.clientX - r.left - LABEL) / geom.ovK));
}
ov.addEventListener('mousedown', function (evt) {
  brush = ovPos(evt);
  var w = view[1] - view[0], f = full();
  var a = Math.max(f[0], Math.min(brush - w / 2, f[1] - w));
  view = [a, a + w];
  redraw();
});

var tip = document.getElementById('tip');
function showTip(evt) {
  var t = evt.target.getAttribute && evt.target.getAttribute('data-tip');
  if (!t || drag) { tip.hidden = true; return; }
  tip.textContent = t;
  tip.hidden = false;
  var x = evt.clientX + 14, y = evt.clientY + 14;
  if (x + tip.offsetWidth > window.innerWidth - 8) x = evt.clientX - tip.offsetWidth - 14;
  if (y + tip.offsetHeight > window.innerHeight - 8) y = evt.clientY - tip.offsetHeight - 14;
  tip.style.left = x + 'px';
  tip.style.top = y + 'px';
}
svg.addEventListener('mousemove', showTip);
svg.addEventListener('mouseleave', function () { tip.hidden = true; });

document.getElementById('title').textContent = 'gard history of ' + D.stateDir;
var nErr = ev.filter(function (e) { return e.kind === 'errlog'; }).length, nLane = 0;
laneRows.forEach(function (r) { nLane += r.events.length; });
var summary = document.getElementById('summary');
summary.textContent = counted(ev.length, 'event', 'events') + ': ' + counted(nLane, 'change', 'changes') + ' on ' +
  counted(laneRows.length, 'lane', 'lanes') + ', ' + counted(nErr, 'error log', 'error logs') + ', ' +
  counted(ev.length - nLane - nErr, 'other change', 'other changes') +
  (ev.length ? ', from ' + iso(D.t0) + ' to ' + iso(D.t1) : '') + '. Times are UTC.';
summary.setAttribute('data-events', ev.length);
summary.setAttribute('data-lanes', laneRows.length);
document.getElementById('hidden').textContent = D.hidden;
D.problems.forEach(function (p) {
  var li = document.createElement('li');
  li.textContent = 'History file problem: ' + p;
  document.getElementById('problems').appendChild(li);
});
var started = performance.now();
render();
document.body.setAttribute('data-render-ms', (performance.now() - started).toFixed(1));
document.body.setAttribute('data-ready-ms', performance.now().toFixed(1));
})();
