// SPDX-License-Identifier: Apache-2.0
#include "day.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <thread>
#include <unordered_map>

#include "calls.h"
#include "inputs.h"
#include "moments.h"
#include "output_file.h"
#include "scoring.h"
#include "sha256.h"
#include "summary.h"
#include "timing.h"
#include "trace_reader.h"
#include "verdict_report.h"

namespace fieldreport {

namespace fs = std::filesystem;

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

namespace {

// What stops the run, before anything is written.
[[noreturn]] void fatal(const std::string& message) { throw DayError(message); }

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

// A timing file beside a capture file, as read.
struct ReadTiming {
  std::string path;
  bool ok = false;
  std::string why;
  long long size = 0;
  std::string sha256;
  timing::TimingFile file;
};

// A capture file as read: its records, or why it could not be read; and its timing file.
struct ReadFile {
  bool ok = false;
  std::string why;
  long long size = 0;
  std::string sha256;
  fieldtext::Capture capture;
  std::optional<ReadTiming> timing;
  std::optional<rttmodem::trace::CallReport> trace;  // a wire trace read and judged
  std::string traceError;                            // or why it could not be read
};

// A record waiting to be scored, with the texts it is scored on.
struct Pending {
  ScoredRecord scored;
  Texts texts;
  std::optional<timing::RecordTimes> times;
  bool conversationCut = false;  // scored as incomplete whatever its figures
  std::string scoreFile;
};

// The names of a record's texts: <capture name>-<record>, and .2, .3 ... after the capture
// name when two captures of one name are read from different folders.
std::vector<std::string> textNames(const std::vector<Pending>& pending) {
  std::vector<std::string> names;
  std::set<std::string> used;
  for (const Pending& p : pending) {
    const std::string stem = fs::path(p.scored.file).stem().string(),
                      record = std::to_string(p.scored.record.number);
    std::string base = stem + "-" + record;
    for (int n = 2; !used.insert(base).second; ++n) base = stem + "." + std::to_string(n) + "-" + record;
    names.push_back(base);
  }
  return names;
}

// The devices whose far end types the turns by hand: they cannot be driven by the program.
bool typedByHand(const std::string* device) {
  return device && (*device == "Ameriphone Q-90" || *device == "Ultratec Supercom");
}

// A timing file named on the command line goes with its capture file; it is no capture.
bool isTimingFile(const Input& input) {
  return input.problem.empty() && !input.searched && timing::isTimingName(input.path);
}

// A record of a capture file, whole or broken, before it is scored.
struct Item {
  fieldtext::Record record;
  std::string cut;
  bool conversationCut = false;
  bool orphan = false;  // broken, and no whole record of its file tells what it ran under
};

// The computer a capture file's name ends with (MMDD-HHMM-COMPUTERID.TXT); "" when it has none.
std::string computerOfName(const std::string& path) {
  const std::string stem = fs::path(path).stem().string();
  const std::size_t a = stem.find('-');
  const std::size_t b = a == std::string::npos ? a : stem.find('-', a + 1);
  return b == std::string::npos ? "" : stem.substr(b + 1);
}

}  // namespace

// The steps of a run, in order, and what they hand on to each other.
struct Day::Steps {
  explicit Steps(const DayOptions& options) : o(options), finder(o.script, o.scripts) {
    if (o.script) ownScripts.emplace(std::nullopt, o.scripts);
    report.version = o.version;
    report.commandLine = o.commandLine;
    report.byFields = o.by;
    report.limits = o.limits;
    report.handTyped = o.handTyped;
    report.delayLimit = o.delayLimit;
  }

