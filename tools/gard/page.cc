// The history as one self-contained HTML page: a timeline with a lane per
// service-processor record and per unit that changed, marks for error logs,
// platform values and other gard files, and a table of the same events.
// Everything is inline; the events travel as JSON inside the page and are
// put into the document as text only, never as markup.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <tuple>

#include "history.h"

namespace gardcli {

namespace {

// The rows of marks, below the lanes.
const char* const kErrlogRow = "error logs";
const char* const kPlatformRow = "platform";
const char* const kFilesRow = "gard files";

std::size_t kindIndex(const std::string& kind) {
    const std::vector<std::string>& kinds = historyKinds();
    return static_cast<std::size_t>(std::find(kinds.begin(), kinds.end(), kind) - kinds.begin());
}

std::string markRow(const std::string& kind) {
    if (kind == "errlog") return kErrlogRow;
    if (kind == "registry" || kind == "platform") return kPlatformRow;
    return kFilesRow;
}

// Lanes in order: the records of 0x200 and 0x201, then units by id and group.
using LaneKey = std::tuple<int, uint32_t, uint32_t>;
LaneKey laneKey(const Json& item) {
    if (item["kind"] == "sp-record") return {0, item["unit"].get<uint32_t>(), 0};
    return {1, item.value("unit", 0u), item.value("group", 0u)};
}

std::string str(const Json& j, const char* key) { return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : ""; }

struct Event {
    uint64_t time;
    int sp;
    std::string row, kind, from, to, text, who, call, more;
};

std::string who(const Json& e) {
    return e["program"].get<std::string>() + " (pid " + std::to_string(e["pid"].get<int>()) + ")";
}

std::string errlogWords(const Json& l) {
    return "#" + std::to_string(l["number"].get<std::size_t>()) + " " + l["text"].get<std::string>();
}

Event errlogEvent(const Json& l, const std::string& owner) {
    std::string more = "SRC " + (l["srcs"].empty() ? "" : srcText(l["srcs"][0])) + ", component " +
                       hex(l["compId"].get<uint32_t>()) + " module " + hex(l["modId"].get<uint32_t>()) + " reason " +
                       hex(l["reasonCode"].get<uint32_t>());
    if (!owner.empty()) more += "\ncommitted by the same call as: " + owner;
    return {l["time"].get<uint64_t>(), l["sp"].get<int>(), kErrlogRow, "errlog", "",
            l["kind"].get<std::string>(), "error log " + errlogWords(l), who(l), l["call"].get<std::string>(), more};
}

// Events, rows and lanes of the page, from the history's JSON.
Json pageData(const Json& history) {
    std::vector<Event> events;
    std::map<LaneKey, std::string> lanes;
    for (const Json& e : history["history"]) {
        if (e["type"] == "errlog") {
            events.push_back(errlogEvent(e["errlog"], ""));
            continue;
        }
        std::string logs;
        for (const Json& l : e["errlogs"]) logs += "\nerror log of the same call: " + errlogWords(l);
        for (const Json& i : e["items"]) {
            Event ev{e["time"].get<uint64_t>(), e["sp"].get<int>(), markRow(i["kind"].get<std::string>()),
                     i["kind"].get<std::string>(), str(i, "fromState"), str(i, "toState"),
                     i["text"].get<std::string>() + historyStatusWords(e["status"]), who(e),
                     e["call"].get<std::string>(), "value " + e["name"].get<std::string>() + logs};
            if (i.contains("lane") && e["status"] == "happened") {  // lanes show what happened
                ev.row = i["lane"].get<std::string>();
                lanes[laneKey(i)] = ev.row;
            }
            events.push_back(std::move(ev));
        }
        const std::string owner = e["items"][0]["text"].get<std::string>();
        for (const Json& l : e["errlogs"]) events.push_back(errlogEvent(l, owner));
    }
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.time < b.time; });

