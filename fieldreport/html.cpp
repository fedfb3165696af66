// SPDX-License-Identifier: Apache-2.0
// The report as one self-contained web page. The summary and the lists of what was read and not
// scored are written here as tables; the charts are drawn by the inlined chart library, and the
// call table is laid out a page at a time, from the figures the page carries as JSON, so that a
// day of many thousands of calls stays small and opens at once.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "compare.h"
#include "outputs.h"
#include "sha256.h"
#include "summary.h"
#include "timing_figures.h"

namespace fieldreport {
namespace {

using fieldtext::cp1252ToUtf8;

// Capture files listed one by one on the page up to this many; beyond, the list's digest.
constexpr std::size_t kListedFiles = 1000;

std::string escapeHtml(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A JSON string; "<", ">" and "&" escaped too, so that no text can end the script element.
std::string json(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    char buf[8];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == '<' || c == '>' || c == '&') {
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// A number with two decimals at most and no zeros at its end: 0.5, 12, 0.25.
std::string number(double value) {
  std::string text = twoDecimals(value);
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  return text == "-0" ? "0" : text;
}

std::string value(const ScoredRecord& r, const char* key) {
  const std::string* v = r.record.value(key);
  return v ? cp1252ToUtf8(*v) : "";
}

std::string fileName(const std::string& file) {
  const std::size_t slash = file.find_last_of('/');
  return slash == std::string::npos ? file : file.substr(slash + 1);
}

// The file's name without its extension, as the texts are named.
std::string stemOf(const std::string& file) {
  const std::string name = fileName(file);
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// A condition's values joined, "-" for a value the records lack.
std::string groupName(const Group& g) {
  std::string name;
  for (std::size_t i = 0; i < g.values.size(); ++i)
    name += (i ? " / " : "") + (g.values[i].empty() ? std::string("-") : cp1252ToUtf8(g.values[i]));
  return name;
}

// A condition's label on a chart: its name broken at spaces into lines of about 30 characters,
// then its calls.
std::vector<std::string> labelLines(const Group& g) {
  const std::string text = groupName(g);
  std::vector<std::string> lines;
  std::string line;
  std::size_t from = 0;
  while (from <= text.size()) {
    const std::size_t space = std::min(text.find(' ', from), text.size());
    const std::string word = text.substr(from, space - from);
    if (!line.empty() && line.size() + 1 + word.size() > 30) {
      lines.push_back(line);
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    from = space + 1;
  }
  lines.push_back(line);
  lines.push_back(std::to_string(g.calls) + (g.calls == 1 ? " call, " : " calls, ") +
                  std::to_string(g.passed) + " passed");
  return lines;
}

std::string groupLabel(const Group& g) {
  const std::vector<std::string> lines = labelLines(g);
  std::string out = "[";
  for (std::size_t i = 0; i < lines.size(); ++i) out += (i ? "," : "") + json(lines[i]);
  return out + "]";
}

int verdictCode(Verdict v) {
  return v == Verdict::Pass ? 0 : v == Verdict::Fail ? 1 : 2;
}

// A call direction's timing on the page: its one-way delays (median, 95 %, largest) and the
// median reply delay of its own turns, as texts ("" without).
std::string timingCells(const ScoredRecord& r) {
  const auto d = spreadOf(receivedDelays(r)), reply = spreadOf(ownReplyDelays(r));
  return json(d ? threeDecimals(d->median) + " / " + threeDecimals(d->p95) + " / " + threeDecimals(d->max)
                : "") +
         "," + json(reply ? threeDecimals(reply->median) : "");
}

// Each condition's one-way delays as a histogram from `low` in bins of `width` seconds (bins
// beyond the chart's edge counted as `beyond`), with its median, 95th percentile and how many
// lie over the limit.
std::string delayData(const Report& report) {
  constexpr int kBins = 40;
  double low = 0, high = 1.5 * report.delayLimit;
  for (const Group& g : report.groups) {
    if (g.delays.empty()) continue;
    low = std::min(low, std::floor(g.delays.front() * 10) / 10);
    // Room for most of each condition's delays: beyond its 99th percentile, the few are counted.
    const double p99 = g.delays[static_cast<std::size_t>(0.99 * static_cast<double>(g.delays.size() - 1))];
    high = std::max(high, std::ceil(p99 * 10) / 10);
  }
  const double width = (high - low) / kBins;
  std::string out = "\"delayLimit\":" + number(report.delayLimit) + ",\"delayLow\":" + number(low) +
                    ",\"delayWidth\":" + threeDecimals(width) + ",\"delays\":[";
  for (std::size_t g = 0; g < report.groups.size(); ++g) {
    const std::vector<double>& d = report.groups[g].delays;
    if (g) out += ",";
    const auto spread = spreadOf(d);
    if (!spread) {
      out += "null";
      continue;
    }
    std::vector<long long> bins(kBins, 0);
    long long beyond = 0, over = 0;
    for (double v : d) {
      const auto bin = static_cast<long long>(std::floor((v - low) / width));
      if (bin >= kBins) {
        ++beyond;
      } else {
        ++bins[static_cast<std::size_t>(std::max(bin, 0LL))];
      }
      over += v > report.delayLimit;
    }
    out += "{\"bins\":[";
    for (int b = 0; b < kBins; ++b) {
      if (b) out += ',';
      out += std::to_string(bins[static_cast<std::size_t>(b)]);
    }
    out += "],\"beyond\":" + std::to_string(beyond) + ",\"over\":" + std::to_string(over) +
           ",\"count\":" + std::to_string(d.size()) + ",\"median\":" + threeDecimals(spread->median) +
           ",\"p95\":" + threeDecimals(spread->p95) + "}";
  }
  return out + "]";
}

// The figures the charts and the call table are drawn from.
std::string pageData(const Report& report) {
  std::vector<std::size_t> groupOf(report.records.size(), 0);
  for (std::size_t g = 0; g < report.groups.size(); ++g)
    for (std::size_t i : report.groups[g].records) groupOf[i] = g;

  // Strings that repeat, once each.
  std::map<std::string, std::size_t> fileIndex, folderIndex, computerIndex, deviceIndex;
  std::vector<std::string> files, folders, computers, devices;
  std::string fileFolders;  // each file's folder, by number
  auto indexOf = [](std::map<std::string, std::size_t>& index, std::vector<std::string>& list,
                    const std::string& s) {
    auto [it, added] = index.try_emplace(s, list.size());
    if (added) list.push_back(s);
    return it->second;
  };
  auto list = [](const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i) out += ',';  // not "," + json(): GCC 12 at -O3 warns wrongly (-Wrestrict) of that
      out += json(items[i]);
    }
    return out + "]";
  };

  std::string calls;
  for (std::size_t c = 0; c < report.calls.size(); ++c) {
    const Call& call = report.calls[c];
    for (std::size_t k = 0; k < call.records.size(); ++k) {
      const std::size_t i = call.records[k];
      const ScoredRecord& r = report.records[i];
      const Figures& f = r.figures;
      const std::string defaultTexts = stemOf(r.file) + "-" + std::to_string(r.record.number);
      const std::string texts = r.texts.empty() ? "0" : r.texts == defaultTexts ? "1" : json(r.texts);
      if (!fileIndex.count(r.file)) {
        const std::size_t slash = r.file.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "" : r.file.substr(0, slash + 1);
        fileFolders += std::string(fileFolders.empty() ? "" : ",") +
                       std::to_string(indexOf(folderIndex, folders, folder));
      }
      calls += std::string(calls.empty() ? "" : ",\n") + "[" + std::to_string(c + 1) + "," +
               std::to_string(indexOf(fileIndex, files, r.file)) + "," + std::to_string(r.record.number) +
               "," + json(cp1252ToUtf8(r.record.started)) + "," +
               std::to_string(indexOf(computerIndex, computers, value(r, "COMPUTERID"))) + "," +
               (r.farEnd == fieldtext::Side::Even ? "0" : "1") + "," +
               std::to_string(indexOf(deviceIndex, devices, value(r, "DEVICE"))) + "," + number(f.coverage) +
               "," + number(f.pcerRate) + "," + number(f.ccerRate) + "," + number(f.tcerRate) + "," +
               number(f.cerRate) + "," + std::to_string(verdictCode(r.verdict)) + "," +
               std::to_string(verdictCode(call.verdict)) + "," + std::to_string(groupOf[i]) + "," + texts +
               (report.timing ? "," + timingCells(r) : std::string()) + "]";
    }
  }

  std::string out = "{" + (report.timing ? delayData(report) + "," : std::string()) + "\"rates\":[";
  for (std::size_t r = 0; r < kRates.size(); ++r) out += (r ? "," : "") + json(rateName(kRates[r]));
  out += "],\"limits\":{";
  for (std::size_t l = 0; l < report.limits.size(); ++l)
    out += std::string(l ? "," : "") + json(rateName(report.limits[l].rate)) + ":" +
           number(report.limits[l].percent);
  out += "},\"groups\":[";
  for (std::size_t g = 0; g < report.groups.size(); ++g) {
    const Group& group = report.groups[g];
    const Sums& s = group.sums;
    const double counted = s.pcerTotal > 0 ? static_cast<double>(s.pcerTotal) : 1.0;
    out += std::string(g ? "," : "") + "{\"name\":" + json(groupName(group)) +
           ",\"label\":" + groupLabel(group) + ",\"calls\":" + std::to_string(group.calls) +
           ",\"passed\":" + std::to_string(group.passed) +
           ",\"verdict\":" + json(groupVerdictName(group.verdict)) + ",\"rate\":[";
    for (std::size_t r = 0; r < kRates.size(); ++r) out += (r ? "," : "") + number(s.rate(kRates[r]));
    out += "],\"interval\":[";
    for (std::size_t r = 0; r < kRates.size(); ++r)
      out += std::string(r ? "," : "") + "[" + number(group.intervals[r].low) + "," +
             number(group.intervals[r].high) + "]";
    out += "],\"missed\":" + number(100.0 * static_cast<double>(s.missed) / counted) +
           ",\"changed\":" + number(100.0 * static_cast<double>(s.changed) / counted) +
           ",\"added\":" + number(100.0 * static_cast<double>(s.added) / counted) + "}";
  }
  std::vector<std::string> names;
  for (const std::string& f : files) names.push_back(fileName(f));
  out += "],\"texts\":" + json(report.textsFolder) + ",\"folders\":" + list(folders) + ",\"fileFolders\":[" +
         fileFolders + "],\"files\":" + list(names) + ",\"computers\":" + list(computers) +
         ",\"devices\":" + list(devices) + ",\n\"calls\":[" + calls + "]}";
  return out;
}

const char kStyle[] = R"CSS(
body { font-family: "DejaVu Sans", Verdana, sans-serif; margin: 1.5em auto; max-width: 80em; padding: 0 1em;
       color: #1d2430; line-height: 1.4; }
h1 { font-size: 1.6em; margin-bottom: 0.2em; }
h2 { font-size: 1.2em; margin-top: 1.8em; border-bottom: 1px solid #c8ced8; padding-bottom: 0.2em; }
p.note { color: #4a5568; margin-top: 0.3em; }
table { border-collapse: collapse; margin: 0.5em 0; font-size: 0.88em; }
th, td { padding: 0.2em 0.5em; border-bottom: 1px solid #e2e6ec; text-align: left; vertical-align: top; }
th { background: #f1f4f8; }
td.n { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
tr.first td { border-top: 2px solid #c8ced8; }
.pass { color: #1b7a3a; font-weight: bold; }
.fail { color: #b42318; font-weight: bold; }
.incomplete, .undetermined { color: #8a5a00; font-weight: bold; }
td.verdict span { display: inline-block; padding: 0 0.5em; border-radius: 0.3em; color: #fff; }
td.verdict .pass { background: #1b7a3a; } td.verdict .fail { background: #b42318; }
td.verdict .undetermined { background: #b7791f; }
.swatch { display: inline-block; width: 1.6em; height: 0.8em; vertical-align: middle; border: 1px solid #4a5568; }
.swatch { print-color-adjust: exact; -webkit-print-color-adjust: exact; }
table.rtt td.v { text-align: center; white-space: nowrap; }
.warn { color: #8a5a00; font-weight: bold; } .unexercised { color: #8a94a6; }
table.rtt th small { font-weight: normal; }
.swatch.pass { background: #1b7a3a99; } .swatch.fail { background: #b4231899; } .swatch.undetermined { background: #b7791f99; }
td.rate { text-align: right; white-space: nowrap; font-variant-numeric: tabular-nums; }
td.rate small { display: block; color: #4a5568; }
.charts { display: grid; grid-template-columns: repeat(auto-fit, minmax(36em, 1fr)); gap: 1.5em; }
.chart { position: relative; }
details { margin: 0.5em 0; }
summary { cursor: pointer; color: #2b4c7e; }
code { font-size: 0.95em; word-break: break-all; }
.pager { margin: 0.5em 0; } .pager button { margin-right: 0.4em; }
.print-only { display: none; }
@media print {
  @page { size: A4; margin: 12mm; }
  body { margin: 0; max-width: none; font-size: 8.5pt; padding: 0; }
  h1 { font-size: 14pt; } h2 { font-size: 11pt; margin-top: 1em; }
  table { font-size: 7.5pt; } th, td { padding: 0.1em 0.3em; }
  .screen-only { display: none !important; }
  .print-only { display: block; }
  /* A heading stays with what it heads: never alone at the foot of a page. */
  h1, h2 { break-after: avoid; break-inside: avoid; }
  h2 + p.note { break-before: avoid; break-after: avoid; }
  tr { break-inside: avoid; }
  .charts { display: block; }
  .chart { break-inside: avoid; margin-bottom: 1em; height: auto !important; }
  /* A chart of many conditions shrinks to one page rather than being cut between two. */
  .chart canvas { width: auto !important; height: auto !important; max-width: 100%; max-height: 255mm; }
  td.verdict span { color: #000 !important; border: 1px solid #000; background: none !important; }
  a { color: inherit; text-decoration: none; }
}
)CSS";

// Builds the charts and the call table from the page's figures. Only the chart library draws.
const char kScript[] = R"JS(
(function () {
  var data = JSON.parse(document.getElementById('report-data').textContent);
  Chart.defaults.animation = false;
  Chart.defaults.font.family = '"DejaVu Sans", Verdana, sans-serif';
  Chart.defaults.font.size = 11;
  Chart.defaults.maintainAspectRatio = false;
  var colours = { PCER: '#2b6cb0', CCER: '#805ad5', TCER: '#2f855a', CER: '#c05621' };
  var verdictColours = { pass: '#1b7a3a', fail: '#b42318', undetermined: '#b7791f', incomplete: '#b7791f' };
  var verdictNames = ['pass', 'fail', 'incomplete'];
  var labels = data.groups.map(function (g) { return g.label; });
  var made = 0;

  // What each chart shows of its conditions, for the reader of the page's DOM: the labels drawn,
  // whether two of them overlap, and how many bars or points were cut at the chart's edge.
  function record(canvas, chart, clipped) {
    var y = chart.scales.y;
    var shown = [];
    var lines = 1;
    y.ticks.forEach(function (t) {
      var label = y.type === 'category' ? chart.data.labels[t.value] : labels[t.value];
      if (label === undefined) return;
      shown.push([].concat(label).join(' '));
      lines = Math.max(lines, [].concat(label).length);
    });
    var room = shown.length > 0 ? y.height / shown.length : 0;
    var need = lines * Chart.defaults.font.size * 1.15;
    canvas.setAttribute('data-labels', JSON.stringify(shown));
    canvas.setAttribute('data-overlap', room + 0.5 < need ? 'yes' : 'no');
    canvas.setAttribute('data-clipped', String(clipped));
  }
  function chart(id, config, clipped) {
    var canvas = document.getElementById(id);
    var c = new Chart(canvas, config);
    if (id !== 'shifts') record(canvas, c, clipped || 0);
    made++;
    return c;
  }
  function percentAxis(title, max) {
    return { beginAtZero: true, max: max, title: { display: true, text: title } };
  }
  function conditionAxis() {
    return { ticks: { autoSkip: false, font: { size: 11 } } };
  }
  // The scale of a rate's chart: wide enough for its limit and most conditions; what lies beyond
  // is cut at the edge and marked with its value.
  function edgeOf(rate, r) {
    var rates = data.groups.map(function (g) { return g.rate[r]; }).sort(function (a, b) { return a - b; });
    var typical = rates.length ? rates[Math.floor(0.75 * (rates.length - 1))] : 0;
    var limit = data.limits[rate];
    var edge = Math.max(limit !== undefined ? 3 * limit : 0, 1.25 * typical, 0.5);
    return Math.min(100, Math.ceil(edge * 4) / 4);
  }
  // Draws the limit as a dashed line and a mark with the value at each bar or point cut at the edge.
  var marks = {
    id: 'marks',
    afterDatasetsDraw: function (c, args, options) {
      var ctx = c.ctx, x = c.scales.x, area = c.chartArea;
      ctx.save();
      if (options.limit !== undefined) {
        var lx = x.getPixelForValue(options.limit);
        ctx.strokeStyle = '#b42318';
        ctx.setLineDash([6, 4]);
        ctx.lineWidth = 1.5;
        ctx.beginPath();
        ctx.moveTo(lx, area.top);
        ctx.lineTo(lx, area.bottom);
        ctx.stroke();
        ctx.setLineDash([]);
        ctx.fillStyle = '#b42318';
        ctx.textAlign = 'left';
        ctx.fillText('limit ' + options.limit + ' %', lx + 3, area.top + 10);
      }
      ctx.textAlign = 'right';
      ctx.textBaseline = 'middle';
      (options.cut || []).forEach(function (m) {
        var py = c.scales.y.getPixelForValue(m.y);
        var px = area.right;
        ctx.fillStyle = '#1d2430';
        ctx.beginPath();
        ctx.moveTo(px - 8, py - 5);
        ctx.lineTo(px, py);
        ctx.lineTo(px - 8, py + 5);
        ctx.fill();
        var width = ctx.measureText(m.text).width;
        ctx.fillStyle = 'rgba(255, 255, 255, 0.85)';
        ctx.fillRect(px - 14 - width, py - 8, width + 4, 16);
        ctx.fillStyle = '#1d2430';
        ctx.fillText(m.text, px - 12, py);
      });
      ctx.restore();
    }
  };

  data.rates.forEach(function (rate, r) {
    var edge = edgeOf(rate, r);
    // One mark a condition: its figures when its rate lies beyond the edge, else where its
    // interval ends.
    var cut = [];
    data.groups.forEach(function (g, i) {
      var iv = g.interval[r];
      if (g.rate[r] > edge)
        cut.push({ y: i, text: g.rate[r].toFixed(2) + ' % [' + iv[0].toFixed(2) + '\u2013' + iv[1].toFixed(2) + ']' });
      else if (iv[1] > edge)
        cut.push({ y: i, text: 'to ' + iv[1].toFixed(2) + ' %' });
    });
    var bars = data.groups.map(function (g) {
      return [Math.min(g.interval[r][0], edge), Math.min(g.interval[r][1], edge)];
    });
    var points = data.groups.map(function (g) { return g.rate[r] > edge ? null : g.rate[r]; });
    chart('rate-' + rate, {
      type: 'bar',
      data: { labels: labels, datasets: [
        { type: 'line', label: 'pooled ' + rate, data: points, showLine: false, pointRadius: 6, pointStyle: 'rectRot',
          backgroundColor: '#1d2430', borderColor: '#1d2430' },
        { type: 'bar', label: '95 % interval', data: bars, minBarLength: 3,
          backgroundColor: data.groups.map(function (g) { return verdictColours[g.verdict] + '99'; }),
          borderColor: data.groups.map(function (g) { return verdictColours[g.verdict]; }), borderWidth: 1,
          barPercentage: 0.7, categoryPercentage: 0.9 }
      ] },
      options: { indexAxis: 'y', plugins: { title: { display: true, text: rate + ' by condition' },
                                            legend: { labels: { filter: function (item) { return item.datasetIndex === 0; } } },
                                            marks: { limit: data.limits[rate], cut: cut } },
                 scales: { x: percentAxis(rate + ' (%)', edge), y: conditionAxis() } },
      plugins: [marks]
    }, cut.length);
  });

  var spreadEdge = edgeOf('PCER', 0);
  var spreadCut = 0;
  var spread = verdictNames.map(function (verdict, v) {
    var points = [];
    data.calls.forEach(function (c) {
      if (c[12] !== v) return;
      // Spread the points of a condition a little, the same way every time.
      var jitter = ((c[0] * 37 + c[2] * 11) % 21 - 10) / 40;
      if (c[8] > spreadEdge) spreadCut++;
      points.push({ x: Math.min(c[8], spreadEdge), y: c[14] + jitter });
    });
    return { label: verdict, backgroundColor: verdictColours[verdict], data: points, pointRadius: 2.5 };
  });
  chart('spread', {
    type: 'scatter',
    data: { datasets: spread },
    options: {
      parsing: false,
      plugins: { title: { display: true, text: 'PCER of each call direction, by condition' + (spreadCut ? ' (' + spreadCut + ' beyond ' + spreadEdge + ' % drawn at the edge)' : '') },
                 marks: { limit: data.limits.PCER }, tooltip: { enabled: data.calls.length <= 5000 } },
      scales: {
        x: percentAxis('PCER (%)', spreadEdge),
        y: { type: 'linear', reverse: true, min: -0.5, max: labels.length - 0.5,
             afterBuildTicks: function (axis) { axis.ticks = labels.map(function (l, i) { return { value: i }; }); },
             ticks: { autoSkip: false, font: { size: 11 }, callback: function (v) { return labels[v]; } } }
      }
    },
    plugins: [marks]
  }, spreadCut);

  chart('kinds', {
    type: 'bar',
    data: { labels: labels, datasets: [
      { label: 'missed', data: data.groups.map(function (g) { return g.missed; }), backgroundColor: '#c05621' },
      { label: 'changed', data: data.groups.map(function (g) { return g.changed; }), backgroundColor: '#2b6cb0' },
      { label: 'added', data: data.groups.map(function (g) { return g.added; }), backgroundColor: '#a0aec0' }
    ] },
    options: { indexAxis: 'y',
               plugins: { title: { display: true, text: 'Missed, changed and added characters per 100 counted' } },
               scales: { y: Object.assign(conditionAxis(), { stacked: true }),
                         x: Object.assign(percentAxis('per 100 characters'), { stacked: true }) } }
  });

  var top = 1;
  data.calls.forEach(function (c) { top = Math.max(top, c[8], c[10]); });
  top = Math.min(top, 100);
  chart('shifts', {
    type: 'scatter',
    data: { datasets: [
      { label: 'call direction', backgroundColor: '#2f855a', pointRadius: 2.5,
        data: data.calls.map(function (c) { return { x: c[8], y: c[10] }; }) },
      { type: 'line', label: 'TCER = PCER', data: [{ x: 0, y: 0 }, { x: top, y: top }],
        borderColor: '#a0aec0', borderDash: [4, 4], pointRadius: 0, borderWidth: 1 }
    ] },
    options: {
      parsing: false,
      plugins: { title: { display: true, text: 'Lost shifts: TCER against PCER' }, tooltip: { enabled: data.calls.length <= 5000 } },
      scales: { x: Object.assign(percentAxis('PCER (%)'), { type: 'linear', suggestedMax: top }),
                y: Object.assign(percentAxis('TCER (%)'), { suggestedMax: top }) }
    }
  });

  // Each condition's one-way delays against the limit.
  var limitLine = {
    id: 'limitLine',
    afterDatasetsDraw: function (c, args, o) {
      var x = c.scales.x, area = c.chartArea;
      var step = x.getPixelForValue(1) - x.getPixelForValue(0);
      var px = x.getPixelForValue(0) - step / 2 + (o.limit - o.low) / o.width * step;
      if (px < area.left || px > area.right) return;
      var ctx = c.ctx;
      ctx.save();
      ctx.strokeStyle = '#b42318';
      ctx.setLineDash([6, 4]);
      ctx.lineWidth = 1.5;
      ctx.beginPath();
      ctx.moveTo(px, area.top);
      ctx.lineTo(px, area.bottom);
      ctx.stroke();
      ctx.fillStyle = '#b42318';
      ctx.fillText('limit ' + o.limit + ' s', px + 3, area.top + 10);
      ctx.restore();
    }
  };
  (data.delays || []).forEach(function (d, g) {
    var canvas = document.getElementById('delay-' + g);
    if (!d || !canvas) return;
    var centres = d.bins.map(function (n, b) { return (data.delayLow + (b + 0.5) * data.delayWidth).toFixed(2); });
    var title = data.groups[g].name + ': median ' + d.median.toFixed(3) + ' s, 95 % ' + d.p95.toFixed(3) + ' s, ' +
        (100 * d.over / d.count).toFixed(1) + ' % of ' + d.count + ' characters over the limit' +
        (d.beyond ? ' (' + d.beyond + ' beyond the edge)' : '');
    new Chart(canvas, {
      type: 'bar',
      data: { labels: centres, datasets: [{ label: 'characters', data: d.bins, barPercentage: 1, categoryPercentage: 1,
        backgroundColor: d.bins.map(function (n, b) {
          return data.delayLow + (b + 1) * data.delayWidth <= data.delayLimit + 1e-9 ? '#1b7a3a99' : '#b4231899';
        }) }] },
      options: { plugins: { title: { display: true, text: title }, legend: { display: false },
                            limitLine: { limit: data.delayLimit, low: data.delayLow, width: data.delayWidth } },
                 scales: { x: { title: { display: true, text: 'one-way delay (s)' }, ticks: { maxTicksLimit: 12 } },
                           y: { beginAtZero: true, title: { display: true, text: 'characters' } } } },
      plugins: [limitLine]
    });
    canvas.setAttribute('data-delays', String(d.count));
    made++;
  });

  // The calls, a page at a time.
  var table = document.getElementById('call-rows');
  var status = document.getElementById('call-page');
  var onlyFailing = document.getElementById('only-failing');
  var onlyAlone = document.getElementById('only-alone');
  var ends = {};
  data.calls.forEach(function (c) { ends[c[0]] = (ends[c[0]] || 0) + 1; });
  var perPage = 100, page = 0;
  function shown() {
    return data.calls.filter(function (c) {
      return (!onlyFailing.checked || c[13] !== 0) && (!onlyAlone.checked || ends[c[0]] === 1);
    });
  }
  function cell(row, text, cls) {
    var td = document.createElement('td');
    td.textContent = text;
    if (cls) td.className = cls;
    row.appendChild(td);
    return td;
  }
  function link(td, href, text) {
    var a = document.createElement('a');
    a.href = href;
    a.textContent = text;
    td.appendChild(a);
    td.appendChild(document.createTextNode(' '));
  }
  function draw() {
    var calls = shown();
    var pages = Math.max(1, Math.ceil(calls.length / perPage));
    page = Math.min(Math.max(page, 0), pages - 1);
    table.textContent = '';
    var last = -1;
    calls.slice(page * perPage, (page + 1) * perPage).forEach(function (c) {
      var row = document.createElement('tr');
      var first = c[0] !== last;
      if (first) row.className = 'first';
      last = c[0];
      cell(row, first ? String(c[0]) : '', 'n');
      cell(row, c[3]);
      var name = data.files[c[1]];
      cell(row, name + ':' + c[2]).title = data.folders[data.fileFolders[c[1]]] + name;
      cell(row, data.computers[c[4]]);
      cell(row, c[5] === 0 ? 'Incoming' : 'Outgoing');
      cell(row, data.devices[c[6]]);
      cell(row, data.groups[c[14]] ? data.groups[c[14]].name : '-');
      [7, 8, 9, 10, 11].forEach(function (k) { cell(row, c[k].toFixed(2), 'n'); });
      cell(row, verdictNames[c[12]], verdictNames[c[12]]);
      cell(row, first ? verdictNames[c[13]] : '', first ? verdictNames[c[13]] : '');
      if (data.delays) {
        cell(row, c[16], 'n');
        cell(row, c[17], 'n');
      }
      var texts = cell(row, '');
      if (c[15] !== 0) {
        var base = c[15] === 1 ? name.replace(/\.[^.]*$/, '') + '-' + c[2] : c[15];
        var folder = data.texts ? data.texts.replace(/\/$/, '') + '/' : '';
        // Each part of the path as it is, whatever characters the capture's name holds.
        var href = function (kind) { return (folder + base + kind).split('/').map(encodeURIComponent).join('/'); };
        link(texts, href('-score.txt'), 'alignment');
        link(texts, href('-reference.txt'), 'sent');
        link(texts, href('-received.txt'), 'received');
      }
      table.appendChild(row);
    });
    status.textContent = calls.length === 0 ? 'no calls' :
        'calls ' + (page * perPage + 1) + ' to ' + Math.min(calls.length, (page + 1) * perPage) +
        ' of ' + calls.length + ' call directions, page ' + (page + 1) + ' of ' + pages;
  }
  document.getElementById('first-page').onclick = function () { page = 0; draw(); };
  document.getElementById('previous-page').onclick = function () { page--; draw(); };
  document.getElementById('next-page').onclick = function () { page++; draw(); };
  document.getElementById('last-page').onclick = function () { page = 1e9; draw(); };
  onlyFailing.onchange = onlyAlone.onchange = function () { page = 0; draw(); };
  draw();

  document.body.setAttribute('data-charts', String(made));
  // When the page was ready to use, in milliseconds from the start of its loading.
  document.body.setAttribute('data-ready-ms', String(Math.round(performance.now())));
})();
)JS";

// Set first, so that any error of the scripts after it is seen on the page.
const char kErrorWatch[] = R"JS(
(function () {
  var errors = [];
  function note(text) {
    errors.push(text);
    document.body.setAttribute('data-errors', errors.join(' | '));
  }
  window.addEventListener('error', function (e) { note(String(e.message)); });
  var consoleError = console.error;
  console.error = function () {
    note(Array.prototype.join.call(arguments, ' '));
    consoleError.apply(console, arguments);
  };
})();
)JS";

std::string placeCell(const std::string& file, int record) {
  return "<td title=\"" + escapeHtml(file) + "\">" + escapeHtml(fileName(file)) + "</td><td class=\"n\">" +
         (record         ? std::to_string(record)
          : file.empty() ? ""
                         : "whole file") +
         "</td>";
}

// The title, what the report was made of and the rules of the verdicts.
std::string pageHead(const Report& report) {
  std::string h;
  h += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
       "<title>Field test report</title>\n<style>";
  h += kStyle;
  h += "</style>\n</head>\n<body>\n<script>";
  h += kErrorWatch;
  h += "</script>\n<h1>Field test report</h1>\n<p class=\"note\">";
  h += withThousands(static_cast<long long>(report.captures.size())) + " capture files, " +
       withThousands(static_cast<long long>(report.records.size())) + " records scored in " +
       withThousands(static_cast<long long>(report.calls.size())) + " calls, " +
       std::to_string(report.skipped.size()) + " not read or not scored, " +
       std::to_string(report.duplicates.size()) + " duplicates. Written by fieldreport " +
       escapeHtml(report.version) + ": <code>" + escapeHtml(report.commandLine) + "</code></p>\n";
  h += "<p class=\"note\">A call passes with " + escapeHtml(limitsText(report.limits)) +
       " in each direction and at least " + twoDecimals(kCompleteCoverage) +
       " % of the far end's text counted; otherwise it fails, or is incomplete. A condition passes when all "
       "its "
       "calls are complete and the 95 % interval of each limited rate lies below its limit (with at least " +
       std::to_string(kMinCallsToPass) +
       " calls); it fails when a call is dropped or incomplete or an interval lies above its limit; "
       "otherwise it "
       "is undetermined.</p>\n";
  return h;
}

// The summary table by condition.
std::string summarySection(const Report& report) {
  std::string by;
  for (const auto& f : report.byFields) by += (by.empty() ? "" : ", ") + f;
  std::string h;
  h += "<h2 id=\"summary\">Summary by " + escapeHtml(by) + "</h2>\n";
  h += "<p class=\"note\">Rates pooled over each condition's characters (from the summed counts). The 95 % "
       "intervals allow for errors coming in runs within a call and for calls differing from each other, so "
       "few calls give wide intervals.</p>\n<table id=\"summary-table\">\n<tr>";
  for (const auto& f : report.byFields) h += "<th>" + escapeHtml(f) + "</th>";
  h += "<th>Calls</th><th>Complete</th><th>Passed</th><th>Coverage</th>";
  for (Rate rate : kRates)
    h += std::string("<th>") + rateName(rate) + " %<br><small>95 % interval</small></th>";
  if (report.timing)
    h += "<th>One-way delay s<br><small>median / 95 %</small></th><th>Reply delay "
         "s<br><small>median</small></th>";
  h += "<th>Verdict</th></tr>\n";
  for (const Group& g : report.groups) {
    h += "<tr>";
    for (const auto& v : g.values) h += "<td>" + escapeHtml(v.empty() ? "-" : cp1252ToUtf8(v)) + "</td>";
    h += "<td class=\"n\">" + std::to_string(g.calls) + "</td><td class=\"n\">" + std::to_string(g.complete) +
         "</td><td class=\"n\">" + std::to_string(g.passed) + "</td><td class=\"n\">" +
         twoDecimals(g.sums.coverage()) + "</td>";
    for (std::size_t r = 0; r < kRates.size(); ++r)
      h += "<td class=\"rate\">" + twoDecimals(g.sums.rate(kRates[r])) + "<small>" +
           twoDecimals(g.intervals[r].low) + " &ndash; " + twoDecimals(g.intervals[r].high) + "</small></td>";
    if (report.timing) {
      const auto d = spreadOf(g.delays), reply = spreadOf(g.replyDelays);
      h += "<td class=\"n\">" + (d ? threeDecimals(d->median) + " / " + threeDecimals(d->p95) : "-") +
           "</td><td class=\"n\">" + (reply ? threeDecimals(reply->median) : "-") + "</td>";
    }
    const char* v = groupVerdictName(g.verdict);
    const std::string needed = callsNeededText(g);
    h += std::string("<td class=\"verdict\"><span class=\"") + v + "\">" + v + "</span> " +
         escapeHtml(g.why) + (needed.empty() ? "" : "<br><small>" + escapeHtml(needed) + "</small>") +
         "</td></tr>\n";
  }
  h += "</table>\n<p class=\"note\">" + escapeHtml(dispersionText(report)) + "</p>\n";
  if (!report.skipped.empty())
    h += "<p class=\"fail\">" + std::to_string(report.skipped.size()) +
         " files or records were not read or not scored: see <a href=\"#not-scored-records\">Not read or not "
         "scored</a>.</p>\n";
  return h;
}

// The charts of the rates, the spread of the calls and the kinds of errors.
std::string chartsSection(const Report& report) {
  std::string h;
  // Charts grow with their conditions: room for each label's lines.
  std::size_t lines = 0;
  for (const Group& g : report.groups) lines += labelLines(g).size();
  const std::size_t height = 90 + 15 * lines + 6 * report.groups.size();
  const std::string box = "<div class=\"chart\" style=\"height: " + std::to_string(height) + "px\">";
  h += "<h2 id=\"rates\">Rates by condition</h2>\n<p class=\"note\">The pooled rate of each condition "
       "(diamond), "
       "its 95 % interval (bar, in the colour of the condition's verdict: <span class=\"swatch "
       "pass\"></span> pass, "
       "<span class=\"swatch fail\"></span> fail, <span class=\"swatch undetermined\"></span> undetermined) "
       "and the "
       "limit (dashed). A bar beyond the chart's edge is cut there and marked with where it ends; a "
       "condition whose "
       "rate lies beyond the edge is marked with its rate and interval.</p>\n<div class=\"charts\">\n";
  for (Rate rate : kRates) {
    const bool limited = std::any_of(report.limits.begin(), report.limits.end(),
                                     [&](const Limit& l) { return l.rate == rate; });
    h += std::string("<div") + (limited ? "" : " class=\"screen-only\"") + ">" + box + "<canvas id=\"rate-" +
         rateName(rate) + "\"></canvas></div></div>\n";
  }
  h += "</div>\n<div class=\"screen-only\">\n<h2 id=\"spread-of-calls\">Spread of the calls</h2>\n<div "
       "class=\"charts\">\n" +
       box + "<canvas id=\"spread\"></canvas></div>\n</div>\n</div>\n";
  h += "<h2 id=\"kinds-of-errors\">Kinds of errors</h2>\n<p class=\"note\">Score's plain counts per 100 "
       "characters "
       "counted. A lost shift code garbles a run of characters that PCER counts one by one and TCER counts "
       "once: "
       "calls far below the diagonal lost most of their text to shifts.</p>\n<div class=\"charts\">\n" +
       box +
       "<canvas id=\"kinds\"></canvas></div>\n<div class=\"chart\" style=\"height: 420px\"><canvas "
       "id=\"shifts\"></canvas></div>\n</div>\n\n";
  return h;
}

// The charts of the one-way delays by condition, when the records have times.
std::string delaysSection(const Report& report) {
  std::string h;
  if (report.timing) {
    char limit[40];
    std::snprintf(limit, sizeof limit, "%g", report.delayLimit);
    h += "<h2 id=\"delays\">One-way delays by condition</h2>\n<p class=\"note\">The time from a character "
         "sent "
         "at one end to its arrival at the other, for every character score matched in the calls saved with "
         "times at both ends (the two computers' clocks set apart as each call's two directions show them), "
         "by the condition of the record that received it; the limit (dashed, <code>--delay-limit</code>) "
         "is " +
         std::string(limit) + " s.</p>\n<div class=\"charts\">\n";
    for (std::size_t g = 0; g < report.groups.size(); ++g) {
      if (report.groups[g].delays.empty()) {
        h += "<p class=\"note\">" + escapeHtml(groupName(report.groups[g])) +
             ": no one-way delays (they need times at both ends of a call).</p>\n";
        continue;
      }
      h += "<div class=\"chart\" style=\"height: 260px\"><canvas id=\"delay-" + std::to_string(g) +
           "\"></canvas></div>\n";
    }
    h += "</div>\n";
  }
  return h;
}

// The table of the calls, filled by the page's script.
std::string callsSection(const Report& report) {
  std::string h;
  std::size_t unpaired = 0;
  for (const Call& c : report.calls) unpaired += c.records.size() == 1;
  h += "<h2 id=\"calls\">Calls</h2>\n<p class=\"note\">Each line one direction of a call: the far end's "
       "turns as "
       "this capture received them. The links open the texts it was scored on and score's alignment of them "
       "(the "
       "text sent with # for a character changed or missed and % before a lost shift).</p>\n"
       "<div class=\"pager\"><button id=\"first-page\">First</button><button "
       "id=\"previous-page\">Previous</button>"
       "<button id=\"next-page\">Next</button><button id=\"last-page\">Last</button> <label><input "
       "type=\"checkbox\" "
       "id=\"only-failing\"> only calls that did not pass</label> <label><input type=\"checkbox\" "
       "id=\"only-alone\"> only records whose other end was not found (" +
       std::to_string(unpaired) +
       ")</label> <span id=\"call-page\"></span></div>\n"
       "<table id=\"call-table\">\n<thead><tr><th>Call</th><th>Started</th><th>Capture</th><th>Computer</th>"
       "<th>Direction</th><th>Device</th><th>Condition</th><th>Coverage</th><th>PCER</th><th>CCER</th><th>TCER</th><th>CER</th>"
       "<th>Verdict</th><th>Call</th>" +
       std::string(report.timing
                       ? "<th>One-way delay s<br><small>median / 95 % / max</small></th><th>Reply s<br>"
                         "<small>median</small></th>"
                       : "") +
       "<th>Texts</th></tr></thead>\n<tbody id=\"call-rows\"></tbody>\n</table>\n";
  return h;
}

// The real-time text calls of the wire traces: each rule's tally, each call's verdicts by rule,
// and the evidence of every failure and warning (printed whole: a PDF of the page carries it).
std::string rttSection(const Report& report) {
  namespace rt = rttmodem::trace;
  if (report.rttCalls.empty()) return "";
  auto mark = [](rt::Verdict v) {
    switch (v) {
      case rt::Verdict::Pass: return std::string("<span class=\"pass\">pass</span>");
      case rt::Verdict::Warn: return std::string("<span class=\"warn\">warn</span>");
      case rt::Verdict::Fail: return std::string("<span class=\"fail\">FAIL</span>");
      case rt::Verdict::NotExercised: break;
    }
    return std::string("<span class=\"unexercised\">&ndash;</span>");
  };
  const std::vector<rt::Rule>& rules = rt::rules();
  std::string h;
  h += "<h2 id=\"rtt\">Real-time text calls against the RTT rules</h2>\n<p class=\"note\">The far end of each "
       "call judged from its wire trace, as <code>rttcheck</code> judges it: pass, the call put the rule to "
       "the test and the far end kept it every time; warn, kept, with something worth a look; FAIL, broken at "
       "least once (the evidence is below); &ndash;, not exercised: the call gave the rule nothing to judge, "
       "which is no pass.</p>\n";
  h += "<table class=\"rtt\" id=\"rtt-rules\">\n<tr><th>Rule</th><th>The far end must see that</th>"
       "<th>Clause</th><th>Pass</th><th>Warn</th><th>Fail</th><th>Not exercised</th></tr>\n";
  for (std::size_t r = 0; r < rules.size(); ++r) {
    std::array<int, 4> tally{};
    for (const rt::CallReport& c : report.rttCalls)
      if (r < c.results.size()) ++tally[static_cast<std::size_t>(c.results[r].verdict)];
    h += "<tr><td><code>" + escapeHtml(rules[r].id) + "</code></td><td>" + escapeHtml(rules[r].title) +
         "</td><td>" + escapeHtml(rules[r].clause) + "</td>";
    for (rt::Verdict v : {rt::Verdict::Pass, rt::Verdict::Warn, rt::Verdict::Fail, rt::Verdict::NotExercised}) {
      const int n = tally[static_cast<std::size_t>(v)];
      h += "<td class=\"n\">" + (n && v != rt::Verdict::NotExercised ? mark(v) + " " : std::string()) +
           std::to_string(n) + "</td>";
    }
    h += "</tr>\n";
  }
  h += "</table>\n";

  h += "<table class=\"rtt\" id=\"rtt-calls\">\n<tr><th>Trace</th><th>Call</th><th>Peer</th><th>Started</th>"
       "<th>s</th>";
  for (const rt::Rule& rule : rules) {
    const std::string id(rule.id);
    const std::size_t dot = id.find('.');
    h += "<th title=\"" + escapeHtml(rule.title) + "\"><small>" + escapeHtml(id.substr(0, dot + 1)) +
         "</small><br>" + escapeHtml(id.substr(dot + 1)) + "</th>";
  }
  h += "</tr>\n";
  for (const rt::CallReport& c : report.rttCalls) {
    h += "<tr><td>" + escapeHtml(fileName(c.file)) + (c.ended ? "" : " <small>(cut short)</small>") + "</td><td>" +
         escapeHtml(c.call.id) + (c.call.role.empty() ? "" : " (" + escapeHtml(c.call.role) + ")") + "</td><td>" +
         escapeHtml(c.call.peer) + "</td><td>" + escapeHtml(c.call.started) + "</td><td class=\"n\">" +
         std::to_string(c.seconds10 / 10) + "." + std::to_string(c.seconds10 % 10) + "</td>";
    for (const rt::RuleResult& result : c.results)
      h += "<td class=\"v\" title=\"" + escapeHtml(result.summary) + "\">" + mark(result.verdict) + "</td>";
    h += "</tr>\n";
  }
  h += "</table>\n";

  std::string evidence;
  for (const rt::CallReport& c : report.rttCalls)
    for (const rt::RuleResult& result : c.results) {
      if (result.verdict != rt::Verdict::Fail && result.verdict != rt::Verdict::Warn) continue;
      evidence += "<li>" + escapeHtml(fileName(c.file)) + ": <code>" + escapeHtml(result.rule->id) + "</code> " +
                  mark(result.verdict) + " " + escapeHtml(result.summary);
      if (!result.evidence.empty()) {
        evidence += "<ul>";
        for (const std::string& item : result.evidence) evidence += "<li>" + escapeHtml(item) + "</li>";
        if (result.moreEvidence) evidence += "<li>and " + std::to_string(result.moreEvidence) + " more</li>";
        evidence += "</ul>";
      }
      evidence += "</li>\n";
    }
  if (!evidence.empty()) h += "<p>Failures and warnings, with their evidence</p>\n<ul id=\"rtt-evidence\">\n" + evidence + "</ul>\n";
  return h;
}

// The clocks of the computers, as the calls and as the characters give them.
std::string clocksSection(const Report& report) {
  std::string h;
  if (!report.clocks.empty()) {
    h += "<h2 id=\"clocks\">Clocks</h2>\n<table>\n<tr><th>Computer</th><th>Partner</th><th>Partner's clock "
         "ahead by</th><th>Calls</th><th>From</th></tr>\n";
    for (const ClockDifference& d : report.clocks) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%+.0f s", d.seconds);
      h += "<tr><td>" + escapeHtml(cp1252ToUtf8(d.computer)) + "</td><td>" +
           escapeHtml(cp1252ToUtf8(d.partner)) + "</td><td class=\"n\">" + seconds + "</td><td class=\"n\">" +
           std::to_string(d.calls) + "</td><td>" + (d.given ? "--clock-offset" : "their calls") +
           "</td></tr>\n";
    }
    h += "</table>\n";
  }
  if (!report.timingClocks.empty()) {
    h += "<h2 id=\"timing-clocks\">Clocks as the characters give them</h2>\n<p class=\"note\">From the two "
         "directions of each call with times at both ends, as NTP does (assuming each character takes as "
         "long one "
         "way as the other): the median of the calls' estimates and their "
         "range.</p>\n<table>\n<tr><th>Computer"
         "</th><th>Partner</th><th>Partner's clock ahead "
         "by</th><th>Calls</th><th>Range</th><th>From</th></tr>\n";
    for (const TimingClock& c : report.timingClocks) {
      char seconds[40], range[96];
      std::snprintf(seconds, sizeof seconds, "%+.3f s", c.seconds);
      std::snprintf(range, sizeof range, "%+.3f to %+.3f s", c.low, c.high);
      h += "<tr><td>" + escapeHtml(cp1252ToUtf8(c.computer)) + "</td><td>" +
           escapeHtml(cp1252ToUtf8(c.partner)) + "</td><td class=\"n\">" + seconds + "</td><td class=\"n\">" +
           std::to_string(c.calls) + "</td><td class=\"n\">" + (c.given ? "" : range) + "</td><td>" +
           (c.given ? "--clock-offset" : "their calls");
      if (c.characters) {
        char characters[64];
        std::snprintf(characters, sizeof characters, " (the characters say %+.3f s)", *c.characters);
        h += characters;
      }
      h += "</td></tr>\n";
    }
    h += "</table>\n";
  }
  return h;
}

// What was not read or not scored, the notes and the duplicates.
std::string problemsSection(const Report& report) {
  std::string h;
  h += "<h2 id=\"not-scored-records\">Not read or not scored</h2>\n";
  if (report.skipped.empty()) {
    h += "<p class=\"note\">Every file was read and every record scored.</p>\n";
  } else {
    h += "<table id=\"not-scored\">\n<tr><th>Capture</th><th>Record</th><th>Reason</th></tr>\n";
    for (const Skipped& s : report.skipped)
      h += "<tr>" + placeCell(s.file, s.record) + "<td>" + escapeHtml(s.reason) + "</td></tr>\n";
    h += "</table>\n";
  }
  if (!report.notes.empty()) {
    h += "<h2 id=\"notes\">Notes</h2>\n<table "
         "id=\"notes-table\">\n<tr><th>Capture</th><th>Record</th><th>Note</th></tr>\n";
    for (const Note& n : report.notes)
      h += "<tr>" + placeCell(n.file, n.record) + "<td>" + escapeHtml(n.text) + "</td></tr>\n";
    h += "</table>\n";
  }
  if (!report.duplicates.empty()) {
    h += "<details class=\"screen-only\"><summary>" + std::to_string(report.duplicates.size()) +
         " duplicate records, counted once</summary>\n<table "
         "id=\"duplicates\">\n<tr><th>Capture</th><th>Record</th>"
         "<th>Same as</th></tr>\n";
    for (const Skipped& s : report.duplicates)
      h += "<tr>" + placeCell(s.file, s.record) + "<td>" + escapeHtml(s.reason) + "</td></tr>\n";
    h += "</table>\n</details>\n";
  }
  return h;
}

// The files read, with their sizes and SHA-256.
std::string filesSection(const Report& report) {
  long long bytes = 0;
  for (const InputFile& f : report.captures) bytes += f.size;
  std::string h;
  h += "<h2 id=\"files-read\">Files read</h2>\n<p class=\"note\">" +
       withThousands(static_cast<long long>(report.captures.size())) + " capture files, " +
       withThousands(bytes) + " bytes; their list as <code>sha256sum</code> prints it has SHA-256 <code>" +
       sha256Hex(captureManifest(report)) + "</code>.</p>\n";
  auto fileRows = [&](const std::vector<InputFile>& files) {
    std::string rows = "<table>\n<tr><th>File</th><th>Bytes</th><th>SHA-256</th></tr>\n";
    for (const InputFile& f : files)
      rows += "<tr><td>" + escapeHtml(f.path) + "</td><td class=\"n\">" + withThousands(f.size) +
              "</td><td><code>" + f.sha256 + "</code></td></tr>\n";
    return rows + "</table>\n";
  };
  if (!report.scripts.empty()) h += "<p>Scripts</p>\n" + fileRows(report.scripts);
  // Folded on the screen; printed whole, so that a paper or PDF copy carries every digest.
  auto listed = [&](const std::string& title, const std::vector<InputFile>& files) {
    const std::string rows = fileRows(files);
    return "<details class=\"screen-only\"><summary>" + title + "</summary>\n" + rows +
           "</details>\n<div class=\"print-only\">\n<p>" + title + "</p>\n" + rows + "</div>\n";
  };
  if (!report.timingFiles.empty()) h += listed("The timing files", report.timingFiles);
  if (!report.traces.empty()) h += listed("The wire traces", report.traces);
  if (!report.captures.empty()) {
    if (report.captures.size() <= kListedFiles)
      h += listed("The capture files", report.captures);
    else
      h += "<p class=\"note\">Over " + std::to_string(kListedFiles) +
           " capture files: the terminal report lists each with its SHA-256.</p>\n";
  }
  return h;
}

}  // namespace

std::string htmlPage(const Report& report, std::string_view chartLibrary) {
  std::string h = pageHead(report) + summarySection(report) + chartsSection(report) + delaysSection(report) +
                  callsSection(report) + rttSection(report) + clocksSection(report) + problemsSection(report) +
                  filesSection(report);
  h += "<script type=\"application/json\" id=\"report-data\">" + pageData(report) + "</script>\n<script>";
  // The library is inlined as it is; only a closing script tag inside it would end the element early.
  std::string library(chartLibrary);
  for (std::size_t at = 0; (at = library.find("</script", at)) != std::string::npos; at += 2)
    library.replace(at, 2, "<\\/");
  h += library;
  h += "</script>\n<script>";
  h += kScript;
  h += "</script>\n</body>\n</html>\n";
  return h;
}

std::string comparePage(const std::vector<ComparedRun>& runs, const std::string& nameA, const std::string& nameB,
                        const std::vector<ConditionComparison>& rows, const std::string& version,
                        const std::string& commandLine) {
  std::string h;
  h += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
       "<title>Field test comparison</title>\n<style>";
  h += kStyle;
  h += "</style>\n</head>\n<body>\n<h1>Field test comparison</h1>\n";
  h += "<p class=\"note\">A: <code>" + escapeHtml(nameA) + "</code>; B: <code>" + escapeHtml(nameB) +
       "</code>. Written by fieldreport " + escapeHtml(version) + ": <code>" + escapeHtml(commandLine) +
       "</code></p>\n";
  for (const ComparedRun& run : runs) {
    const Report& r = *run.report;
    h += "<p class=\"note\">" + escapeHtml(run.name) + ": " +
         withThousands(static_cast<long long>(r.captures.size())) + " capture files (their list as "
         "<code>sha256sum</code> prints it has SHA-256 <code>" +
         sha256Hex(captureManifest(r)) + "</code>), " + withThousands(static_cast<long long>(r.records.size())) +
         " records scored in " + withThousands(static_cast<long long>(r.calls.size())) + " calls";
    h += r.skipped.empty() ? std::string(".</p>\n")
                           : ", <span class=\"fail\">" + std::to_string(r.skipped.size()) +
                                 " not read or not scored</span> (run fieldreport on them alone for the list).</p>\n";
  }
  std::string by;
  const std::vector<std::string>& fields = runs.empty() ? std::vector<std::string>() : runs[0].report->byFields;
  const std::size_t valueCount = rows.empty() ? 0 : rows[0].values.size();
  h += "<h2 id=\"comparison\">B against A by condition</h2>\n<p class=\"note\">Rates pooled over each side's "
       "calls, per cent; B &minus; A in points with its 95 % interval, which allows for errors in runs, calls "
       "that differ and, over several days, days that differ.</p>\n<table id=\"compare-table\">\n<tr>";
  // The condition's fields: those of the runs less the one compared, when the sides are two values of it.
  for (std::size_t f = 0; f < valueCount; ++f)
    h += "<th>" + escapeHtml(f < fields.size() ? fields[f] : "") + "</th>";
  h += "<th>Calls A</th><th>Calls B</th><th>PCER A</th><th>PCER B</th><th>PCER B &minus; A<br><small>95 % "
       "interval</small></th><th>CER A</th><th>CER B</th><th>CER B &minus; A<br><small>95 % "
       "interval</small></th><th>Verdict</th></tr>\n";
  for (const ConditionComparison& c : rows) {
    const bool hasA = c.verdict != CompareVerdict::OnlyInB, hasB = c.verdict != CompareVerdict::OnlyInA;
    h += "<tr>";
    for (const auto& v : c.values) h += "<td>" + escapeHtml(v.empty() ? "-" : cp1252ToUtf8(v)) + "</td>";
    h += "<td class=\"n\">" + (hasA ? std::to_string(c.callsA) : "-") + "</td><td class=\"n\">" +
         (hasB ? std::to_string(c.callsB) : "-") + "</td>";
    for (const RateComparison* rc : {&c.pcer, &c.cer}) {
      h += "<td class=\"n\">" + (hasA ? twoDecimals(rc->a) : "-") + "</td><td class=\"n\">" +
           (hasB ? twoDecimals(rc->b) : "-") + "</td>";
      h += hasA && hasB ? "<td class=\"rate\">" + twoDecimals(rc->diff) + "<small>" + twoDecimals(rc->low) +
                              " &ndash; " + twoDecimals(rc->high) + "</small></td>"
                        : "<td class=\"n\">-</td>";
    }
    const char* mark = c.verdict == CompareVerdict::Worse    ? "fail"
                       : c.verdict == CompareVerdict::Better ? "pass"
                                                             : "undetermined";
    h += c.verdict == CompareVerdict::OnlyInA || c.verdict == CompareVerdict::OnlyInB
             ? "<td>" + escapeHtml(compareVerdictText(c)) + "</td></tr>\n"
             : std::string("<td class=\"verdict\"><span class=\"") + mark + "\">" +
                   escapeHtml(compareVerdictText(c)) + "</span></td></tr>\n";
  }
  h += "</table>\n<p class=\"note\">A verdict needs a difference's interval wholly on one side of 0, in PCER "
       "or CER; &ldquo;could have missed&rdquo; is the smallest rise these calls would likely (80 %) have "
       "shown. A condition on one side only has no verdict.</p>\n</body>\n</html>\n";
  return h;
}

}  // namespace fieldreport
