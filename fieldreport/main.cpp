// fieldreport: from a day's capture files to the figures a lab reports.
//
// Every call record of the capture files given (folders are searched for *.TXT) is scored in the
// direction it received: the far end's turns of its script against the text after the "RECD: "
// marks, with score's and cerscore's algorithms in process. The two ends' records of one call are
// shown as one call; the summary pools the rates by test condition. Nothing read is ever written.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "calls.h"
#include "output_file.h"
#include "outputs.h"
#include "report.h"
#include "scoring.h"
#include "summary.h"

#ifndef FIELDREPORT_CHART_JS
#define FIELDREPORT_CHART_JS "/usr/share/javascript/chart.js/chart.min.js"
#endif

namespace {

namespace fs = std::filesystem;
using namespace fieldreport;

const char kUsage[] =
    "usage: fieldreport [options] CAPTURE-OR-FOLDER...\n"
    "Scores every call record of the capture files (folders are searched for *.TXT) in the\n"
    "direction it received, with score's and cerscore's rates, per call and by condition.\n"
    "  --script FILE      score every record against this script (else each record's SCRIPTUSED)\n"
    "  --scripts DIR      look for the scripts records name by their file name in DIR\n"
    "  --hand-typed       the far end typed its turns by hand: a turn's lines joined with nothing\n"
    "  --by FIELDS        group the summary by these record fields (default TYPE,DEVICE,SIGNAL)\n"
    "  --limit RATE=PCT   a call passes when RATE (PCER, CCER, TCER or CER) is below PCT per cent\n"
    "                     in each direction; repeat for several (default PCER=1.0)\n"
    "  --csv FILE         write one row per scored record\n"
    "  --html FILE        write the report as one web page that opens offline\n"
    "  --texts DIR        write the two texts each record was scored on, for the scorers\n"
    "  --jobs N           score on N threads (default: one per core)\n"
    "  --version          show the version\n"
    "Exit status: 0 when every record was scored, 2 when some were not, 1 after a usage error or\n"
    "when an output could not be written.\n";

struct Options {
  std::vector<std::string> inputs;
  std::optional<fs::path> script, scripts, csv, html, texts;
  bool handTyped = false;
  std::vector<std::string> by = {"TYPE", "DEVICE", "SIGNAL"};
  std::vector<Limit> limits;
  unsigned jobs = 0;
};

[[noreturn]] void usageError(const std::string& message) {
  std::fprintf(stderr, "fieldreport: %s\n%s", message.c_str(), kUsage);
  std::exit(1);
}

[[noreturn]] void fatal(const std::string& message) {
  std::fprintf(stderr, "fieldreport: %s\n", message.c_str());
  std::exit(1);
}

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> items;
  std::size_t from = 0;
  while (from <= text.size()) {
    const std::size_t comma = std::min(text.find(',', from), text.size());
    std::string item = text.substr(from, comma - from);
    while (!item.empty() && item.back() == ' ') item.pop_back();
    while (!item.empty() && item.front() == ' ') item.erase(0, 1);
    if (!item.empty()) items.push_back(item);
    from = comma + 1;
  }
  return items;
}