    Json rows = Json::array();
    std::map<std::string, std::size_t> rowIndex;
    for (const auto& [key, name] : lanes) {
        rowIndex[name] = rows.size();
        rows.push_back({name, "lane"});
    }
    for (const char* name : {kErrlogRow, kPlatformRow, kFilesRow}) {
        rowIndex[name] = rows.size();
        rows.push_back({name, "marks"});
    }
    const uint64_t t0 = events.empty() ? 0 : events.front().time, t1 = events.empty() ? 0 : events.back().time;
    Json ev = Json::array(), whos = Json::array();
    std::map<std::string, std::size_t> whoIndex;
    for (const Event& e : events) {
        auto [it, added] = whoIndex.emplace(e.who, whos.size());
        if (added) whos.push_back(e.who);
        ev.push_back({e.time - t0, e.sp, rowIndex[e.row], kindIndex(e.kind), e.from, e.to, e.text, it->second, e.call,
                      e.more});
    }
    Json problems = history["problems"];
    const Json& h = history["hidden"];
    std::string hidden;
    if (h["notHappened"].get<std::size_t>() + h["unknown"].get<std::size_t>() != 0)
        hidden += "Not shown: " + counted(h["notHappened"].get<std::size_t>(), "recorded change", "recorded changes") +
                  " that did not happen and " + std::to_string(h["unknown"].get<std::size_t>()) +
                  " not known to have happened (gard history --all shows them). ";
    if (h["untimedErrlogs"].get<std::size_t>() != 0)
        hidden += counted(h["untimedErrlogs"].get<std::size_t>(), "error log", "error logs") +
                  " committed before times were kept are not on the timeline (gard errlogs list).";
    return {{"stateDir", history["stateDir"]}, {"t0", t0}, {"t1", t1}, {"kinds", historyKinds()}, {"rows", rows},
            {"lanes", lanes.size()}, {"who", whos}, {"ev", ev}, {"problems", problems}, {"hidden", hidden}};
}

// JSON that may stand inside a <script> element: ASCII only, and no '<',
// '>' or '&' that could end it or start markup.
std::string scriptSafe(const Json& j) {
    const std::string text = j.dump(-1, ' ', true, Json::error_handler_t::replace);
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '<') out += "\\u003c";
        else if (c == '>') out += "\\u003e";
        else if (c == '&') out += "\\u0026";
        else out += c;
    }
    return out;
}