  // Problems that would make the whole run useless are found before any work.
  void checkFirst() {
    for (const auto& out : {o.csv, o.summaryCsv, o.html, o.timingCsv}) {
      if (!out) continue;
      const fs::path folder = out->parent_path().empty() ? fs::path(".") : out->parent_path();
      if (!fs::is_directory(folder))
        fatal("cannot write " + out->string() + ": no folder " + folder.string());
    }
    if (o.texts) {
      // The texts folder is marked as such and never read: one that holds folders of captures given
      // would hide them.
      std::error_code ec;
      const fs::path texts = fs::weakly_canonical(*o.texts, ec);
      for (const std::string& input : o.inputs) {
        const fs::path in = fs::weakly_canonical(input, ec);
        if (ec || !fs::is_directory(in)) continue;
        const std::string relative = in.lexically_relative(texts).string();
        if (relative == "." || (!relative.empty() && !relative.starts_with("..")))
          fatal("will not write the texts into " + o.texts->string() + ": it holds the captures of " + input);
      }
      fs::create_directories(*o.texts, ec);
      if (!fs::is_directory(*o.texts))
        fatal("cannot make the folder " + o.texts->string() + " for the texts");
      // Marked first, so that not even this run reads it as captures.
      const std::string why =
          writeAtomically(*o.texts / kTextsMarker,
                          "Texts written by fieldreport. fieldreport never reads this folder "
                          "as capture files.\n",
                          false);
      if (!why.empty()) fatal("cannot write in " + o.texts->string() + ": " + why);
    }
    if (o.script && !fs::is_regular_file(*o.script)) fatal("cannot read script " + o.script->string());
    if (o.scripts && !fs::is_directory(*o.scripts)) fatal("no scripts folder " + o.scripts->string());
  }

  // Finds the capture files and reads each with its timing file.
  void readAll() {
    std::vector<std::string> outputFolders;
    found = findCaptures(o.inputs, outputFolders);
    for (const std::string& folder : outputFolders)
      report.notes.push_back({folder, 0, "a folder of texts written by fieldreport: not read as captures"});

    read.resize(found.size());
    parallelFor(found.size(), o.jobs, [&](std::size_t i) {
      if (!found[i].problem.empty() || !found[i].note.empty() || isTimingFile(found[i])) return;
      std::string bytes;
      read[i].ok = readWhole(found[i].path, bytes, read[i].why);
      if (!read[i].ok) return;
      read[i].size = static_cast<long long>(bytes.size());
      read[i].sha256 = sha256Hex(bytes);
      if (found[i].trace) {
        const rttmodem::trace::ReadResult result = rttmodem::trace::readTrace(bytes);
        if (result.trace)
          read[i].trace = rttmodem::trace::reportOf(found[i].path, result);
        else
          read[i].traceError = result.error;
        return;
      }
      read[i].capture = fieldtext::readCapture(bytes);
      // The times of its characters, when the program or ttysim kept them beside it.
      const std::string timingPath = timing::timingPathFor(found[i].path);
      std::error_code ec;
      if (!fs::exists(timingPath, ec)) return;
      ReadTiming& t = read[i].timing.emplace();
      t.path = timingPath;
      std::string timingBytes;
      t.ok = readWhole(timingPath, timingBytes, t.why);
      if (!t.ok) return;
      t.size = static_cast<long long>(timingBytes.size());
      t.sha256 = sha256Hex(timingBytes);
      t.file = timing::readTimingFile(timingBytes);
    });
  }

  // A real-time text call's wire trace, judged against the RTT rules when it was read.
  void collectTrace(std::size_t in) {
    const std::string& file = found[in].path;
    if (!read[in].ok) {
      report.skipped.push_back({file, 0, read[in].why, {}});
      return;
    }
    if (!read[in].trace) {
      report.skipped.push_back({file, 0, "a wire trace that cannot be read: " + read[in].traceError, {}});
      return;
    }
    report.traces.push_back({file, read[in].size, read[in].sha256});
    for (const std::string& warning : read[in].trace->warnings) report.notes.push_back({file, 0, warning});
    if (!read[in].trace->ended)
      report.notes.push_back({file, 0, "the trace of a call cut short (no end line): judged as far as it goes"});
    report.rttCalls.push_back(std::move(*read[in].trace));
  }