Options parseOptions(int argc, char** argv) {
  Options o;
  bool limitsGiven = false;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      o.inputs.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (arg == "--version") {
      std::puts("fieldreport (TTY field-test kit) " KIT_VERSION);
      std::exit(0);
    }
    if (arg == "--hand-typed") {
      o.handTyped = true;
      continue;
    }
    // Options with a value: "--csv FILE" or "--csv=FILE".
    std::string name = arg, value;
    if (const std::size_t eq = arg.find('='); eq != std::string::npos && arg.starts_with("--")) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    } else {
      if (i + 1 >= argc) usageError(arg + " needs a value");
      value = argv[++i];
    }
    if (name == "--script") {
      o.script = value;
    } else if (name == "--scripts") {
      o.scripts = value;
    } else if (name == "--csv") {
      o.csv = value;
    } else if (name == "--html") {
      o.html = value;
    } else if (name == "--texts") {
      o.texts = value;
    } else if (name == "--by") {
      o.by = splitList(value);
      if (o.by.empty()) usageError("--by needs at least one field, such as TYPE,DEVICE,SIGNAL");
      for (auto& f : o.by) f = fieldKey(f);
    } else if (name == "--limit") {
      const std::size_t eq = value.find('=');
      const auto rate = eq == std::string::npos ? std::nullopt : rateNamed(value.substr(0, eq));
      char* end = nullptr;
      const std::string pct = eq == std::string::npos ? "" : value.substr(eq + 1);
      const double percent = std::strtod(pct.c_str(), &end);
      if (!rate || pct.empty() || end != pct.c_str() + pct.size() || !(percent >= 0 && percent <= 1000))
        usageError("--limit takes RATE=PCT with RATE one of PCER, CCER, TCER, CER (not \"" + value + "\")");
      if (!limitsGiven) o.limits.clear();
      limitsGiven = true;
      o.limits.push_back({*rate, percent});
    } else if (name == "--jobs") {
      char* end = nullptr;
      const long jobs = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || jobs < 1 || jobs > 256)
        usageError("--jobs takes a number from 1 to 256");
      o.jobs = static_cast<unsigned>(jobs);
    } else {
      usageError("unknown option " + arg);
    }
  }
  if (!limitsGiven) o.limits = {Limit{Rate::Pcer, 1.0}};
  if (o.inputs.empty()) usageError("no capture file or folder given");
  if (o.jobs == 0) o.jobs = std::max(1u, std::thread::hardware_concurrency());
  return o;
}

bool readWhole(const fs::path& path, std::string& bytes, std::string& why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    why = "cannot read";
    return false;
  }
  return true;
}

bool isCaptureName(const fs::path& path) {
  std::string ext = path.extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".txt";
}

// A capture file to read, or an argument that names none.
struct Input {
  std::string path;
  std::string problem;    // empty for a file to read
  bool searched = false;  // found in a folder rather than named
};

// The capture files named on the command line and found in its folders, each file once, in the
// order of the arguments.
std::vector<Input> captureFiles(const Options& o) {
  std::vector<Input> inputs;
  std::set<std::pair<dev_t, ino_t>> seen;
  auto take = [&](const fs::path& path, bool searched) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && !seen.insert({info.st_dev, info.st_ino}).second) return;
    inputs.push_back({path.string(), "", searched});
  };
  for (const std::string& input : o.inputs) {
    std::error_code ec;
    const fs::file_status status = fs::status(input, ec);
    if (fs::is_directory(status)) {
      std::vector<fs::path> found;
      fs::recursive_directory_iterator it(input, fs::directory_options::skip_permission_denied, ec), end;
      for (; !ec && it != end; it.increment(ec)) {
        std::error_code fileEc;
        if (it->is_regular_file(fileEc) && isCaptureName(it->path())) found.push_back(it->path());
      }
      std::sort(found.begin(), found.end());
      for (const auto& f : found) take(f, true);
      if (ec) inputs.push_back({input, "cannot search the folder: " + ec.message()});
    } else if (fs::exists(status)) {
      take(input, false);
    } else {
      inputs.push_back({input, "no such file or folder"});
    }
  }
  return inputs;
}

// A record waiting to be scored, with the texts it is scored on.
struct Pending {
  ScoredRecord scored;
  Texts texts;
};

// Runs f(0) .. f(n - 1) on `jobs` threads, each taking the next index as it becomes free.
template <typename F>
void parallelFor(std::size_t n, unsigned jobs, F f) {
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i; (i = next++) < n;) f(i);
  };
  const unsigned threads = static_cast<unsigned>(std::min<std::size_t>(jobs, n));
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (auto& t : pool) t.join();
}

// A capture file as read: its records, or why it could not be read.
struct ReadFile {
  bool ok = false;
  std::string why;
  fieldtext::Capture capture;
};

