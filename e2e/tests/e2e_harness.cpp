// SPDX-License-Identifier: Apache-2.0
#include "e2e_harness.h"

#include <signal.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "timing.h"

namespace e2e {

namespace fs = std::filesystem;
using kit::testing::readFile;

namespace {

// A registry string as the settings file writes it.
std::string regQuoted(const std::string& s) {
  std::string r = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') r += '\\';
    r += c;
  }
  return r + "\"";
}

}  // namespace

// ---- ttysim ------------------------------------------------------------------------------------

Ttysim::Ttysim(std::vector<std::string> args) : Ttysim(TTYSIM_BIN, std::move(args)) {}

Ttysim::Ttysim(const std::string& program, std::vector<std::string> args)
    : child_(program, std::move(args), SIGKILL) {
  if (child_.outputFd() < 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(child_.outputFd(), QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Pump(); });
}

Ttysim::~Ttysim() {
  notifier_.reset();  // before the child closes the pipe it watches
}

void Ttysim::Pump() {
  std::size_t lineStart = child_.output().rfind('\n') + 1;  // 0 when there is none
  const std::string& console = child_.readAvailable();
  // At the end of the console (ttysim has ended or is ending) there is nothing more to watch.
  if (child_.outputFd() < 0 && notifier_) notifier_->setEnabled(false);
  for (std::size_t end; ready_.empty() && (end = console.find('\n', lineStart)) != std::string::npos;
       lineStart = end + 1)
    ParseReady(console.substr(lineStart, end - lineStart));
}

void Ttysim::ParseReady(const std::string& line) {
  std::size_t pos = line.find(" ready ");
  if (pos == std::string::npos) return;
  std::string key, value, *cur = &key;
  for (std::size_t i = pos + 7; i <= line.size(); ++i) {
    char c = i < line.size() ? line[i] : ' ';
    if (c == '\\' && i + 1 < line.size()) {
      *cur += line[++i];
    } else if (c == ' ') {
      if (!key.empty()) ready_[key] = value;
      key.clear(), value.clear(), cur = &key;
    } else if (c == '=' && cur == &key) {
      cur = &value;
    } else {
      *cur += c;
    }
  }
}

bool Ttysim::Said(const std::string& text) const {
  return Console().find(text) != std::string::npos;
}

bool Ttysim::Exited() {
  if (child_.status() >= 0) return true;
  if (!child_.exited()) return false;
  Pump();  // what it said last
  return true;
}

void EchoLog::Write(const std::string& line) {
  lines.push_back(line);
  std::fprintf(stderr, "corvalis: %s\n", line.c_str());
}

std::vector<std::string> EchoLog::With(const std::string& text) const {
  std::vector<std::string> found;
  for (const std::string& l : lines)
    if (l.find(text) != std::string::npos) found.push_back(l);
  return found;
}

// ---- a field test ----------------------------------------------------------------------------

void FieldTest::SetUp() {
  corvalis::testing::App();
  portDir = (dir.path() / "ports").string();
  logDir = (dir.path() / "captures").string();
  registryDir = (dir.path() / "registry").string();
  stateDir = (dir.path() / "state").string();
  fs::create_directories(logDir);
  setenv("CORVALIS_PORT_DIR", portDir.c_str(), 1);
  setenv("CORVALIS_REGISTRY_DIR", registryDir.c_str(), 1);
  setenv("CORVALIS_STATE_DIR", stateDir.c_str(), 1);
}

void FieldTest::TearDown() {
  form.reset();
  handoff.reset();
  sim.reset();
  unsetenv("CORVALIS_PORT_DIR");
  unsetenv("CORVALIS_STATE_DIR");
}

std::string FieldTest::WriteScript(const std::string& name, const std::string& text) {
  return dir.write(name, text);
}