  // The records of one file found, each scored against its script later.
  void collectFile(std::size_t in) {
    const Input& input = found[in];
    if (!input.problem.empty()) {
      report.skipped.push_back({input.path, 0, input.problem, {}});
      return;
    }
    const std::string& file = input.path;
    if (!input.note.empty()) {
      report.notes.push_back({file, 0, input.note});
      return;
    }
    if (isTimingFile(input)) {
      report.notes.push_back({file, 0, "a timing file: read with its capture file, not as a capture"});
      return;
    }
    if (input.trace) return collectTrace(in);
    files.push_back(file);
    if (!read[in].ok) {
      report.skipped.push_back({file, 0, read[in].why, {}});
      return;
    }
    report.captures.push_back({file, read[in].size, read[in].sha256});
    fieldtext::Capture& capture = read[in].capture;
    if (!capture.problem.empty()) {
      if (input.searched) noRecords.push_back(report.skipped.size());
      report.skipped.push_back({file, 0, capture.problem, {}});
      return;
    }
    if (!capture.encoding.empty()) report.notes.push_back({file, 0, "read as " + capture.encoding});

    auto timesByStart = timesOf(file, read[in]);

    // Day and month order from the file's name, tried on its records' dates.
    DateOrder order = DateOrder::Unknown;
    if (const auto name = monthDayOfName(fs::path(file).filename().string())) {
      for (const auto& r : capture.records)
        if ((order = orderFromName(r.started, *name)) != DateOrder::Unknown) break;
    }

    std::vector<Item> items = itemsOf(file, capture);
    for (Item& item : items) {
      auto times = timesFor(item, timesByStart);
      if (item.orphan)
        orphans.push_back({file, std::move(item), std::move(times), pending.size()});
      else
        addRecord(file, item, order, std::move(times));
    }
    for (const auto& [started, left] : timesByStart)
      if (!left.empty())
        report.notes.push_back({file, 0,
                                "its timing file holds the times of " + std::to_string(left.size()) +
                                    (left.size() == 1 ? " call" : " calls") + " started at \"" +
                                    fieldtext::cp1252ToUtf8(started) + "\" with no record in it: left out"});
  }

  // A broken record alone in its file (one file per call minute: the usual case for a call broken
  // off) still counts in its condition: what it ran under is taken from the nearest call in time
  // of the same computer (named by the file), wherever that was saved; failing that, it is not
  // scored. It keeps its place among the records.
  void adoptOrphans() {
    std::vector<std::pair<std::size_t, Pending>> adopted;
    for (Orphan& orphan : orphans) {
      fieldtext::Record& r = orphan.item.record;
      const std::string computer = computerOfName(orphan.file);
      const auto name = monthDayOfName(fs::path(orphan.file).filename().string());
      const DateOrder order = name ? orderFromName(r.started, *name) : DateOrder::Unknown;
      const std::optional<long long> start = parseMoment(r.started, order);
      const Pending* donor = nullptr;
      long long nearest = 0;
      for (const Pending& p : pending) {
        if (!p.scored.cut.empty() || !p.scored.start || !start) continue;
        const std::string* id = p.scored.record.value("COMPUTERID");
        const bool same = computer.empty() ? fs::path(p.scored.file).parent_path() == fs::path(orphan.file).parent_path()
                                           : (id && *id == computer) || computerOfName(p.scored.file) == computer;
        if (!same) continue;
        const long long apart = std::llabs(*p.scored.start - *start);
        if (!donor || apart < nearest) {
          donor = &p;
          nearest = apart;
        }
      }
      if (!donor) {
        report.skipped.push_back(
            {orphan.file, r.number,
             orphan.item.cut + "; no whole record in the file or of its computer tells what it was scored against",
             r});
        continue;
      }
      // Its direction from its own conversation: who typed the script's first turn. The
      // computer's calls around it may have gone the other way.
      if (!r.value("DIRECTION")) {
        if (r.conversation.starts_with("SEND: ")) r.values.emplace_back("DIRECTION", "Incoming Call");
        if (r.conversation.starts_with("RECD: ")) r.values.emplace_back("DIRECTION", "Outgoing Call");
      }
      for (const auto& [key, value] : donor->scored.record.values)
        if (!r.value(key)) r.values.emplace_back(key, value);
      orphan.item.cut += std::string(orphan.item.conversationCut ? "; scored as incomplete" : "") +
                         "; its conditions taken from " + donor->scored.file + " record " +
                         std::to_string(donor->scored.record.number) + ", the nearest call of " +
                         (computer.empty() ? "its folder" : "computer " + fieldtext::cp1252ToUtf8(computer));
      report.notes.push_back({orphan.file, r.number, orphan.item.cut});
      const std::size_t before = pending.size();
      addRecord(orphan.file, orphan.item, order, std::move(orphan.times));
      if (pending.size() > before) {
        adopted.emplace_back(orphan.at, std::move(pending.back()));
        pending.pop_back();
      }
    }
    for (auto it = adopted.rbegin(); it != adopted.rend(); ++it)
      pending.insert(pending.begin() + static_cast<std::ptrdiff_t>(it->first), std::move(it->second));
    orphans.clear();
  }