// Where --texts puts a record's two texts: <capture name>-<record>-reference.txt and -received.txt.
std::vector<std::pair<fs::path, fs::path>> textFiles(const fs::path& folder,
                                                     const std::vector<Pending>& pending) {
  std::vector<std::pair<fs::path, fs::path>> names;
  std::set<std::string> used;
  for (const Pending& p : pending) {
    std::string base = fs::path(p.scored.file).stem().string() + "-" + std::to_string(p.scored.record.number);
    for (int n = 2; !used.insert(base).second; ++n)
      base = fs::path(p.scored.file).stem().string() + "." + std::to_string(n) + "-" +
             std::to_string(p.scored.record.number);
    names.emplace_back(folder / (base + "-reference.txt"), folder / (base + "-received.txt"));
  }
  return names;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parseOptions(argc, argv);

  // Problems that would make the whole run useless are found before any work.
  std::string chartLibrary;
  if (o.html) {
    const char* env = std::getenv("FIELDREPORT_CHART_JS");
    const fs::path library = env && *env ? env : FIELDREPORT_CHART_JS;
    std::string why;
    if (!readWhole(library, chartLibrary, why) || chartLibrary.empty())
      fatal("--html needs the chart library " + library.string() +
            " (Debian package libjs-chart.js): " + (why.empty() ? "empty file" : why));
  }
  for (const auto& out : {o.csv, o.html}) {
    if (!out) continue;
    const fs::path folder = out->parent_path().empty() ? fs::path(".") : out->parent_path();
    if (!fs::is_directory(folder)) fatal("cannot write " + out->string() + ": no folder " + folder.string());
  }
  if (o.texts) {
    std::error_code ec;
    fs::create_directories(*o.texts, ec);
    if (!fs::is_directory(*o.texts)) fatal("cannot make the folder " + o.texts->string() + " for --texts");
  }
  if (o.script && !fs::is_regular_file(*o.script)) fatal("cannot read script " + o.script->string());
  if (o.scripts && !fs::is_directory(*o.scripts)) fatal("no scripts folder " + o.scripts->string());

  Report report;
  report.byFields = o.by;
  report.limits = o.limits;
  report.handTyped = o.handTyped;

  std::vector<std::string> files;
  // Files found in a folder that hold no record: they may turn out to be the scripts.
  std::vector<std::size_t> noRecords;
  ScriptFinder finder(o.script, o.scripts);
  std::vector<Pending> pending;
  const std::vector<Input> found = captureFiles(o);
  std::vector<ReadFile> read(found.size());
  parallelFor(found.size(), o.jobs, [&](std::size_t i) {
    if (!found[i].problem.empty()) return;
    std::string bytes;
    read[i].ok = readWhole(found[i].path, bytes, read[i].why);
    if (read[i].ok) read[i].capture = fieldtext::readCapture(bytes);
  });
  for (std::size_t in = 0; in < found.size(); ++in) {
    const Input& input = found[in];
    if (!input.problem.empty()) {
      report.skipped.push_back({input.path, 0, input.problem});
      continue;
    }
    const std::string& file = input.path;
    files.push_back(file);
    std::string why;
    if (!read[in].ok) {
      report.skipped.push_back({file, 0, read[in].why});
      continue;
    }
    fieldtext::Capture& capture = read[in].capture;
    if (!capture.problem.empty()) {
      if (input.searched) noRecords.push_back(report.skipped.size());
      report.skipped.push_back({file, 0, capture.problem});
      continue;
    }
    // Records and broken records, in file order.
    std::size_t b = 0;
    auto brokenUpTo = [&](int number) {
      for (; b < capture.broken.size() && capture.broken[b].number < number; ++b)
        report.skipped.push_back({file, capture.broken[b].number, capture.broken[b].reason});
    };
    for (fieldtext::Record& record : capture.records) {
      brokenUpTo(record.number);
      const auto side = fieldreport::farEndSide(record);
      if (!side) {
        const std::string* direction = record.value("DIRECTION");
        report.skipped.push_back({file, record.number,
                                  direction
                                      ? "DIRECTION \"" + fieldtext::cp1252ToUtf8(*direction) +
                                            "\" names neither side (\"Incoming Call\" or \"Outgoing Call\")"
                                      : "the record has no DIRECTION line"});
        continue;
      }
      const std::string* used = record.value("SCRIPTUSED");
      const Script* script = finder.find(used ? *used : "", fs::path(file).parent_path(), why);
      if (!script) {
        report.skipped.push_back({file, record.number, fieldtext::cp1252ToUtf8(why)});
        continue;
      }
      Texts texts = textsOf(record, *script, *side, o.handTyped);
      if (texts.reference.empty()) {
        report.skipped.push_back(
            {file, record.number, "the script " + script->path + " has no turns for the far end"});
        continue;
      }
      if (auto refused = scoreRefuses(texts.reference, texts.received)) {
        report.skipped.push_back({file, record.number, *refused});
        continue;
      }
      Pending p;
      p.scored.file = file;
      p.scored.script = script;
      p.scored.farEnd = *side;
      p.scored.start = parseMoment(record.started);
      p.scored.record = std::move(record);
      p.texts = std::move(texts);
      pending.push_back(std::move(p));
    }
    brokenUpTo(1 << 30);
  }

  // No output may be an input: a capture file or a script read.
  std::vector<fs::path> inputs(files.begin(), files.end());
  const std::vector<fs::path> scripts = finder.filesRead();
  inputs.insert(inputs.end(), scripts.begin(), scripts.end());

  // A script kept beside the captures is no bad capture file.
  for (auto i = noRecords.rbegin(); i != noRecords.rend(); ++i) {
    const std::string file = report.skipped[*i].file;
    if (isOneOf(file, scripts)) {
      report.skipped.erase(report.skipped.begin() + static_cast<std::ptrdiff_t>(*i));
      files.erase(std::find(files.begin(), files.end(), file));
    }
  }
  report.files = static_cast<int>(files.size());
  std::vector<std::pair<fs::path, fs::path>> texts;
  if (o.texts) texts = textFiles(*o.texts, pending);
  for (const auto& out : {o.csv, o.html})
    if (out && isOneOf(*out, inputs)) fatal("will not write " + out->string() + ": it is one of the inputs");
  for (const auto& [ref, rec] : texts)
    for (const auto& out : {ref, rec})
      if (isOneOf(out, inputs)) fatal("will not write " + out.string() + ": it is one of the inputs");

  for (const Skipped& s : report.skipped) {
    if (s.record)
      std::fprintf(stderr, "fieldreport: %s: record %d: %s\n", s.file.c_str(), s.record, s.reason.c_str());
    else
      std::fprintf(stderr, "fieldreport: %s: %s\n", s.file.c_str(), s.reason.c_str());
  }
  for (const std::string& field : o.by) {
    const bool anywhere = std::any_of(pending.begin(), pending.end(), [&](const Pending& p) {
      return p.scored.record.value(field) != nullptr;
    });
    if (!pending.empty() && !anywhere)
      std::fprintf(stderr, "fieldreport: no record has a %s line; --by groups them all under \"-\"\n",
                   field.c_str());
  }

  parallelFor(pending.size(), o.jobs, [&](std::size_t i) {
    pending[i].scored.figures = scoreTexts(pending[i].texts.reference, pending[i].texts.received);
  });

  int status = report.skipped.empty() ? 0 : 2;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    for (const auto& [path, text] : {std::pair{texts[i].first, &pending[i].texts.reference},
                                     std::pair{texts[i].second, &pending[i].texts.received}}) {
      const std::string why = writeAtomically(path, *text, false);
      if (!why.empty()) {
        std::fprintf(stderr, "fieldreport: cannot write %s: %s\n", path.c_str(), why.c_str());
        status = 1;
      }
    }
  }
  for (Pending& p : pending) {
    p.scored.verdict = verdictOf(p.scored.figures, o.limits);
    report.records.push_back(std::move(p.scored));
  }
  report.calls = pairCalls(report.records);
  report.groups = summarize(report.records, report.calls, o.by, o.jobs);

  auto write = [&](const std::optional<fs::path>& path, const std::string& bytes) {
    if (!path) return;
    const std::string why = writeAtomically(*path, bytes);
    if (!why.empty()) {
      std::fprintf(stderr, "fieldreport: cannot write %s: %s\n", path->c_str(), why.c_str());
      status = 1;
    }
  };
  write(o.csv, csvText(report));
  if (o.html) write(o.html, htmlPage(report, chartLibrary));

  const std::string table = terminalTable(report);
  std::fwrite(table.data(), 1, table.size(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "fieldreport: cannot write the report to standard output\n");
    status = 1;
  }
  return status;
}
