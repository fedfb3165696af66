// SPDX-License-Identifier: Apache-2.0
// Times fieldreport against what a lab script does per call without it, and prints the ratios.
//
//   fieldreport_bench [build_folder]
//
// On made-up captures of 2,000 calls (one record per file, both directions, channel errors, some
// calls dropped): the per-call pipeline of processes, run one call after another as a script runs
// them (fieldtext for the reference, fieldtext for the received text, score, cerscore), against
// fieldreport on the folder, on one thread and on every core. Then fieldreport on ten times the
// calls, and the web page of those: its size, how soon Chromium has it ready (by the page's own
// clock) and how long printing it to PDF takes. Exits with 1 when fieldreport's figures differ
// from the pipeline's for any call.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "capture_maker.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Timing {
  double wall = 0;  // seconds
  double cpu = 0;   // user and system seconds of the child
};

// Runs a program with its standard output into `out` (or /dev/null) and its errors discarded.
Timing run(const std::vector<std::string>& argv, const std::string& out = "/dev/null") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
    std::fprintf(stderr, "fieldreport_bench: cannot start %s\n", args[0]);
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Timing t;
  t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  t.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
          static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  if (!WIFEXITED(status) || WEXITSTATUS(status) > 2) {
    std::fprintf(stderr, "fieldreport_bench: %s failed\n", args[0]);
    std::exit(1);
  }
  return t;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The number after a label in a program's output, as printed.
std::string after(const std::string& text, const std::string& label) {
  const std::size_t at = text.find(label);
  if (at == std::string::npos) return "?";
  std::size_t from = at + label.size();
  while (from < text.size() && text[from] == ' ') ++from;
  return text.substr(from, text.find_first_of("\r\n", from) - from);
}

// pcer,ccer,tcer,cer of each row of fieldreport's CSV, by capture file.
std::map<std::string, std::string> csvRates(const std::string& csv) {
  std::map<std::string, std::string> rates;
  std::size_t line = csv.find("\r\n") + 2;
  while (line < csv.size()) {
    const std::size_t end = csv.find("\r\n", line);
    std::vector<std::string> fields;
    std::string row = csv.substr(line, end - line), field;
    bool quoted = false;
    for (char c : row) {
      if (c == '"') {
        quoted = !quoted;
      } else if (c == ',' && !quoted) {
        fields.push_back(field);
        field.clear();
      } else {
        field += c;
      }
    }
    fields.push_back(field);
    rates[fields[0]] = fields[16] + "," + fields[17] + "," + fields[18] + "," + fields[19];
    line = end + 2;
  }
  return rates;
}