  // Dates the file names did not settle: read in the order the computer's other files show,
  // else as written; one that cannot be read leaves its record unpaired.
  void settleDates() {
    for (Pending& p : pending) {
      const std::string* id = p.scored.record.value("COMPUTERID");
      const auto& known = orders[id ? *id : ""];
      const auto name = monthDayOfName(fs::path(p.scored.file).filename().string());
      const bool settled = name && orderFromName(p.scored.record.started, *name) != DateOrder::Unknown;
      if (!settled && known.size() == 1)
        p.scored.start = parseMoment(p.scored.record.started, known.begin()->first);
      const std::string started = fieldtext::cp1252ToUtf8(p.scored.record.started);
      if (!p.scored.start)
        report.notes.push_back(
            {p.scored.file, p.scored.record.number,
             "the start \"" + started + "\" cannot be read as a date and time: not paired"});
      else if (!settled && known.size() != 1 && ambiguousDate(p.scored.record.started))
        report.notes.push_back(
            {p.scored.file, p.scored.record.number,
             "neither the file's name nor the computer's other files tell whether \"" + started +
                 "\" gives the month or the day first: read as written in the United States"});
    }
  }

  // The same record read twice (a backup copy of a folder inside the day): counted once.
  void dropDuplicates() {
    std::unordered_map<std::string, std::size_t> first;
    std::vector<Pending> kept;
    for (Pending& p : pending) {
      const fieldtext::Record& r = p.scored.record;
      std::string key = r.started + '\n' + r.ended + '\n' + r.conversation + '\n';
      for (const auto& [k, v] : r.values) key += k + ": " + v + '\n';
      const auto [it, added] = first.try_emplace(std::move(key), kept.size());
      if (!added) {
        const Pending& original = kept[it->second];
        report.duplicates.push_back({p.scored.file, r.number,
                                     "the same record as " + original.scored.file + ":" +
                                         std::to_string(original.scored.record.number) + ": counted once",
                                     r});
        continue;
      }
      kept.push_back(std::move(p));
    }
    pending = std::move(kept);
  }

  // No output may be an input: a capture file or a script read.
  void guardOutputs() {
    std::vector<fs::path> inputs(files.begin(), files.end());
    for (const InputFile& t : report.timingFiles) inputs.emplace_back(t.path);
    const std::vector<fs::path> scripts = finder.filesRead();
    inputs.insert(inputs.end(), scripts.begin(), scripts.end());
    // A script kept beside the captures is no bad capture file.
    for (auto i = noRecords.rbegin(); i != noRecords.rend(); ++i) {
      const std::string file = report.skipped[*i].file;
      if (isOneOf(file, scripts)) {
        report.skipped.erase(report.skipped.begin() + static_cast<std::ptrdiff_t>(*i));
        report.captures.erase(std::find_if(report.captures.begin(), report.captures.end(),
                                           [&](const InputFile& f) { return f.path == file; }));
      }
    }
    for (const Script* s : finder.scriptsRead()) report.scripts.push_back({s->path, s->size, s->sha256});
    const FileSet inputSet(inputs);
    for (const auto& out : {o.csv, o.summaryCsv, o.html, o.timingCsv})
      if (out && inputSet.contains(*out))
        fatal("will not write " + out->string() + ": it is one of the inputs");
    if (o.texts) {
      names = textNames(pending);
      for (const std::string& name : names)
        for (const char* kind : {"-reference.txt", "-received.txt", "-score.txt"})
          if (inputSet.contains(*o.texts / (name + kind)))
            fatal("will not write " + (*o.texts / (name + kind)).string() + ": it is one of the inputs");
    }
  }