void FieldTest::WriteSettings(const std::map<std::string, std::string>& values) {
  // In the order the program writes them.
  std::vector<std::pair<std::string, std::string>> settings = {
      {"Test Type", "Landline Calls (Direct connection)"},
      {"Call Direction", "Incoming Call"},
      {"Signal", "Strong"},
      {"Device Type", "NXi modem"},
      {"Username", "e2e"},
      {"Location", "Bench 1"},
      {"NetworkInfo", "ttysim"},
      {"Log directory", logDir},
      {"Script filename", ""},
      {"Port", "1"},
      {"Dial number", ""},
      {"CableID", ""},
      {"PhoneModel", ""},
      {"PhoneTech", ""},
      {"Auto answer", "1"},
      {"Auto hang up", "1"},
      {"Auto send", "1"},
      {"Ending filename", "E2E"},
      {"Auto save", "1"},
      {"CustomSignal", ""},
      {"Enable Turbo Code", "1"},
  };
  std::string file = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Marrowfield\\Orrin\\Corvalis]\n";
  for (auto& [name, value] : settings) {
    auto given = values.find(name);
    file += regQuoted(name) + "=" + regQuoted(given != values.end() ? given->second : value) + "\n";
  }
  for (auto& [name, value] : values) {
    bool known = false;
    for (auto& s : settings) known = known || s.first == name;
    EXPECT_TRUE(known) << "not a setting: " << name;
  }
  fs::path key = fs::path(registryDir) / "HKEY_LOCAL_MACHINE" / "Software" / "Marrowfield" / "Orrin";
  fs::create_directories(key);
  std::ofstream(key / "Corvalis.reg", std::ios::binary) << file;
}

void FieldTest::Prepare(const std::string& device, const std::string& script,
                        std::map<std::string, std::string> more) {
  scriptPath = WriteScript("script.txt", script);
  more["Device Type"] = device;
  more["Script filename"] = scriptPath;
  WriteSettings(more);
}

void FieldTest::StartSim(std::vector<std::string> args) {
  for (std::string a : {"--port-dir", portDir.c_str()}) args.push_back(a);
  for (std::string a : {"--received", "far-received.txt", "--sent", "far-sent.txt", "--log", "sim-log.txt"}) {
    if (a.ends_with(".txt")) a = dir.file(a);
    args.push_back(a);
  }
  // ttysim gives up after the test would have.
  args.insert(args.end(), {"--timeout", std::to_string(kWaitSeconds + 30)});
  sim = std::make_unique<Ttysim>(args);
  ASSERT_TRUE(ServeUntil([this] { return !sim->Ready().empty() || sim->Exited(); })) << sim->Console();
  ASSERT_FALSE(sim->Ready().empty()) << "ttysim ended before it was ready:\n" << sim->Console();
}

void FieldTest::OpenWindow() {
  handoff = std::make_unique<corvalis::TQtHandoff>();
  corvalis::TFormServices services;
  services.MessageBoxes = &boxes;
  services.Log = &log;
  services.Handoff = handoff.get();
  services.LiveTimers = true;
  services.DownloadSite = "file:///kit/README.md";
  form = std::make_unique<corvalis::TMainForm>(services);
  typing = new corvalis::TManualTypeForm(form.get());
  form->ManualTypeForm = typing;
  form->show();
  ASSERT_TRUE(form->ComPort.IsOpen()) << Boxes();
}

bool FieldTest::ServeUntil(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kWaitSeconds);
  // Wakes the loop now and then, so that the deadline is seen when nothing else happens.
  QTimer wake;
  wake.start(100);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

int FieldTest::ServeUntilSimExits() {
  if (!ServeUntil([this] { return sim->Exited(); })) return -1;
  return sim->ExitStatus();
}

void FieldTest::RingWhenInitialised(const std::string& lastInitCommand) {
  ASSERT_TRUE(ServeUntil([&] { return sim->Said("command " + lastInitCommand + " -> OK"); }))
      << sim->Console();
  kill(sim->Pid(), SIGUSR1);
}

std::string FieldTest::Capture() const {
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(logDir))
    if (!timing::isTimingName(e.path().string())) files.push_back(e.path());
  if (files.size() != 1) {
    ADD_FAILURE() << files.size() << " files in the log folder";
    return {};
  }
  return readFile(files[0]);
}

std::string FieldTest::Captures() const {
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(logDir))
    if (!timing::isTimingName(e.path().string())) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  std::string all;
  for (const auto& f : files) all += readFile(f);
  return all;
}

std::string FieldTest::FarReceived() const {
  return readFile(dir.file("far-received.txt"));
}
std::string FieldTest::FarSent() const {
  return readFile(dir.file("far-sent.txt"));
}
std::string FieldTest::SimLog() const {
  return readFile(dir.file("sim-log.txt"));
}

std::string FieldTest::Boxes() const {
  std::string r;
  for (const auto& c : boxes.calls) r += c.title + ": " + c.text + "\n";
  return r;
}

}  // namespace e2e