const char* const kHead = R"PAGE(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>gard history</title>
<style>
:root { --ink: #1d2430; --muted: #5b6575; --line: #d9dee6; --bg: #f7f8fa; }
* { box-sizing: border-box; }
body { margin: 0; padding: 16px 20px 40px; font: 14px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif; color: var(--ink); background: #fff; }
h1 { font-size: 20px; margin: 0 0 4px; }
h2 { font-size: 16px; margin: 22px 0 6px; }
#summary, #hidden { margin: 2px 0; color: var(--muted); }
#problems { margin: 6px 0; padding: 0; list-style: none; }
#problems li { background: #fff4e0; border-left: 4px solid #e69b00; padding: 4px 8px; margin: 2px 0; }
#controls { display: flex; flex-wrap: wrap; gap: 8px; align-items: center; margin: 10px 0 6px; }
button { font: inherit; padding: 3px 10px; border: 1px solid #b8c0cc; background: var(--bg); border-radius: 4px; cursor: pointer; }
button:hover { background: #eceff3; }
input[type=search] { font: inherit; padding: 2px 6px; border: 1px solid #b8c0cc; border-radius: 4px; width: 15em; }
#range { color: var(--muted); margin-left: 6px; }
#legend { display: flex; flex-wrap: wrap; gap: 4px 14px; margin: 4px 0 8px; color: var(--muted); font-size: 13px; }
#legend span.sw { display: inline-block; width: 14px; height: 10px; margin-right: 5px; vertical-align: -1px; border-radius: 2px; }
#legend span.mk { display: inline-block; width: 4px; height: 12px; margin-right: 5px; vertical-align: -2px; }
#chart { border: 1px solid var(--line); border-radius: 6px; background: #fff; overflow: hidden; user-select: none; }
#overview { margin: 6px 0; border: 1px solid var(--line); border-radius: 6px; background: var(--bg); cursor: crosshair; }
svg text { font: 12px system-ui, sans-serif; fill: var(--ink); }
svg .tick text { fill: var(--muted); font-size: 11px; }
svg .tick line { stroke: #edf0f4; }
svg .label { font-weight: 600; }
svg .rowbg { fill: #fbfcfd; }
svg rect.span { stroke: #fff; stroke-width: 0.6; }
svg rect.span:hover, svg rect.mark:hover { stroke: #000; stroke-width: 1.2; }
#tip { position: fixed; z-index: 10; max-width: 520px; padding: 6px 9px; background: #1d2430; color: #fff; border-radius: 5px; font-size: 12.5px; white-space: pre-line; pointer-events: none; box-shadow: 0 2px 8px rgba(0,0,0,.25); }
table { border-collapse: collapse; width: 100%; font-size: 13px; }
th, td { text-align: left; padding: 3px 8px; border-bottom: 1px solid var(--line); vertical-align: top; }
th { background: var(--bg); position: sticky; top: 0; }
td.t { font-family: ui-monospace, monospace; white-space: nowrap; }
td.w { white-space: nowrap; }
td .more { color: var(--muted); white-space: pre-line; font-size: 12px; }
tr.errlog.error td.what { color: #8a1f11; }
tr.errlog.info td.what { color: #1f4e79; }
#count { color: var(--muted); margin: 4px 0; }
</style>
</head>
<body>
<h1 id="title">gard history</h1>
<p id="summary"></p>
<p id="hidden"></p>
<ul id="problems"></ul>
<div id="controls">
<button id="zin" title="Zoom in (or turn the mouse wheel over the timeline)">Zoom in</button>
<button id="zout">Zoom out</button>
<button id="fit" title="Show the whole history (or double-click the timeline)">Show all</button>
<label><input type="checkbox" id="order"> even spacing (one step per event)</label>
<input type="search" id="lanefilter" placeholder="lanes matching, e.g. 0x10">
<button id="morelanes" hidden></button>
<span id="range"></span>
</div>
<div id="legend"></div>
<svg id="overview" height="34" aria-label="the whole history: drag to choose a time range"></svg>
<div id="chart"><svg id="timeline" aria-label="timeline"></svg></div>
<div id="tip" role="tooltip" hidden></div>
<h2>Events</h2>
<p id="count"></p>
<table id="events"><thead><tr><th>#</th><th>time (UTC)</th><th>processor</th><th>program</th><th>kind</th><th>what</th></tr></thead><tbody></tbody></table>
<p><button id="more" hidden>Show more</button></p>
<script type="application/json" id="data">)PAGE";

const char* const kTail = R"PAGE(</script>
<script>
(function () {
'use strict';
var D = JSON.parse(document.getElementById('data').textContent);
var MAX_LANES = 12, PAGE = 200, LABEL = 190, TOP = 26, ROW = 22, BUCKET = 4, MIN_SPAN = 3;
var STATES = [['new', '#4f9d4f', 'new (0x5c)'], ['garded', '#d13f3f', 'garded (0x5d)'],
  ['garded-2', '#8e1f52', 'garded, second kind (0xed)'], ['cleared', '#3b7dc4', 'cleared (0xcc)'],
  ['not-garded-2', '#86b9e6', 'not garded, second kind (0xec)'], ['dma-mark', '#d8c53a', 'DMA-configuration mark (0x5a)'],
  ['erased', '#b39ddb', 'erased keyword'], ['none', '#c4c9d1', 'none (0)'], ['free', '#eceef2', 'not in the table'],
  ['missing', '#eceef2', 'no keyword'], ['unreadable', '#f0a030', 'unreadable or damaged'], ['other', '#7a7a7a', 'any other value'],
  ['mixed', '#9aa3af', 'several changes (zoom in)']];
var MARKS = [['error', '#c0392b', 'error log (error)'], ['info', '#2e86c1', 'error log (informational)'],
  ['registry', '#8e44ad', 'registry value'], ['platform', '#16a085', 'platform value'],
  ['stored-errl', '#b9770e', 'stored error log'], ['gard-file', '#6d5c2e', 'gard file'], ['unit', '#6d5c2e', 'unit table file'],
  ['mixed', '#555', 'several kinds']];
var color = {}, markColor = {};
STATES.forEach(function (s) { color[s[0]] = s[1]; });
MARKS.forEach(function (s) { markColor[s[0]] = s[1]; });
function stateColor(s) { return color[s] || (s ? color.other : '#ffffff'); }

var ev = D.ev.map(function (a, i) {
  return {i: i, t: D.t0 + a[0], sp: a[1], row: a[2], kind: D.kinds[a[3]], from: a[4], to: a[5], text: a[6],
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
});
var laneRows = rows.filter(function (r) { return r.lane; });

function iso(t) {
  var d = new Date(Math.floor(t / 1000));
  return d.toISOString().slice(0, 23) + String(t % 1000).padStart(3, '0') + 'Z';
}
var order = false, expanded = /[#&]lanes=all/.test(location.hash), shownRows = PAGE;
var pad = Math.max((D.t1 - D.t0) * 0.03, 1000);
function full() { return order ? [-1, ev.length] : [D.t0 - pad, D.t1 + pad]; }
function pos(e) { return order ? e.i : e.t; }
function spanFrom(s) { return s.a ? pos(s.a) : full()[0]; }
function spanTo(s) { return s.b ? pos(s.b) : full()[1]; }
function at(p) { return order ? 'event ' + (Math.round(p) + 1) : iso(Math.round(p)); }
// "#from=<UTC time>&to=<UTC time>" opens that range, "#lanes=all" every lane.
function parseIso(s) {
  var m = /^(.*?)(?:\.(\d{1,6}))?Z$/.exec(s || '');
  return m ? Date.parse(m[1] + 'Z') * 1000 + Number((m[2] || '').padEnd(6, '0')) : NaN;
}
function hashPart(key) {
  var m = new RegExp('[#&]' + key + '=([^&]*)').exec(location.hash);
  return m ? decodeURIComponent(m[1]) : '';
}
var view = full(), from = parseIso(hashPart('from')), to = parseIso(hashPart('to'));
if (from < to) view = [Math.max(view[0], from), Math.min(view[1], to)];

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
  return lanes.concat(rows.filter(function (r) { return !r.lane; }));
}

function niceStep(range, px) {
  var want = range / Math.max(2, px / 110);
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
var geom = {};
function render() {
  var width = Math.max(640, document.getElementById('chart').clientWidth);
  var plotW = width - LABEL - 14, v0 = view[0], v1 = view[1], k = plotW / (v1 - v0);
  function x(p) { return LABEL + (p - v0) * k; }
  geom = {plotW: plotW, k: k};
  var list = visibleRows();
  svg.textContent = '';
  svg.setAttribute('width', width);
  svg.setAttribute('height', TOP + list.length * ROW + 6);
  svg.setAttribute('data-lanes', laneRows.length);
  var step = niceStep(v1 - v0, plotW), axis = el('g', {'class': 'axis'}, svg);
  for (var p = Math.ceil(v0 / step) * step; ev.length && p <= v1; p += step) {
    var g = el('g', {'class': 'tick'}, axis);
    el('line', {x1: x(p), x2: x(p), y1: TOP - 4, y2: TOP + list.length * ROW}, g);
    el('text', {x: x(p) + 3, y: TOP - 8}, g, tickLabel(p, step));
  }
  list.forEach(function (r, idx) {
    var y = TOP + idx * ROW;
    var g = el('g', {'class': 'row ' + (r.lane ? 'lane' : 'marks'), 'data-name': r.name, 'data-events': r.events.length}, svg);
    if (idx % 2) el('rect', {'class': 'rowbg', x: 0, y: y, width: width, height: ROW}, g);
    el('text', {'class': 'label', x: 8, y: y + 15}, g, r.name);
    if (r.lane) drawSpans(r, g, y, x, plotW); else drawMarks(r, g, y, x);
  });
  renderOverview();
  renderTable();
  var inView = ev.filter(function (e) { var p = pos(e); return p >= view[0] && p <= view[1]; }).length;
  document.getElementById('range').textContent = ev.length ? 'showing ' + at(v0) + ' to ' + at(v1) + ': ' + inView +
    ' of ' + ev.length + ' events' : 'no change is recorded in this history';
}

function drawSpans(r, g, y, x, plotW) {
  var lo = LABEL, hi = LABEL + plotW, pend = null;
  function flush() {
    if (!pend) return;
    var one = pend.spans.length === 1, s = pend.spans[0];
    var tip = one ? r.name + ': ' + (s.state || 'not known') + '\nfrom ' + (s.a ? iso(s.a.t) : 'before the first change shown') +
      ' to ' + (s.b ? iso(s.b.t) : 'the end of the history') + (s.by ? '\nset by: ' + describe(s.by) : '')
      : several(pend.spans.map(function (q) { return q.by || q.b; }), 'changes of ' + r.name);
    var rect = el('rect', {'class': 'span', x: pend.x0, y: y + 4, width: Math.max(1, pend.x1 - pend.x0), height: ROW - 8,
      fill: stateColor(one ? s.state : 'mixed'), 'data-state': one ? (s.state || 'unknown') : 'mixed',
      'data-count': pend.spans.length, 'data-tip': tip}, g);
    if (!one) rect.setAttribute('data-states', pend.spans.map(function (q) { return q.state; }).join(' '));
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
    b.list.forEach(function (e) { kinds[e.kind === 'errlog' ? e.to : e.kind] = 1; });
    var names = Object.keys(kinds), kind = names.length === 1 ? names[0] : 'mixed';
    var h = n === 1 ? ROW - 8 : ROW - 4;
    el('rect', {'class': 'mark', x: b.px - 1.5, y: y + (ROW - h) / 2, width: n === 1 ? 3 : 4, height: h,
      fill: markColor[kind] || markColor.mixed, 'data-kind': kind, 'data-count': n,
      'data-tip': n === 1 ? describe(b.list[0]) : several(b.list, 'events in ' + r.name)}, g);
  });
}

function renderOverview() {
  var width = Math.max(640, document.getElementById('chart').clientWidth), plotW = width - LABEL - 14;
  var f = full(), k = plotW / (f[1] - f[0]), counts = {}, most = 1;
  ov.textContent = '';
  ov.setAttribute('width', width - 2);  // inside its border, as wide as the chart
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

function renderTable() {
  var tbody = document.querySelector('#events tbody');
  tbody.textContent = '';
  var list = ev.filter(function (e) { var p = pos(e); return p >= view[0] && p <= view[1]; });
  var n = Math.min(list.length, shownRows);
  var kindWords = {unit: 'unit', 'sp-record': 'sp record', 'stored-errl': 'stored error log', 'gard-file': 'gard file',
    registry: 'registry', platform: 'platform', errlog: 'error log'};
  for (var i = 0; i < n; i++) {
    var e = list[i], tr = document.createElement('tr');
    tr.className = e.kind + (e.kind === 'errlog' ? ' ' + e.to : '');
    tr.setAttribute('data-row', rows[e.row].name);
    [String(e.i + 1), iso(e.t), 'sp' + e.sp, e.who, kindWords[e.kind] || e.kind].forEach(function (v, c) {
      var td = document.createElement('td');
      if (c === 1) td.className = 't';
      if (c === 3 || c === 4) td.className = 'w';
      td.textContent = v;
      tr.appendChild(td);
    });
    var what = document.createElement('td'), more = document.createElement('div');
    what.className = 'what';
    what.textContent = e.text;
    more.className = 'more';
    more.textContent = e.more;
    what.appendChild(more);
    tr.appendChild(what);
    tbody.appendChild(tr);
  }
  var count = document.getElementById('count');
  count.textContent = 'showing ' + n + ' of ' + list.length + ' events in the time range shown (' + ev.length + ' in all)';
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
var drag = null;
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
var brush = null;
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
summary.textContent = ev.length + ' events: ' + nLane + ' changes on ' + laneRows.length + ' lanes, ' + nErr +
  ' error logs, ' + (ev.length - nLane - nErr) + ' other changes' +
  (ev.length ? ', from ' + iso(D.t0) + ' to ' + iso(D.t1) : '') + '. Times are UTC.';
summary.setAttribute('data-events', ev.length);
summary.setAttribute('data-lanes', laneRows.length);
document.getElementById('hidden').textContent = D.hidden;
D.problems.forEach(function (p) {
  var li = document.createElement('li');
  li.textContent = 'History file problem: ' + p;
  document.getElementById('problems').appendChild(li);
});
var legend = document.getElementById('legend');
function legendItem(s, swatch) {
  var item = document.createElement('span'), sw = document.createElement('span');
  sw.className = swatch;
  sw.style.background = s[1];
  item.appendChild(sw);
  item.appendChild(document.createTextNode(s[2]));
  legend.appendChild(item);
}
STATES.forEach(function (s) { legendItem(s, 'sw'); });
MARKS.slice(0, 6).forEach(function (s) { legendItem(s, 'mk'); });
var started = performance.now();
render();
document.body.setAttribute('data-render-ms', (performance.now() - started).toFixed(1));
document.body.setAttribute('data-ready-ms', performance.now().toFixed(1));
})();
</script>
</body>
</html>
)PAGE";

}  // namespace

bool writePage(const std::string& path, const Json& history, std::string& said) {
    const Json data = pageData(history);
    errno = 0;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out << kHead << scriptSafe(data) << kTail;
    out.close();
    if (!out) {
        said = errno != 0 ? std::strerror(errno) : "write failed";
        return false;
    }
    said = std::to_string(data["ev"].size()) + " events on " + std::to_string(data["lanes"].get<std::size_t>()) + " lanes";
    return true;
}

}  // namespace gardcli