  // What could not be read, on standard error; fields of --by that no record has.
  void noteReading() {
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
        report.notes.push_back(
            {"", 0, "no record has a " + field + " line; --by groups them all under \"-\""});
    }
  }

  // The two ends of each call, before scoring: how the far end typed depends on its device.
  void pair() {
    for (Pending& p : pending) report.records.push_back(std::move(p.scored));
    pairing = pairCalls(report.records, o.clocks);
    for (std::size_t i = 0; i < pending.size(); ++i) pending[i].scored = std::move(report.records[i]);
    report.records.clear();
    partner.assign(pending.size(), -1);
    for (const Call& c : pairing.calls)
      if (c.records.size() == 2) {
        partner[c.records[0]] = static_cast<std::ptrdiff_t>(c.records[1]);
        partner[c.records[1]] = static_cast<std::ptrdiff_t>(c.records[0]);
      }
    for (std::size_t i = 0; i < pending.size(); ++i) {
      ScoredRecord& s = pending[i].scored;
      s.handTyped =
          o.handTyped ||
          (partner[i] >= 0 &&
           typedByHand(pending[static_cast<std::size_t>(partner[i])].scored.record.value("DEVICE")));
    }
    const auto byHand =
        std::count_if(pending.begin(), pending.end(), [](const Pending& p) { return p.scored.handTyped; });
    if (byHand > 0 && !o.handTyped)
      report.notes.push_back(
          {"", 0,
           std::to_string(byHand) + (byHand == 1 ? " record" : " records") +
               " scored against the far end's turns as typed by hand (lines joined): the far end "
               "was an Ameriphone Q-90 or an Ultratec Supercom"});
  }

  // {call} is typed by ttysim as the number of the call in a row; a far end that saved its own
  // record is the program, which sends it as written, or ttysim saving its record (--record),
  // whose number arrived.
  void numberCalls() {
    std::map<std::pair<std::string, std::string>, std::vector<std::size_t>> runs;  // by computer and script
    for (std::size_t i = 0; i < pending.size(); ++i) {
      ScoredRecord& s = pending[i].scored;
      const std::string farEnd = fieldtext::sideText(s.script->turns, s.farEnd);
      if (farEnd.find(kCallMark) == std::string::npos) continue;
      s.callNumber = callNumberIn(farEnd, fieldtext::speakerText(s.record.conversation, "RECD: "));
      if (partner[i] >= 0) continue;
      const std::string* id = s.record.value("COMPUTERID");
      runs[{id ? *id : "", s.script->key}].push_back(i);
    }
    // Numbers that did not arrive follow from the calls around them: ttysim counts 1, 2, 3 ...
    for (auto& [key, run] : runs) {
      std::stable_sort(run.begin(), run.end(), [&](std::size_t a, std::size_t b) {
        return pending[a].scored.start.value_or(0) < pending[b].scored.start.value_or(0);
      });
      for (std::size_t k = 0; k < run.size(); ++k) {
        ScoredRecord& s = pending[run[k]].scored;
        if (s.callNumber) continue;
        if (k > 0 && pending[run[k - 1]].scored.callNumber)
          s.callNumber = *pending[run[k - 1]].scored.callNumber + 1;
        for (std::size_t j = k + 1; j < run.size() && !s.callNumber; ++j)
          if (pending[run[j]].scored.callNumber &&
              *pending[run[j]].scored.callNumber > static_cast<int>(j - k))
            s.callNumber = *pending[run[j]].scored.callNumber - static_cast<int>(j - k);
        if (!s.callNumber) s.callNumber = 1;
        report.notes.push_back({s.file, s.record.number,
                                "the number {call} stands for did not arrive; taken as " +
                                    std::to_string(*s.callNumber) + " from the calls around it"});
      }
    }
  }

