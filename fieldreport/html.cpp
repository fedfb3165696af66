// The report as one self-contained web page. The tables are written here; the charts are drawn
// by the inlined chart library from the figures, which the page carries as JSON.
#include <algorithm>
#include <cstdio>

#include "outputs.h"

namespace fieldreport {
namespace {

using fieldtext::cp1252ToUtf8;

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

std::string number(double value) {
  return twoDecimals(value);
}

std::string value(const ScoredRecord& r, const char* key) {
  const std::string* v = r.record.value(key);
  return v ? cp1252ToUtf8(*v) : "";
}

// A condition's label for a chart axis: one line for each value, long values broken at spaces.
std::string groupLabel(const Group& g) {
  std::string lines;
  for (const auto& v : g.values) {
    std::string text = v.empty() ? "-" : cp1252ToUtf8(v), line;
    std::size_t from = 0;
    while (from <= text.size()) {
      const std::size_t space = std::min(text.find(' ', from), text.size());
      const std::string word = text.substr(from, space - from);
      if (!line.empty() && line.size() + 1 + word.size() > 24) {
        lines += (lines.empty() ? "" : ",") + json(line);
        line.clear();
      }
      line += (line.empty() ? "" : " ") + word;
      from = space + 1;
    }
    lines += (lines.empty() ? "" : ",") + json(line);
  }
  return "[" + lines + "]";
}

std::string fileName(const std::string& file) {
  const std::size_t slash = file.find_last_of('/');
  return slash == std::string::npos ? file : file.substr(slash + 1);
}

// The figures the charts are drawn from.
std::string chartData(const Report& report) {
  std::vector<std::size_t> groupOf(report.records.size(), 0);
  for (std::size_t g = 0; g < report.groups.size(); ++g)
    for (std::size_t i : report.groups[g].records) groupOf[i] = g;
  std::vector<std::size_t> callOf(report.records.size(), 0);
  for (std::size_t c = 0; c < report.calls.size(); ++c)
    for (std::size_t i : report.calls[c].records) callOf[i] = c;

  std::string out = "{\"rates\":[";
  for (std::size_t r = 0; r < kRates.size(); ++r) out += (r ? "," : "") + json(rateName(kRates[r]));
  out += "],\"limits\":[";
  for (std::size_t l = 0; l < report.limits.size(); ++l)
    out += std::string(l ? "," : "") + "{\"rate\":" + json(rateName(report.limits[l].rate)) +
           ",\"percent\":" + number(report.limits[l].percent) + "}";
  out += "],\"groups\":[";
  for (std::size_t g = 0; g < report.groups.size(); ++g) {
    const Group& group = report.groups[g];
    const Sums& s = group.sums;
    const double counted = s.pcerTotal > 0 ? static_cast<double>(s.pcerTotal) : 1.0;
    out += std::string(g ? "," : "") + "{\"label\":" + groupLabel(group) +
           ",\"calls\":" + std::to_string(group.calls) + ",\"rate\":[";
    for (std::size_t r = 0; r < kRates.size(); ++r) out += (r ? "," : "") + number(s.rate(kRates[r]));
    out += "],\"interval\":[";
    for (std::size_t r = 0; r < kRates.size(); ++r)
      out += std::string(r ? "," : "") + "[" + number(group.intervals[r].low) + "," +
             number(group.intervals[r].high) + "]";
    out += "],\"missed\":" + number(100.0 * static_cast<double>(s.missed) / counted) +
           ",\"changed\":" + number(100.0 * static_cast<double>(s.changed) / counted) +
           ",\"added\":" + number(100.0 * static_cast<double>(s.added) / counted) + "}";
  }
  out += "],\"records\":[";
  for (std::size_t i = 0; i < report.records.size(); ++i) {
    const ScoredRecord& r = report.records[i];
    const Figures& f = r.figures;
    out += std::string(i ? "," : "") +
           "{\"name\":" + json(fileName(r.file) + ":" + std::to_string(r.record.number)) +
           ",\"call\":" + std::to_string(callOf[i] + 1) + ",\"group\":" + std::to_string(groupOf[i]) +
           ",\"rate\":[" + number(f.pcerRate) + "," + number(f.ccerRate) + "," + number(f.tcerRate) + "," +
           number(f.cerRate) + "],\"verdict\":" + json(verdictName(r.verdict)) + "}";
  }
  return out + "]}";
}

const char kStyle[] = R"CSS(
body { font-family: "DejaVu Sans", Verdana, sans-serif; margin: 2em auto; max-width: 78em; padding: 0 1em;
       color: #1d2430; line-height: 1.4; }
h1 { font-size: 1.6em; margin-bottom: 0.2em; }
h2 { font-size: 1.2em; margin-top: 2em; border-bottom: 1px solid #c8ced8; padding-bottom: 0.2em; }
p.note { color: #4a5568; margin-top: 0.3em; }
table { border-collapse: collapse; margin: 0.5em 0; font-size: 0.9em; }
th, td { padding: 0.25em 0.6em; border-bottom: 1px solid #e2e6ec; text-align: left; vertical-align: top; }
th { background: #f1f4f8; }
td.n { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
tr.first td { border-top: 2px solid #c8ced8; }
.pass { color: #1b7a3a; font-weight: bold; }
.fail { color: #b42318; font-weight: bold; }
.incomplete { color: #9a6700; font-weight: bold; }
.charts { display: grid; grid-template-columns: repeat(auto-fit, minmax(34em, 1fr)); gap: 1.5em; }
.chart { position: relative; height: 20em; }
.chart.tall { height: var(--tall); }
)CSS";

// Builds the charts from the page's figures. Only the chart library draws.
const char kCharts[] = R"JS(
(function () {
  var data = JSON.parse(document.getElementById('report-data').textContent);
  Chart.defaults.animation = false;
  Chart.defaults.font.family = '"DejaVu Sans", Verdana, sans-serif';
  Chart.defaults.maintainAspectRatio = false;
  var colours = { PCER: '#2b6cb0', CCER: '#805ad5', TCER: '#2f855a', CER: '#c05621' };
  var verdictColours = { pass: '#1b7a3a', fail: '#b42318', incomplete: '#d69e2e' };
  // Conditions down the side, one line of the label for each field.
  var labels = data.groups.map(function (g) { return g.label; });
  var made = 0;
  function chart(id, config) {
    new Chart(document.getElementById(id), config);
    made++;
  }
  function limitOf(rate) {
    for (var i = 0; i < data.limits.length; i++) if (data.limits[i].rate === rate) return data.limits[i].percent;
    return null;
  }
  function percentAxis(title) {
    return { beginAtZero: true, title: { display: true, text: title } };
  }

  data.rates.forEach(function (rate, r) {
    var datasets = [
      { type: 'line', label: 'pooled ' + rate, data: data.groups.map(function (g) { return g.rate[r]; }),
        showLine: false, pointRadius: 6, pointStyle: 'rectRot', backgroundColor: colours[rate], borderColor: '#1d2430' },
      { type: 'bar', label: '95 % interval over calls', data: data.groups.map(function (g) { return g.interval[r]; }),
        backgroundColor: colours[rate] + '44', borderColor: colours[rate], borderWidth: 1, minBarLength: 3,
        barPercentage: 0.6 }
    ];
    var limit = limitOf(rate);
    if (limit !== null) {
      datasets.push({ type: 'line', label: 'limit ' + limit.toFixed(2) + ' %', data: data.groups.map(function () { return limit; }),
                      borderColor: '#b42318', borderDash: [6, 4], pointRadius: 0, borderWidth: 1.5 });
    }
    chart('rate-' + rate, {
      type: 'bar',
      data: { labels: labels, datasets: datasets },
      options: { indexAxis: 'y', plugins: { title: { display: true, text: rate + ' by condition' } },
                 scales: { x: percentAxis(rate + ' (%)') } }
    });
  });

  var spread = ['pass', 'fail', 'incomplete'].map(function (verdict) {
    return {
      label: verdict,
      backgroundColor: verdictColours[verdict],
      data: data.records.filter(function (rec) { return rec.verdict === verdict; }).map(function (rec) {
        // Spread the points of a condition a little, the same way every time.
        var jitter = ((rec.call * 37) % 21 - 10) / 50;
        return { x: rec.rate[0], y: rec.group + jitter, name: rec.name };
      })
    };
  });
  chart('spread', {
    type: 'scatter',
    data: { datasets: spread },
    options: {
      plugins: { title: { display: true, text: 'PCER of each call direction, by condition' },
                 tooltip: { callbacks: { label: function (c) { return c.raw.name + ': ' + c.raw.x.toFixed(2) + ' %'; } } } },
      scales: {
        x: percentAxis('PCER (%)'),
        y: { type: 'linear', reverse: true, min: -0.5, max: labels.length - 0.5,
             afterBuildTicks: function (axis) { axis.ticks = labels.map(function (l, i) { return { value: i }; }); },
             ticks: { autoSkip: false, callback: function (v) { return labels[v]; } } }
      }
    }
  });

  chart('kinds', {
    type: 'bar',
    data: { labels: labels, datasets: [
      { label: 'missed', data: data.groups.map(function (g) { return g.missed; }), backgroundColor: '#c05621' },
      { label: 'changed', data: data.groups.map(function (g) { return g.changed; }), backgroundColor: '#2b6cb0' },
      { label: 'added', data: data.groups.map(function (g) { return g.added; }), backgroundColor: '#a0aec0' }
    ] },
    options: { indexAxis: 'y',
               plugins: { title: { display: true, text: 'Missed, changed and added characters per 100 counted' } },
               scales: { y: { stacked: true }, x: Object.assign(percentAxis('per 100 characters'), { stacked: true }) } }
  });

  var top = 1;
  data.records.forEach(function (rec) { top = Math.max(top, rec.rate[0], rec.rate[2]); });
  chart('shifts', {
    type: 'scatter',
    data: { datasets: [
      { label: 'call direction', backgroundColor: '#2f855a',
        data: data.records.map(function (rec) { return { x: rec.rate[0], y: rec.rate[2], name: rec.name }; }) },
      { type: 'line', label: 'TCER = PCER', data: [{ x: 0, y: 0 }, { x: top, y: top }],
        borderColor: '#a0aec0', borderDash: [4, 4], pointRadius: 0, borderWidth: 1 }
    ] },
    options: {
      plugins: { title: { display: true, text: 'Lost shifts: TCER against PCER' },
                 tooltip: { callbacks: { label: function (c) { return c.raw.name ? c.raw.name + ': PCER ' + c.raw.x.toFixed(2) + ', TCER ' + c.raw.y.toFixed(2) : ''; } } } },
      scales: { x: Object.assign(percentAxis('PCER (%)'), { type: 'linear', suggestedMax: top }),
                y: Object.assign(percentAxis('TCER (%)'), { suggestedMax: top }) }
    }
  });

  document.body.setAttribute('data-charts', String(made));
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

std::string verdictCell(Verdict v) {
  return std::string("<td class=\"") + verdictName(v) + "\">" + verdictName(v) + "</td>";
}

}  // namespace

std::string htmlPage(const Report& report, std::string_view chartLibrary) {
  std::string by;
  for (const auto& f : report.byFields) by += (by.empty() ? "" : ", ") + f;
  std::string limits;
  for (const Limit& l : report.limits)
    limits += std::string(limits.empty() ? "" : " and ") + rateName(l.rate) + " below " +
              twoDecimals(l.percent) + " %";

  std::string h;
  h += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
       "<title>Field test report</title>\n<style>";
  h += kStyle;
  h += "</style>\n</head>\n<body>\n<script>";
  h += kErrorWatch;
  h += "</script>\n<h1>Field test report</h1>\n<p class=\"note\">";
  h += std::to_string(report.files) + " capture file" + (report.files == 1 ? "" : "s") + ", " +
       std::to_string(report.records.size()) + " records scored in " + std::to_string(report.calls.size()) +
       " calls, " + std::to_string(report.skipped.size()) + " not scored. A call passes with " +
       escapeHtml(limits.empty() ? std::string("no rate limit") : limits) +
       " in each direction and at least " + twoDecimals(kCompleteCoverage) +
       " % of the far end's text counted; otherwise it is incomplete. Each direction is the far end's turns "
       "of "
       "the script" +
       (report.handTyped ? " (typed by hand, lines joined)" : "") +
       " against what the capture received after its RECD marks.</p>\n";

  h += "<h2 id=\"summary\">Summary by " + escapeHtml(by) + "</h2>\n";
  h += "<p class=\"note\">Rates pooled over the group's characters (from the summed counts); the 95 % "
       "interval "
       "resamples whole calls, since errors come in bursts within a call.</p>\n<table>\n<tr>";
  for (const auto& f : report.byFields) h += "<th>" + escapeHtml(f) + "</th>";
  h += "<th>Calls</th><th>Incomplete</th><th>Passes</th><th>Coverage</th>";
  for (Rate rate : kRates) h += std::string("<th>") + rateName(rate) + "</th><th>95 % interval</th>";
  h += "</tr>\n";
  for (const Group& g : report.groups) {
    h += "<tr>";
    for (const auto& v : g.values) h += "<td>" + escapeHtml(v.empty() ? "-" : cp1252ToUtf8(v)) + "</td>";
    h += "<td class=\"n\">" + std::to_string(g.calls) + "</td><td class=\"n\">" +
         std::to_string(g.incomplete) + "</td><td class=\"n\">" + std::to_string(g.passes) +
         "</td><td class=\"n\">" + twoDecimals(g.sums.coverage()) + "</td>";
    for (std::size_t r = 0; r < kRates.size(); ++r)
      h += "<td class=\"n\">" + twoDecimals(g.sums.rate(kRates[r])) + "</td><td class=\"n\">" +
           twoDecimals(g.intervals[r].low) + " &ndash; " + twoDecimals(g.intervals[r].high) + "</td>";
    h += "</tr>\n";
  }
  h += "</table>\n";

  // Charts with a row for each condition grow with them.
  const std::string tall = "<div class=\"chart tall\" style=\"--tall: " +
                           std::to_string(std::max<std::size_t>(20, 6 + 4 * report.groups.size())) + "em\">";
  h += "<h2 id=\"rates\">Rates by condition</h2>\n<p class=\"note\">The pooled rate of each condition "
       "(diamond) and its "
       "95 % interval (bar).</p>\n<div class=\"charts\">\n";
  for (Rate rate : kRates) h += tall + "<canvas id=\"rate-" + rateName(rate) + "\"></canvas></div>\n";
  h += "</div>\n<h2 id=\"spread-of-calls\">Spread of the calls</h2>\n<div class=\"charts\">\n" + tall +
       "<canvas id=\"spread\"></canvas></div>\n</div>\n";
  h += "<h2 id=\"kinds-of-errors\">Kinds of errors</h2>\n<p class=\"note\">Score's plain counts per 100 "
       "master characters counted. A "
       "lost shift code garbles a run of characters that PCER counts one by one and TCER counts once: calls "
       "far "
       "below the diagonal lost most of their text to shifts.</p>\n<div class=\"charts\">\n" +
       tall + "<canvas id=\"kinds\"></canvas></div>\n" + tall +
       "<canvas id=\"shifts\"></canvas></div>\n</div>\n\n";

  h += "<h2 id=\"calls\">Calls</h2>\n<table>\n<tr><th>Call</th><th>Started</th><th>Capture</th><th>Record</"
       "th><th>Computer</th>"
       "<th>Direction</th><th>Device</th><th>Script</th><th>Coverage</th><th>PCER</th><th>CCER</th><th>TCER</"
       "th>"
       "<th>CER</th><th>Verdict</th><th>Call</th></tr>\n";
  for (std::size_t c = 0; c < report.calls.size(); ++c) {
    const Call& call = report.calls[c];
    for (std::size_t k = 0; k < call.records.size(); ++k) {
      const ScoredRecord& r = report.records[call.records[k]];
      const Figures& f = r.figures;
      h += std::string(k == 0 ? "<tr class=\"first\">" : "<tr>") + "<td class=\"n\">" +
           (k == 0 ? std::to_string(c + 1) : "") + "</td><td>" + escapeHtml(cp1252ToUtf8(r.record.started)) +
           "</td><td title=\"" + escapeHtml(r.file) + "\">" + escapeHtml(fileName(r.file)) +
           "</td><td class=\"n\">" + std::to_string(r.record.number) + "</td><td>" +
           escapeHtml(value(r, "COMPUTERID")) + "</td><td>" + escapeHtml(value(r, "DIRECTION")) +
           "</td><td>" + escapeHtml(value(r, "DEVICE")) + "</td><td title=\"" +
           escapeHtml(r.script ? r.script->path : "") + "\">" +
           escapeHtml(r.script ? fileName(r.script->path) : "") + "</td>";
      for (double v : {f.coverage, f.pcerRate, f.ccerRate, f.tcerRate, f.cerRate})
        h += "<td class=\"n\">" + twoDecimals(v) + "</td>";
      h += verdictCell(r.verdict) + (k == 0 ? verdictCell(call.verdict) : "<td></td>") + "</tr>\n";
    }
  }
  h += "</table>\n";

  h += "<h2 id=\"not-scored-records\">Not scored</h2>\n";
  if (report.skipped.empty()) {
    h += "<p class=\"note\">Every record was scored.</p>\n";
  } else {
    h += "<table id=\"not-scored\">\n<tr><th>Capture</th><th>Record</th><th>Reason</th></tr>\n";
    for (const Skipped& s : report.skipped)
      h += "<tr><td title=\"" + escapeHtml(s.file) + "\">" + escapeHtml(fileName(s.file)) +
           "</td><td class=\"n\">" + (s.record ? std::to_string(s.record) : "whole file") + "</td><td>" +
           escapeHtml(s.reason) + "</td></tr>\n";
    h += "</table>\n";
  }

  h += "<script type=\"application/json\" id=\"report-data\">" + chartData(report) + "</script>\n<script>";
  // The library is inlined as it is; only a closing script tag inside it would end the element early.
  std::string library(chartLibrary);
  for (std::size_t at = 0; (at = library.find("</script", at)) != std::string::npos; at += 2)
    library.replace(at, 2, "<\\/");
  h += library;
  h += "</script>\n<script>";
  h += kCharts;
  h += "</script>\n</body>\n</html>\n";
  return h;
}

}  // namespace fieldreport