// The first three fields of /proc/loadavg: other work on the machine slows every timing here.
std::string loadAverage() {
  const std::string text = readFile("/proc/loadavg");
  std::size_t end = 0;
  for (int field = 0; field < 3 && end != std::string::npos; ++field) end = text.find(' ', end + 1);
  return text.substr(0, end);
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path build = fs::absolute(argc > 1 ? argv[1] : "build");
  const std::string fieldreport = (build / "bin/fieldreport").string(),
                    score = (build / "bin/score").string(), cerscore = (build / "bin/cerscore").string(),
                    fieldtext = (build / "bench/fieldtext").string();
  std::string work = (fs::temp_directory_path() / "fieldreport-bench-XXXXXX").string();
  if (!mkdtemp(work.data())) return 1;

  constexpr int kCalls = 2000;
  capture_maker::DayOptions day;
  day.calls = kCalls;
  day.bothEnds = false;
  const auto files = capture_maker::writeDay(work + "/day", day);
  std::printf("%d calls, one capture file each, in %s/day\n", kCalls, work.c_str());

  // The pipeline a lab script runs for each capture file, one after another.
  const std::string ref = work + "/ref.txt", rec = work + "/rec.txt", out = work + "/out.txt";
  std::map<std::string, std::string> pipelineRates;
  Timing pipeline;
  for (const auto& f : files) {
    for (const Timing& t : {run({fieldtext, "turns", f.scriptPath, f.farEndEven ? "even" : "odd"}, ref),
                            run({fieldtext, "capture", f.path, "recd"}, rec),
                            run({score, ref, rec, work + "/score.txt"}, out)}) {
      pipeline.wall += t.wall;
      pipeline.cpu += t.cpu;
    }
    const std::string scoreOut = readFile(out);
    const Timing t = run({cerscore, ref, rec, work + "/cerscore.txt"}, out);
    pipeline.wall += t.wall;
    pipeline.cpu += t.cpu;
    pipelineRates[f.path] = after(scoreOut, "(PCER) =") + "," + after(scoreOut, "(CCER) =") + "," +
                            after(scoreOut, "(TCER) =") + "," + after(readFile(out), "(in %):");
  }

  // Ten times the calls, made now so that the runs below can take turns: a change in the
  // machine's load then falls on both sizes alike. Best of three each.
  day.calls = 10 * kCalls;
  capture_maker::writeDay(work + "/day10", day);
  const std::vector<std::string> one = {fieldreport, "--jobs", "1", work + "/day/captures"},
                                 all = {fieldreport, work + "/day/captures"},
                                 ten = {fieldreport, work + "/day10/captures"};
  Timing tOne{1e300, 0}, tAll{1e300, 0}, tTen{1e300, 0};
  for (int r = 0; r < 3; ++r) {
    for (auto [t, args] : {std::pair{&tOne, &one}, std::pair{&tAll, &all}, std::pair{&tTen, &ten}}) {
      const Timing once = run(*args);
      if (once.wall < t->wall) *t = once;
    }
  }
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());

  const std::string csv = work + "/report.csv";
  run({fieldreport, work + "/day/captures", "--csv", csv});
  const auto rates = csvRates(readFile(csv));
  int differ = 0;
  for (const auto& [file, expected] : pipelineRates) {
    const auto it = rates.find(file);
    if (it == rates.end() || it->second != expected) {
      if (++differ <= 5)
        std::printf("  DIFFERENT %s: pipeline %s, fieldreport %s\n", file.c_str(), expected.c_str(),
                    it == rates.end() ? "(none)" : it->second.c_str());
    }
  }

  std::printf("\n%-58s %9s %9s\n", "", "wall", "cpu");
  std::printf("%-58s %8.2fs %8.2fs\n", "pipeline: fieldtext x2, score, cerscore per call", pipeline.wall,
              pipeline.cpu);
  std::printf("%-58s %8.3fs %8.3fs   %6.1f x faster\n", "fieldreport --jobs 1", tOne.wall, tOne.cpu,
              pipeline.wall / tOne.wall);
  std::printf("%-58s %8.3fs %8.3fs   %6.1f x faster (target 20 x)\n",
              ("fieldreport, " + std::to_string(cores) + " threads").c_str(), tAll.wall, tAll.cpu,
              pipeline.wall / tAll.wall);
  std::printf(
      "%-58s %8.3fs %8.3fs   %6.2f x the time of %d (target at most 12 x)\n",
      ("fieldreport, " + std::to_string(cores) + " threads, " + std::to_string(10 * kCalls) + " calls")
          .c_str(),
      tTen.wall, tTen.cpu, tTen.wall / tAll.wall, kCalls);
  std::printf("  cpu / wall of fieldreport: %.2f on %u threads, %.2f on 1 (the machine's load: %s)\n",
              tAll.cpu / tAll.wall, cores, tOne.cpu / tOne.wall, loadAverage().c_str());
  std::printf("  figures of %zu calls: %s\n", pipelineRates.size(),
              differ ? "DIFFERENT from the pipeline's" : "identical to the pipeline's");

  // The page of the 20,000 calls, with their texts beside it.
  const std::string page = work + "/day10.html";
  const Timing written = run({fieldreport, work + "/day10/captures", "--html", page, "--summary"});
  std::printf("\n%-58s %8.2fs %8.2fs   page %.2f MB (target under 3 MB)\n",
              ("fieldreport --html, " + std::to_string(10 * kCalls) + " calls").c_str(), written.wall,
              written.cpu, static_cast<double>(fs::file_size(page)) / 1e6);
  const char* browsers[] = {"/usr/bin/chromium-headless-shell", "/usr/bin/chromium"};
  const auto browser =
      std::find_if(std::begin(browsers), std::end(browsers), [](const char* b) { return fs::exists(b); });
  if (browser == std::end(browsers)) {
    std::printf("  no Chromium: the page's time to be ready is not measured\n");
  } else {
    const std::vector<std::string> common = {*browser,
                                             "--headless",
                                             "--no-sandbox",
                                             "--disable-gpu",
                                             "--user-data-dir=" + work + "/profile",
                                             "--window-size=1400,1000"};
    double ready = 1e300, open = 1e300, print = 1e300;
    for (int r = 0; r < 3; ++r) {
      std::vector<std::string> dump = common;
      dump.insert(dump.end(), {"--dump-dom", "file://" + page});
      const Timing t = run(dump, work + "/dom.html");
      const std::string dom = readFile(work + "/dom.html");
      const std::size_t at = dom.find("data-ready-ms=\"");
      if (at != std::string::npos) ready = std::min(ready, std::atof(dom.c_str() + at + 15) / 1000);
      open = std::min(open, t.wall);
      std::vector<std::string> pdf = common;
      pdf.insert(pdf.end(),
                 {"--no-pdf-header-footer", "--print-to-pdf=" + work + "/day10.pdf", "file://" + page});
      print = std::min(print, run(pdf).wall);
    }
    std::printf(
        "  in Chromium: ready %.2f s after loading began (target under 3 s); %.2f s with the browser's "
        "start; "
        "printed to PDF in %.2f s (%.2f MB)\n",
        ready, open, print, static_cast<double>(fs::file_size(work + "/day10.pdf")) / 1e6);
  }
  fs::remove_all(work);
  return differ ? 1 : 0;
}