  // The texts of each record, and their figures.
  void score() {
    for (Pending& p : pending)
      p.texts = textsOf(p.scored.record, *p.scored.script, p.scored.farEnd, p.scored.handTyped,
                        p.scored.callNumber);

    parallelFor(pending.size(), o.jobs, [&](std::size_t i) {
      pending[i].scored.figures = scoreTexts(pending[i].texts.reference, pending[i].texts.received,
                                             o.texts ? &pending[i].scoreFile : nullptr);
    });
  }

  // The texts each record was scored on, with --texts.
  void writeTexts() {
    status = report.skipped.empty() ? 0 : 2;
    if (o.texts) {
      std::atomic<bool> failed{false};
      std::vector<std::string> errors(pending.size());
      parallelFor(pending.size(), o.jobs, [&](std::size_t i) {
        for (const auto& [kind, text] : {std::pair{"-reference.txt", &pending[i].texts.reference},
                                         std::pair{"-received.txt", &pending[i].texts.received},
                                         std::pair{"-score.txt", &pending[i].scoreFile}}) {
          const fs::path path = *o.texts / (names[i] + kind);
          const std::string why = writeAtomically(path, *text, false);
          if (!why.empty() && errors[i].empty()) errors[i] = "cannot write " + path.string() + ": " + why;
        }
        if (errors[i].empty()) {
          pending[i].scored.texts = names[i];
        } else {
          failed = true;
        }
      });
      for (const std::string& e : errors)
        if (!e.empty()) std::fprintf(stderr, "fieldreport: %s\n", e.c_str());
      if (failed) status = 1;
      std::error_code ec;
      const fs::path pageFolder = o.html ? fs::absolute(*o.html).parent_path() : fs::current_path(ec);
      report.textsFolder = fs::absolute(*o.texts).lexically_normal().lexically_relative(pageFolder).string();
      if (report.textsFolder.empty()) report.textsFolder = fs::absolute(*o.texts).string();
    }
  }

  // The times of the characters, for the records that have them and their far ends.
  void addTiming() {
    report.timing =
        std::any_of(pending.begin(), pending.end(), [](const Pending& p) { return p.times.has_value(); });
    if (report.timing) {
      std::vector<TimingInput> inputs(pending.size());
      for (std::size_t i = 0; i < pending.size(); ++i) {
        const ScoredRecord& s = pending[i].scored;
        TimingInput& t = inputs[i];
        t.texts = &pending[i].texts;
        t.script = s.script;
        t.farEnd = s.farEnd;
        t.handTyped = s.handTyped;
        t.callNumber = s.callNumber;
        t.ownHandTyped = typedByHand(s.record.value("DEVICE"));
        t.times = pending[i].times ? &*pending[i].times : nullptr;
        const std::string* id = s.record.value("COMPUTERID");
        t.computer = id ? *id : "";
      }
      TimingFigures figures = timingFigures(inputs, pairing.calls, o.clocks, o.jobs);
      for (std::size_t i = 0; i < pending.size(); ++i) pending[i].scored.timing = std::move(figures.turns[i]);
      report.callClocks = std::move(figures.calls);
      report.timingClocks = std::move(figures.clocks);
    }
  }

  // Verdicts of records and calls, and the summary by condition.
  void judge() {
    for (Pending& p : pending) {
      p.scored.verdict = p.conversationCut ? Verdict::Incomplete : verdictOf(p.scored.figures, o.limits);
      report.records.push_back(std::move(p.scored));
    }
    for (Call& call : pairing.calls) call.verdict = callVerdict(report.records, call);
    report.calls = std::move(pairing.calls);
    report.clocks = std::move(pairing.offsets);
    Summary summary = summarize(report.records, report.calls, o.by, o.limits, o.jobs);
    report.groups = std::move(summary.groups);
    report.dispersion = summary.dispersion;
    report.days = summary.days;
    if (report.timing)
      for (Group& g : report.groups) {
        for (std::size_t i : g.records) {
          const std::vector<double> delays = receivedDelays(report.records[i]),
                                    replies = ownReplyDelays(report.records[i]);
          g.delays.insert(g.delays.end(), delays.begin(), delays.end());
          g.replyDelays.insert(g.replyDelays.end(), replies.begin(), replies.end());
        }
        std::sort(g.delays.begin(), g.delays.end());
        std::sort(g.replyDelays.begin(), g.replyDelays.end());
      }
  }

  std::vector<Input> found;  // what the command line names, files of folders included

  // The timing file's records, each found by its "Started at" text (in order, for the same text).
  std::map<std::string, std::vector<timing::RecordTimes>> timesOf(const std::string& file, ReadFile& r) {
    std::map<std::string, std::vector<timing::RecordTimes>> timesByStart;
    if (r.timing) {
      ReadTiming& t = *r.timing;
      if (!t.ok || !t.file.problem.empty()) {
        report.notes.push_back({file, 0,
                                "its timing file " + t.path + " cannot be read (" +
                                    (t.ok ? t.file.problem : t.why) +
                                    "): its records are reported without times"});
      } else {
        report.timingFiles.push_back({t.path, t.size, t.sha256});
        if (t.file.badLines > 0)
          report.notes.push_back(
              {file, 0,
               "its timing file " + t.path + " has " + std::to_string(t.file.badLines) +
                   (t.file.badLines == 1 ? " line" : " lines") +
                   " that did not read whole (a line broken off by a crash is one): left out"});
        for (auto it = t.file.records.rbegin(); it != t.file.records.rend(); ++it)
          timesByStart[it->started].push_back(std::move(*it));  // the last of each start at the back
      }
    }
    return timesByStart;
  }

  // Records whole and broken, in file order. A broken record is scored when it began: what it
  // lacks of its values is taken from the nearest whole record of the same file (the program
  // names files by computer and minute, so those ran under the same settings); one whose
  // conversation was cut short is incomplete.
  std::vector<Item> itemsOf(const std::string& file, fieldtext::Capture& capture) {
    std::vector<Item> items;
    for (auto& r : capture.records) items.push_back({std::move(r), "", false});
    for (auto& b : capture.broken) {
      if (!b.started) {
        report.skipped.push_back({file, b.number, b.reason, b.partial});
        continue;
      }
      b.partial.number = b.number;
      items.push_back({std::move(b.partial), b.reason, !b.conversationWhole});
    }
    std::sort(items.begin(), items.end(),
              [](const Item& a, const Item& b) { return a.record.number < b.record.number; });
    for (std::size_t k = 0; k < items.size(); ++k) {
      if (items[k].cut.empty()) continue;
      const Item* donor = nullptr;
      for (std::size_t d = k + 1; d < items.size() && !donor; ++d)
        if (items[d].cut.empty()) donor = &items[d];
      for (std::size_t d = k; d-- > 0 && !donor;)
        if (items[d].cut.empty()) donor = &items[d];
      fieldtext::Record& r = items[k].record;
      const bool needsScript = !r.value("SCRIPTUSED") && !o.script;
      if (!donor && (needsScript || !r.value("DIRECTION"))) {
        items[k].orphan = true;  // another file may tell
        continue;
      }
      std::string taken;
      if (donor)
        for (const auto& [key, value] : donor->record.values)
          if (!r.value(key)) {
            r.values.emplace_back(key, value);
            taken = "record " + std::to_string(donor->record.number);
          }
      items[k].cut += items[k].conversationCut ? "; scored as incomplete" : "";
      if (!taken.empty()) items[k].cut += "; its conditions taken from " + taken;
      report.notes.push_back({file, r.number, items[k].cut});
    }
    return items;
  }

  // The times of a record from its file's timing file, when it has them.
  static std::optional<timing::RecordTimes> timesFor(
      const Item& item, std::map<std::string, std::vector<timing::RecordTimes>>& timesByStart) {
    std::optional<timing::RecordTimes> times;
    if (auto it = timesByStart.find(item.record.started); it != timesByStart.end() && !it->second.empty()) {
      times = std::move(it->second.back());
      it->second.pop_back();
    }
    return times;
  }

  // One record of a file: skipped with the reason, or waiting to be scored.
  void addRecord(const std::string& file, Item& item, DateOrder order, std::optional<timing::RecordTimes> times) {
    fieldtext::Record& record = item.record;
    const auto side = farEndSide(record);
    if (!side) {
      const std::string* direction = record.value("DIRECTION");
      report.skipped.push_back({file, record.number,
                                direction
                                    ? "DIRECTION \"" + fieldtext::cp1252ToUtf8(*direction) +
                                          "\" names neither side (\"Incoming Call\" or \"Outgoing Call\")"
                                    : "the record has no DIRECTION line",
                                record});
      return;
    }
    const std::string* used = record.value("SCRIPTUSED");
    std::string why;
    const Script* script = finder.find(used ? *used : "", fs::path(file).parent_path(), why);
    if (!script) {
      report.skipped.push_back({file, record.number, fieldtext::cp1252ToUtf8(why), record});
      return;
    }
    if (ownScripts && used && !used->empty()) {
      std::string ignored;
      const Script* own = ownScripts->find(*used, fs::path(file).parent_path(), ignored);
      if (own && own->key != script->key && overridden.insert(own->path).second)
        report.notes.push_back({file, record.number,
                                "--script " + script->path + " differs from the script this record ran, " +
                                    fieldtext::cp1252ToUtf8(own->path) + " (scored against --script)"});
    }
    // Too long for score, or nothing of the far end's to score: judged on the texts as the
    // program sends them (typed by hand they are only shorter).
    const Texts typed = textsOf(record, *script, *side, false);
    if (typed.reference.empty()) {
      report.skipped.push_back(
          {file, record.number, "the script " + script->path + " has no turns for the far end", record});
      return;
    }
    if (auto refused = scoreRefuses(typed.reference, typed.received)) {
      report.skipped.push_back({file, record.number, *refused, record});
      return;
    }
    Pending p;
    p.scored.file = file;
    p.scored.script = script;
    p.scored.farEnd = *side;
    p.scored.start = parseMoment(record.started, order);
    const std::string* id = record.value("COMPUTERID");
    if (order != DateOrder::Unknown) ++orders[id ? *id : ""][order];
    p.scored.cut = item.cut;
    p.conversationCut = item.conversationCut;
    p.times = std::move(times);
    p.scored.timed = p.times.has_value();
    p.scored.record = std::move(record);
    pending.push_back(std::move(p));
  }

  const DayOptions o;
  Report report;
  std::vector<ReadFile> read;
  ScriptFinder finder;
  std::optional<ScriptFinder> ownScripts;  // what records name, to compare with --script
  std::set<std::string> overridden;        // scripts named by records that --script differs from
  std::vector<Pending> pending;
  // Broken records whose own files do not tell what they ran under, with where they go in pending.
  struct Orphan {
    std::string file;
    Item item;
    std::optional<timing::RecordTimes> times;
    std::size_t at = 0;
  };
  std::vector<Orphan> orphans;
  std::vector<std::size_t> noRecords;  // files found in a folder holding no record: maybe scripts
  std::vector<std::string> files;      // capture files read
  // How each computer writes its dates, from files whose names tell.
  std::map<std::string, std::map<DateOrder, int>> orders;
  std::vector<std::string> names;  // of each record's texts
  Pairing pairing;
  std::vector<std::ptrdiff_t> partner;  // the other end's record of each, or -1
  int status = 0;
};

Day::Day(const DayOptions& options) : steps(std::make_unique<Steps>(options)) {}

Day::~Day() = default;

void Day::run() {
  Steps& d = *steps;
  d.checkFirst();
  d.readAll();
  for (std::size_t in = 0; in < d.found.size(); ++in) d.collectFile(in);
  d.adoptOrphans();
  d.settleDates();
  d.dropDuplicates();
  d.guardOutputs();
  d.noteReading();
  d.pair();
  d.numberCalls();
  d.score();
  d.writeTexts();
  d.addTiming();
  d.judge();
}

Report& Day::report() { return steps->report; }

int Day::status() const { return steps->status; }

}  // namespace fieldreport
