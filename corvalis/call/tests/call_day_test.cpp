// SPDX-License-Identifier: Apache-2.0
// A day of calls at random: the real window (offscreen, timers driven by the test, a fake serial
// device) through long sequences of what happens in a lab, judged as the lab judges it: from the
// capture files and the call journals the program writes, the bytes it sends to the port, its log,
// and what the window shows; never from the call engine's own flags. After every step:
// - each call (its journal appears as it starts) ends up as one record in the file of its minute,
//   or is discarded by Don't Save; a journal never goes without its record, so no call is wiped;
// - a record holds its own call's text only, this side's script in order, and every word the far end
//   typed while the call was on line; only what arrived while this side was sending may be missing
//   (the echo rule), and then exactly as many characters as the call's journal counts;
// - a sent paragraph starts at the start of a script line: no character of one call goes into another;
// - nothing but modem commands reaches the port while no call is open;
// - the view of a finished call takes no new text; no box is shown twice in one step, none unexpected.
// Besides rings, connections, the far end's words, silences and every button, a day has NO CARRIER,
// the device pulled out and put back, termination signals and kills with a new start, and several
// clicks handled while one character is sent. Each day ends with a signal and a new start, after
// which every call has its record. A failure is shrunk to a shortest sequence of steps. RC_PARAMS
// (for example RC_PARAMS="seed=7 max_success=2000 max_size=800") runs other seeds and longer days.
#include <rapidcheck.h>
#include <rapidcheck/state.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "common/conversation_text.h"
#include "call/conversation_view.h"
#include "call/manualtype.h"
#include "records/calllog.h"
#include "records/journal.h"
#include "property.h"
#include "temp_dir.h"
#include "ui/tests/form_fixture.h"

namespace corvalis::testing {
namespace {

namespace fs = std::filesystem;
using kit::testing::readFile;

const char* const kDevices[] = {kDeviceQ90,      kDeviceCustomCompact,  kDeviceNXi,
                                kDeviceSupercom, kDeviceInteleModem300, kDeviceInteleModem2400};

// Every script word is a token "S<turn><line>": the order of a call's tokens shows whether the
// script ran forwards. The far end's words are "F<n>", numbered through the day.
const char* const kScript =
    "S1A GA\r\n"
    "\r\n"
    "S2A\r\n"
    "S2B GA\r\n"
    "\r\n"
    "S3A GA\r\n"
    "\r\n"
    "S4A SK\r\n"
    "\r\n";

const std::string kRule(64, '=');

// Tokens in a text, in order: ('S', turn * 100 + line) and ('F', n).
std::vector<std::pair<char, int>> Tokens(const std::string& text) {
  std::vector<std::pair<char, int>> tokens;
  std::size_t afterToken = 0;  // tokens may follow each other directly, as typed turns join lines
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    char k = text[i];
    if ((k != 'S' && k != 'F') || !std::isdigit(static_cast<unsigned char>(text[i + 1]))) continue;
    if (i > 0 && i != afterToken && std::isalnum(static_cast<unsigned char>(text[i - 1]))) continue;
    std::size_t j = i + 1;
    int n = 0;
    while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j])) && n < 1000000)
      n = n * 10 + (text[j++] - '0');
    if (k == 'S') {
      if (j >= text.size() || text[j] < 'A' || text[j] > 'Z') continue;
      n = n * 100 + (text[j++] - 'A');
    }
    tokens.emplace_back(k, n);
    afterToken = j;
    i = j - 1;
  }
  return tokens;
}

std::string WithoutTrailingBreaks(std::string text) {
  while (text.size() >= 2 && text.ends_with("\r\n")) text.resize(text.size() - 2);
  return text;
}

// How received bytes show in a call's view: CR and LF as their marks.
std::string Shown(const std::string& bytes) {
  std::string out;
  for (char c : bytes) out += c == '\r' ? kCrMark : c == '\n' ? kLfMark : c;
  return out;
}

// The paragraphs after a speaker's mark, each as it begins (the view's marks for received and
// automatic line breaks left out).
std::vector<std::string> Paragraphs(const std::string& conversation, const std::string& mark) {
  std::vector<std::string> found;
  for (std::size_t at = conversation.find(mark); at != std::string::npos;
       at = conversation.find(mark, at + 1)) {
    if (at > 0 && conversation[at - 1] != '\n') continue;
    std::size_t from = at + mark.size();
    while (from < conversation.size() && (conversation[from] == kCrMark || conversation[from] == kLfMark))
      ++from;
    found.push_back(conversation.substr(from, conversation.find("\r\n", from) - from));
  }
  return found;
}

// A folder for a day's files in memory when the machine has one (/dev/shm): the program syncs its
// journal to the disk every second of a call, and a day runs through many.
class DayFolder {
 public:
  DayFolder() {
    std::error_code ec;
    const fs::path base = fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0
                              ? fs::path("/dev/shm")
                              : fs::temp_directory_path();
    std::string pattern = (base / "kit-day-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~DayFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  std::string write(const std::string& name, const std::string& bytes) const {
    const fs::path p = path_ / name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p.string();
  }

 private:
  fs::path path_;
};

// Whether a sent paragraph begins where something this side sends begins: a script line, a modem
// command, a hang-up; on a typing device also what the TTY reports while a turn is up for typing (the
// tester's or the far end's words, its RING). It may have been cut off after any character.
bool StartsALine(const std::string& p) {
  if (p.empty() || static_cast<unsigned char>(p[0]) < 32) return true;
  if (p[0] == 'S' || p[0] == 'F') return true;  // a line cut short may be followed by a hang-up's commands
  for (const std::string start : {"AT", "+", "RING", "OK", "CONNECT", "NO CARRIER", "ERROR"})
    if (p.starts_with(start) || start.starts_with(p)) return true;
  return false;
}

// A call as the lab has seen it, from its journal on.
struct CallSeen {
  std::string journal;    // the journal's file name
  std::string startText;  // as the record's "Started at" line gives it
  TDateTime start{};
  std::set<std::string> captures;  // the capture files its journal named
  std::string frozen;              // the view when the call was first seen finished
  bool frozenSeen = false;
  std::set<std::size_t> splits;    // script token counts at which the script was legitimately rewound
  std::vector<std::string> typed;  // what the far end (or the tester at the TTY) typed while it was on line
  std::int64_t collisions = 0;     // as its journal counts them
  int records = 0;
  std::string record;  // the conversation of its (last) record
  bool discarded = false;
  bool journalGone = false;
};

// The flags and the direction of a day, and what the lab changes during it: kept, so that a new
// start of the program is set up as the last one was.
struct DaySetup {
  std::string device;
  bool autoAnswer, autoHangUp, autoSave, incoming;
  bool userName = true;
  bool unplugged = false;  // the capture drive pulled out
};

// The serial device, watched: what the program writes.
class WatchedDevice : public FakeDevice {
 public:
  std::function<void(const std::string&)> onWrite;
  int Write(const char* data, std::size_t size, std::size_t& done) override {
    if (onWrite && !writeError) onWrite(std::string(data, size));
    return FakeDevice::Write(data, size, done);
  }
};

class Lab {
 public:
  explicit Lab(const DaySetup& setup) : setup_(setup) {
    App();
    setenv("CORVALIS_REGISTRY_DIR", (root_.path() / "registry").c_str(), 1);
    setenv("CORVALIS_STATE_DIR", (root_.path() / "state").c_str(), 1);
    // The home folder is where captures go when the capture drive has gone at a start.
    if (const char* home = std::getenv("HOME")) oldHome_ = home;
    setenv("HOME", HomeFolder().c_str(), 1);
    fs::create_directories(LogFolder());
    fs::create_directories(HomeFolder());
    script_ = root_.write("script.txt", kScript);
    device_ = std::make_shared<WatchedDevice>();
    device_->onWrite = [this](const std::string& bytes) { OnWrite(bytes); };
    ports_->device = device_;
    services_.MessageBoxes = &boxes;
    services_.Clock = &clock_;
    services_.Desktop = &desktop_;
    services_.Handoff = &handoff_;
    services_.PortSystem = ports_;
    services_.LiveTimers = false;
    services_.FileDialogs = &fileDialogs_;
    services_.Log = &log_;
    typing = std::make_unique<TManualTypeForm>();
    StartProgram();
    EndStep("start-up");
  }
  ~Lab() {
    form.reset();
    typing.reset();
    unsetenv("CORVALIS_REGISTRY_DIR");
    unsetenv("CORVALIS_STATE_DIR");
    if (oldHome_.empty())
      unsetenv("HOME");
    else
      setenv("HOME", oldHome_.c_str(), 1);
  }

  std::string LogFolder() const { return (root_.path() / "captures").string(); }
  std::string HomeFolder() const { return (root_.path() / "home").string(); }
  fs::path JournalFolder() const { return root_.path() / "state" / "journal"; }
  bool IsModem() const { return DeviceTypeIsModem(setup_.device); }
  // The program has the device open and it is there: what the device says reaches the program.
  bool Attached() const { return !away_ && form->ComPort.IsOpen(); }

  // The program starts, and the tester sets it up as it was.
  void StartProgram() {
    form = std::make_unique<TMainForm>(services_);
    form->ManualTypeForm = typing.get();
    form->FormShow(form.get());
    TWindowSettings& s = form->Settings;
    s.DeviceType = setup_.device;
    s.LogDirectory = setup_.unplugged ? LogFolder() + "/unplugged" : LogFolder();
    s.ComputerID = "LAB1";
    s.Location = "Lab 2";
    s.CableID = "C7";
    s.PhoneModel = "P1";
    s.PhoneTech = "GSM";
    form->UserEdit->setText(setup_.userName ? "Ann" : "");
    form->DialNumEdit->setText("5551234");
    form->ScriptFileNameEdit->setText(QString::fromStdString(script_));
    (setup_.incoming ? form->CallDirectionLabel2 : form->CallDirectionLabel1)->setChecked(true);
    form->AutoAnsBox->setChecked(setup_.autoAnswer);
    form->AutoHangUpBox->setChecked(setup_.autoHangUp);
    form->AutoSaveBox->setChecked(setup_.autoSave);
    form->SetBaud();
    form->InitializeModem();
  }

  // The program ends: the orderly way on a signal, or killed; then it is started again.
  void Restart(bool signal) {
    if (signal) form->CloseOnSignal(SIGTERM);
    typing->HideTypingWindow();
    form.reset();
    modem_ = ModemState::Idle;
    waitsForConnect_ = false;  // the port closed: the modem hung up
    StartProgram();
  }

  // ---- what the lab does ------------------------------------------------------------------

  void BeginStep() {
    clock_.now += std::chrono::seconds(1);
    boxesBefore_ = boxes.calls.size();
  }

  // Whether a call is on line as the tester sees it: End Call and Reset are offered, and the line is
  // up (a modem has connected).
  bool OnLine() const {
    return Attached() && form->EndCallButton->isEnabled() && form->ResetButton->isEnabled() &&
           (!IsModem() || (modem_ == ModemState::Online && !waitsForConnect_));
  }
  bool CallOpen() const { return form->EndCallButton->isEnabled(); }

  // Characters from the device: words typed at the far end (or by the tester at a TTY), which a
  // call on line must keep, or the modem's lines.
  void Deliver(const std::string& bytes, bool typed) {
    if (!Attached()) return;  // nothing comes from a device that is not there
    FollowJournals();
    const bool onLine = OnLine();
    CallSeen* call = onLine ? OpenCall() : nullptr;
    device_->incoming += bytes;
    form->ComPort.OnRxChar(&form->ComPort, static_cast<std::int32_t>(device_->incoming.size()));
    for (auto [kind, n] : Tokens(bytes))
      if (kind == 'F')
        farOwner_[n] = call ? static_cast<std::size_t>(call - calls_.data()) : std::string::npos;
    if (typed && call) call->typed.push_back(bytes);
    FollowJournals();  // the collisions it counts
  }
  std::string NextFarWords(int ending, bool lineEnd) {
    std::string words = "F" + std::to_string(++farCount_);
    if (ending == 1) words += " GA";
    if (ending == 2) words += " SK";
    if (lineEnd) words += "\r\n";
    return words;
  }

  void Ticks(int n) {
    for (int i = 0; i < n; ++i) {
      clock_.now += std::chrono::milliseconds(200);
      form->MainTimer.Fire();
      if (++ticks_ % 10 == 0 && form->ATCommandTimer.Enabled()) form->ATCommandTimer.Fire();
    }
  }

  // The modem as far as the lab knows it, from what the program writes; and what it writes while
  // no call is open. A connected modem takes command lines as text for the far end, unless they
  // follow the "+++" escape.
  void OnWrite(const std::string& bytes) {
    written_ += bytes;
    if (!form || !CallOpen()) idleBytes_ += bytes;
    for (char c : bytes) {
      if (c == '\x04' || c == '\x15' || c == '\x1B') {
        modem_ = ModemState::Idle;
        waitsForConnect_ = false;
      }
      if (c != '\r') {
        line_ += c;
        continue;
      }
      // A command line begins at its "AT": what went before (the text of a call) is no part of it.
      std::string line = line_;
      line_.clear();
      const std::size_t at = line.find("AT");
      if (at == std::string::npos) continue;
      const bool escaped = line.rfind("+++", at) != std::string::npos;
      line.erase(0, at);
      const bool dialOrAnswer = line.ends_with("A") || line.find("DT") != std::string::npos;
      if (dialOrAnswer) waitsForConnect_ = true;  // the program waits, whatever the modem makes of it
      if (modem_ == ModemState::Online && !escaped) continue;
      if (dialOrAnswer) modem_ = ModemState::Connecting;
      if (line == "ATH" || line.starts_with("ATZ")) {
        modem_ = ModemState::Idle;
        waitsForConnect_ = false;
      }
    }
  }
  enum class ModemState { Idle, Connecting, Online };
  ModemState modem_ = ModemState::Idle;
  // The program has dialled or answered and waits for the modem's CONNECT: until then nothing that
  // arrives is shown (a modem's own words).
  bool waitsForConnect_ = false;

  void ChangeDevice(const std::string& type) {
    if (!form->TabVisible(form->DevicesSheet)) return;
    form->SetActiveSheet(form->DevicesSheet);
    for (QRadioButton* b : {form->CompactButton, form->Q90Button, form->NXiButton, form->Intelemodem300Button,
                            form->Intelemodem2400Button, form->SupercomButton})
      if (b->text().toStdString() == type) b->setChecked(true);
    form->DeviceOkButton->setEnabled(true);
    written_.clear();
    form->DeviceOkButton->click();
    setup_.device = type;
    modem_ = ModemState::Idle;
    waitsForConnect_ = false;
    if (!Attached()) return;
    // The new device's own start-up, and nothing of the old one's.
    const bool ok = DeviceTypeIsModem(type) ? written_ == "ATZ\r" || written_ == "ATZ0\r" : written_.empty();
    if (!ok) Fail("after changing to " + type + " the program wrote \"" + written_ + "\"");
  }

  // The device pulled out: it hangs up and its node goes; the modem loses its power.
  void Pull() {
    if (away_) return;
    const bool wasOnLine = OnLine();
    away_ = true;
    ports_->missing.insert("COM1");
    device_->hungUp = true;
    if (form->ComPort.IsOpen()) form->ComPort.NotifyError();
    modem_ = ModemState::Idle;
    waitsForConnect_ = false;
    if (wasOnLine && CallOpen()) Fail("the call goes on after its device was pulled out");
    if (form->ComPort.IsOpen()) Fail("the port of a device that was pulled out stays open");
  }
  // Put back: the program opens it again within a second and starts it up.
  void PlugBack() {
    if (!away_) return;
    away_ = false;
    ports_->missing.clear();
    device_->hungUp = false;
    const std::size_t lines = log_.lines.size();
    written_.clear();
    Ticks(5);
    bool said = false;
    for (std::size_t i = lines; i < log_.lines.size(); ++i)
      said = said || log_.lines[i].find("the device is back") != std::string::npos ||
             log_.lines[i].find("the device is there now") != std::string::npos;
    if (!said) return Fail("the device put back was not opened again within a second");
    if (IsModem() && written_.find("ATZ") == std::string::npos)
      Fail("the modem put back was not started up: \"" + written_ + "\"");
  }

  // The tester rewinds the script: a later first turn is no fault.
  void MarkRewind() {
    FollowJournals();
    if (CallSeen* call = OpenCall(); call && CallOpen())
      call->splits.insert(ScriptTokens(form->MemoASCII->Text()).size());
  }
  void MarkDiscard() { discardAsked_ = true; }

  // ---- the calls, from their journals -------------------------------------------------------

  CallSeen* OpenCall() {
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it)
      if (!it->journalGone) return &*it;
    return nullptr;
  }

  // The journals as they are written: a new one is a new call; what was added to one since the last
  // look says where its record goes and how many characters collided. (Read as appended: a day's
  // calls are long.)
  void FollowJournals() {
    std::set<std::string> present;
    if (fs::exists(JournalFolder()))
      for (const auto& e : fs::directory_iterator(JournalFolder()))
        if (e.path().extension() == ".journal") present.insert(e.path().filename().string());
    for (const std::string& name : present) {
      auto known =
          std::find_if(calls_.begin(), calls_.end(), [&](const CallSeen& c) { return c.journal == name; });
      std::uint64_t& offset = journalRead_[name];
      std::ifstream file(JournalFolder() / name, std::ios::binary);
      file.seekg(static_cast<std::streamoff>(offset));
      std::string added((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      added.resize(added.rfind('\n') == std::string::npos ? 0 : added.rfind('\n') + 1);  // whole lines
      offset += added.size();
      const TJournalContents j = ParseJournal(added);
      if (known == calls_.end()) {
        if (!j.HasCall) {
          offset = 0;  // being written: looked at again whole
          continue;
        }
        CallSeen call;
        call.journal = name;
        call.start = j.Start;
        call.startText = FormatCaptureDateTime(j.Start);
        calls_.push_back(call);
        callsStarted++;
        known = calls_.end() - 1;
      }
      if (!j.Capture.empty()) known->captures.insert(fs::path(j.Capture).filename().string());
      if (added.find("\ncollisions ") != std::string::npos || added.starts_with("collisions "))
        known->collisions = j.Collisions;
    }
    for (CallSeen& call : calls_)
      if (!call.journalGone && !call.journal.empty() && !present.count(call.journal)) call.journalGone = true;
  }

  // ---- checks after every step ----------------------------------------------------------

  void EndStep(const std::string& step) {
    QCoreApplication::processEvents();  // clicks queued for a send that did not come
    steps++;
    CheckBoxes();
    CheckPort();
    ReadRecords();
    FollowJournals();
    CheckCalls();
    CheckView();
    if (form->SendNowButton->isEnabled() && !CallOpen() && !(IsModem() && modem_ != ModemState::Idle))
      Fail("\"Send a line\" is enabled with no call");
    if (typing->isVisible() && !CallOpen()) Fail("the typing window shows a turn with no call");
    discardAsked_ = false;
    boxes.answers.clear();
    if (!typing->isVisible()) typed_ = false;
    if (!failure_.empty()) {
      std::string why = failure_;
      failure_.clear();
      RC_FAIL("after " + step + ": " + why);
    }
  }

  // The end of the day: the program is ended by a signal and started again, and then every call of the
  // day has its record, unless the tester discarded it.
  void EndOfDay() {
    BeginStep();
    Restart(true);
    EndStep("the signal at the end of the day");
    for (std::size_t n = 0; n < calls_.size(); ++n)
      if (calls_[n].records != 1 && !calls_[n].discarded)
        RC_FAIL("call " + std::to_string(n + 1) + " of the day has no record");
    if (fs::exists(JournalFolder()) && !fs::is_empty(JournalFolder()))
      RC_FAIL("a journal is left at the end of the day");
    // Each count of characters that collided was logged once.
    std::int64_t logged = 0, counted = 0;
    for (const std::string& line : log_.lines)
      if (line.find(" from the far end arrived while this side was sending") != std::string::npos)
        logged += std::atoll(line.c_str());
    for (const CallSeen& call : calls_) counted += call.collisions;
    if (logged != counted)
      RC_FAIL("the log counts " + std::to_string(logged) + " characters that collided, the calls " +
              std::to_string(counted));
  }

  void Fail(const std::string& why) {
    if (failure_.empty()) failure_ = why;
  }

  void CheckBoxes() {
    static const std::set<std::string> known = {
        "No name: Please enter your name at the USER: field",
        "Unsaved Data: Discard this call?",
        "Unsaved Data: Save or discard the last call first.",
        "Still on the line: Hang up this call?",
        "Done!: END OF FILE",
        "corvalis_test: Unable to open com port (win error code: 2)",
    };
    std::set<std::string> seen;
    for (std::size_t i = boxesBefore_; i < boxes.calls.size(); ++i) {
      const BoxCall& b = boxes.calls[i];
      std::string box = b.title + ": " + b.text;
      bool fileError = b.icon == TMsgIcon::Error &&
                       (b.text.starts_with("File not found (") || b.text.starts_with("Log directory: "));
      if (!known.count(box) && !fileError) Fail("unexpected box " + box);
      if (!seen.insert(box).second) Fail("box shown twice in one step: " + box);
    }
    boxesBefore_ = boxes.calls.size();
  }

  // What went to the port while no call was open: modem commands and hang-up characters.
  void CheckPort() {
    std::size_t i = 0;
    const std::string& b = idleBytes_;
    while (i < b.size()) {
      if (b[i] == '\x04' || b[i] == '\x15' || b[i] == '\x1B') {
        ++i;
      } else if (b.compare(i, 3, "+++") == 0) {
        i += 3;
      } else if (b.compare(i, 2, "AT") == 0) {
        std::size_t end = b.find('\r', i);
        std::size_t bad = b.find_first_not_of("ATBDEHLSXZ0123456789#= ", i);
        if (end == std::string::npos || bad < end) break;
        i = end + 1;
      } else {
        break;
      }
    }
    if (i < b.size()) Fail("sent with no call open: \"" + b.substr(i, 40) + "\"");
    idleBytes_.clear();
  }

  // New records in the capture files (the log folder, and the home folder where captures go while
  // the capture drive is missing at a start).
  void ReadRecords() {
    for (const std::string& folder : {LogFolder(), HomeFolder()}) {
      for (const auto& entry : fs::directory_iterator(folder)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".TXT") continue;
        const std::string path = entry.path().string();
        std::string& known = files_[path];
        if (entry.file_size() == known.size()) continue;
        std::string now = readFile(path);
        if (now.compare(0, known.size(), known) != 0) Fail("the capture file " + path + " was rewritten");
        std::string added = now.substr(std::min(known.size(), now.size()));
        known = now;
        for (const auto& [started, conversation] : SplitRecords(added))
          AttributeRecord(entry.path().filename().string(), started, conversation);
      }
    }
  }

  static std::vector<std::pair<std::string, std::string>> SplitRecords(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> records;
    std::vector<std::string> lines = SplitLines(text);
    for (std::size_t i = 0; i + 3 < lines.size(); ++i) {
      if (lines[i] != kRule) continue;
      std::size_t ended = i + 3;
      while (ended < lines.size() && !(lines[ended].starts_with("Ended at ") && lines[ended - 1].empty()))
        ++ended;
      std::vector<std::string> conversation(lines.begin() + static_cast<std::ptrdiff_t>(i + 3),
                                            lines.begin() + static_cast<std::ptrdiff_t>(ended - 1));
      records.emplace_back(lines[i + 1], JoinLines(conversation));
    }
    return records;
  }

  void AttributeRecord(const std::string& file, const std::string& started, const std::string& conversation) {
    FollowJournals();
    // Calls that began in the same second are saved in the order they began; a call whose journal is
    // still there has not been saved yet.
    std::size_t n = 0, match = calls_.size();
    for (; n < calls_.size(); ++n) {
      if ("Started at " + calls_[n].startText != started || !calls_[n].journalGone) continue;
      if (match == calls_.size()) match = n;
      if (calls_[n].records == 0) break;
    }
    // Another record of a call already saved is a second save, unless it says something else and
    // began in this step: then it is of a call that came and went unseen.
    const bool thisStep = started == "Started at " + FormatCaptureDateTime(clock_.now);
    if (n == calls_.size() && !(thisStep && match != calls_.size() && calls_[match].record != conversation))
      n = match;
    if (n == calls_.size()) {
      // A call that began and was saved within one step (its journal came and went unseen): it can
      // only be one of this step's.
      if (!thisStep) return Fail("a record of no call seen: " + started);
      CallSeen unseen;
      unseen.startText = started.substr(11);
      unseen.journalGone = true;
      unseen.captures.insert(file);
      calls_.push_back(unseen);
      callsStarted++;
    }
    CallSeen& call = calls_[n];
    call.record = conversation;
    const std::string name = "call " + std::to_string(n + 1);
    if (++call.records > 1) {
      std::string seen;
      for (const CallSeen& c : calls_)
        seen += "\n  " + c.startText + " journal " + c.journal + (c.journalGone ? " (gone)" : "") + ", " +
                std::to_string(c.records) + " records";
      Fail(name + " saved twice; the calls:" + seen + "\n" + file + ":\n" + conversation);
    }
    if (call.discarded) Fail(name + " saved after it was discarded");
    if (!call.captures.count(file) && !MinuteOfTheCall(call, file))
      Fail(name + " saved to " + file + ", not the file its journal named");
    if (call.frozenSeen && conversation != TrimConversationEnd(call.frozen))
      Fail(name + "'s record is not its conversation:\n" + conversation +
           "\n---- the call ended with ----\n" + call.frozen);
    CheckOwnText(n, conversation, "record");
    // Everything in a call follows a speaker's mark: text before the first is another call's.
    // (A bare last mark loses its space as the call's last line is tidied; a hang-up made as the call
    // begins shows its characters and commands without one.)
    if (!conversation.empty() && !conversation.starts_with("SEND:") && !conversation.starts_with("RECD:") &&
        static_cast<unsigned char>(conversation[0]) >= 32 && conversation[0] != '+' &&
        !conversation.starts_with("AT"))
      Fail(name + "'s record begins without a speaker's mark:\n" + conversation);
    for (const std::string& p : Paragraphs(conversation, kSendMark))
      if (!StartsALine(p))
        Fail(name + "'s record has a sent paragraph that starts inside a line: \"SEND: " + p + "\"\n" +
             conversation);
    // What the far end typed while the call was on line is there, but for what the journal counts
    // as having arrived while this side was sending.
    std::int64_t missing = 0;
    std::string which;
    for (const std::string& t : call.typed)
      if (conversation.find(Shown(t)) == std::string::npos) {
        missing += static_cast<std::int64_t>(t.size());
        which += " \"" + t + "\"";
      }
    if (missing != call.collisions)
      Fail(name + "'s record misses " + std::to_string(missing) +
           " characters the far end typed while it was on line" + which + "; its journal counts " +
           std::to_string(call.collisions) + " that arrived while sending:\n" + conversation);
  }

  // A capture file named after a minute of the call, from its start to now: the name its journal gave
  // once the conversation began, written and removed again within one step.
  bool MinuteOfTheCall(const CallSeen& call, const std::string& file) const {
    for (TDateTime t = call.start; t <= clock_.now + std::chrono::minutes(1); t += std::chrono::minutes(1)) {
      std::time_t tt = std::chrono::system_clock::to_time_t(std::min(t, clock_.now));
      std::tm local{};
      localtime_r(&tt, &local);
      if (file == MakeFilePrefix(local) + "-LAB1.TXT") return true;
    }
    return false;
  }

  // The far end's words of this call only, and the script forwards (between rewinds).
  void CheckOwnText(std::size_t n, const std::string& text, const std::string& where) {
    std::vector<int> script;
    for (auto [kind, value] : Tokens(text)) {
      if (kind == 'S') {
        script.push_back(value);
        continue;
      }
      auto owner = farOwner_.find(value);
      if (owner == farOwner_.end() || (owner->second != n && owner->second != std::string::npos))
        Fail("call " + std::to_string(n + 1) + "'s " + where + " holds F" + std::to_string(value) +
             ", typed " +
             (owner == farOwner_.end() ? "never" : "in call " + std::to_string(owner->second + 1)));
    }
    const CallSeen& call = calls_[n];
    for (std::size_t i = 1; i < script.size(); ++i)
      if (script[i] <= script[i - 1] && !call.splits.count(i))
        Fail("call " + std::to_string(n + 1) + "'s " + where + " has the script out of order:\n" + text);
  }
  static std::vector<std::pair<char, int>> ScriptTokens(const std::string& text) {
    auto all = Tokens(text);
    std::erase_if(all, [](const auto& t) { return t.first != 'S'; });
    return all;
  }

  // A journal goes only with its call saved or discarded.
  void CheckCalls() {
    for (std::size_t n = 0; n < calls_.size(); ++n) {
      CallSeen& call = calls_[n];
      if (!call.journalGone || call.records > 0 || call.discarded) continue;
      if (discardAsked_ && n + 1 == calls_.size()) {
        call.discarded = true;
        continue;
      }
      Fail("call " + std::to_string(n + 1) + "'s journal went without its record: the call is lost");
      call.discarded = true;  // said once
    }
  }

  void CheckView() {
    CallSeen* call = OpenCall();
    if (!call) return;
    const std::string view = form->MemoASCII->Text();
    if (form->RecordLogButton->isEnabled()) {  // finished, waiting to be saved
      if (!call->frozenSeen) {
        call->frozenSeen = true;
        call->frozen = WithoutTrailingBreaks(view);
      } else if (WithoutTrailingBreaks(view) != call->frozen) {
        Fail("the finished call's view took new text:\n" + view + "\n---- it ended with ----\n" +
             call->frozen);
      }
    }
    if (CallOpen() || form->RecordLogButton->isEnabled())
      CheckOwnText(static_cast<std::size_t>(call - calls_.data()), view, "view");
  }

  // ---- the lab's things ---------------------------------------------------------------------

  DayFolder root_;
  DaySetup setup_;
  std::string script_, oldHome_;
  FakeBoxes boxes;
  FakeClock clock_;
  FakeDesktop desktop_;
  FakeFileDialogs fileDialogs_;
  FakeLog log_;
  TPlainHandoff handoff_;
  std::shared_ptr<FakePorts> ports_ = std::make_shared<FakePorts>();
  std::shared_ptr<WatchedDevice> device_;
  TFormServices services_;
  std::unique_ptr<TMainForm> form;
  std::unique_ptr<TManualTypeForm> typing;

  long steps = 0;
  long callsStarted = 0;
  long restarts = 0;
  int farCount_ = 0;
  std::map<int, std::size_t> farOwner_;  // far-end word -> the call it was typed in (npos: none)
  std::vector<CallSeen> calls_;
  std::map<std::string, std::string> files_;
  std::map<std::string, std::uint64_t> journalRead_;  // how much of each journal has been read
  std::string idleBytes_, line_, written_, failure_;
  std::size_t boxesBefore_ = 0;
  int ticks_ = 0;
  bool away_ = false;
  bool discardAsked_ = false;
  bool typed_ = false;  // the tester has typed the turn the typing window shows
};

// ---- the steps --------------------------------------------------------------------------------

struct Day {};
using Step = rc::state::Command<Day, Lab>;

// A step as the lab does it: one action, then every check.
template <typename Derived>
struct LabStep : Step {
  void run(const Day&, Lab& lab) const override {
    lab.BeginStep();
    static_cast<const Derived*>(this)->Do(lab);
    std::ostringstream name;
    show(name);
    lab.EndStep(name.str());
  }
};

struct FarText : LabStep<FarText> {
  int ending = *rc::gen::inRange(0, 3);  // none, GA, SK
  bool lineEnd = *rc::gen::weightedElement<bool>({{4, false}, {1, true}});
  void Do(Lab& lab) const {
    if (lab.IsModem() && lab.modem_ != Lab::ModemState::Online) return;  // nobody on the line yet
    lab.Deliver(lab.NextFarWords(ending, lineEnd), true);
  }
  void show(std::ostream& os) const override {
    os << "far end types"
       << (ending == 1   ? " ... GA"
           : ending == 2 ? " ... SK"
                         : " ...")
       << (lineEnd ? " CR LF" : "");
  }
};

struct TesterTypes : LabStep<TesterTypes> {
  void Do(Lab& lab) const {
    if (!lab.typing->isVisible() || lab.typed_) return;
    lab.typed_ = true;  // once for each turn shown
    lab.Deliver(lab.typing->TypingText(), true);
  }
  void show(std::ostream& os) const override { os << "tester types the shown turn"; }
};

struct Ring : LabStep<Ring> {
  void Do(Lab& lab) const {
    if (lab.IsModem() && lab.modem_ != Lab::ModemState::Idle) return;
    lab.Deliver("\r\nRING\r\n", false);
  }
  void show(std::ostream& os) const override { os << "RING"; }
};

struct Connect : LabStep<Connect> {
  bool turbo = *rc::gen::arbitrary<bool>();
  void Do(Lab& lab) const {
    if (!lab.IsModem() || lab.modem_ != Lab::ModemState::Connecting || !lab.Attached()) return;
    lab.modem_ = Lab::ModemState::Online;
    lab.waitsForConnect_ = false;
    lab.Deliver(turbo ? "\r\nCONNECT TURBO\r\n" : "\r\nCONNECT TTY\r\n", false);
  }
  void show(std::ostream& os) const override { os << (turbo ? "CONNECT TURBO" : "CONNECT TTY"); }
};

struct ModemOk : LabStep<ModemOk> {
  void Do(Lab& lab) const {
    if (lab.IsModem()) lab.Deliver("\r\nOK\r\n", false);
  }
  void show(std::ostream& os) const override { os << "OK"; }
};

// The far end hangs up (or a dial finds no answer): the modem says so and is idle again.
struct NoCarrier : LabStep<NoCarrier> {
  void Do(Lab& lab) const {
    if (!lab.IsModem() || lab.modem_ == Lab::ModemState::Idle || !lab.Attached()) return;
    const bool onLine = lab.OnLine();
    lab.modem_ = Lab::ModemState::Idle;
    lab.waitsForConnect_ = false;
    lab.Deliver("\r\nNO CARRIER\r\n", false);
    if (onLine && lab.CallOpen()) lab.Fail("the call goes on after NO CARRIER");
  }
  void show(std::ostream& os) const override { os << "NO CARRIER"; }
};

struct Silence : LabStep<Silence> {
  int ticks = *rc::gen::weightedElement<int>({{6, 1}, {6, 3}, {6, 7}, {4, 12}, {3, 20}, {2, 40}, {1, 160}});
  void Do(Lab& lab) const { lab.Ticks(ticks); }
  void show(std::ostream& os) const override { os << ticks << " ticks"; }
};

enum class Button { StartCall, EndCall, Save, DontSave, SendNow, Reset, HangUp, Dial, Answer };
const char* const kButtonNames[] = {"Start Call", "End Call", "Save this call", "Don't Save", "Send a line",
                                    "Reset",      "Hang Up",  "Dial Now",       "Answer Now"};

// A button pressed (nothing happens when it is disabled), with the answer to any question.
void Press(Lab& lab, Button button, bool yes) {
  TMainForm& f = *lab.form;
  lab.boxes.answers = {yes ? TMsgResult::Ok : TMsgResult::Cancel};
  if (button == Button::EndCall) lab.boxes.answers = {yes ? TMsgResult::Yes : TMsgResult::No};
  QPushButton* buttons[] = {f.StartCallButton, f.EndCallButton, f.RecordLogButton,
                            f.DontSaveButton,  f.SendNowButton, f.ResetButton,
                            f.HangUpButton1,   f.DialButton,    f.AnswerButton};
  QPushButton* b = buttons[static_cast<int>(button)];
  if (!b->isEnabled()) return;
  // Reset, or a press once the script has ended (the counter back at turn 0), start it again.
  if (button == Button::Reset ||
      (button == Button::SendNow && f.TotalLinesLabel->text().contains("turn #0 of")))
    lab.MarkRewind();
  if (button == Button::DontSave && yes) lab.MarkDiscard();
  b->click();
}

struct Click : LabStep<Click> {
  Button button = *rc::gen::weightedElement<Button>({{5, Button::StartCall},
                                                     {5, Button::EndCall},
                                                     {5, Button::Save},
                                                     {2, Button::DontSave},
                                                     {4, Button::SendNow},
                                                     {1, Button::Reset},
                                                     {2, Button::HangUp},
                                                     {2, Button::Dial},
                                                     {2, Button::Answer}});
  bool yes = *rc::gen::weightedElement<bool>({{3, true}, {1, false}});
  void Do(Lab& lab) const { Press(lab, button, yes); }
  void show(std::ostream& os) const override {
    os << kButtonNames[static_cast<int>(button)] << (yes ? "" : " (No/Cancel)");
  }
};

// Clicks, the far end's words and the modem's lines, one to three of them, handled while the main
// timer sends a character.
enum class During { EndCall, StartCall, HangUp, SendNow, FarWords, Ring, NoCarrier };
const char* const kDuringNames[] = {"End Call",      "Start Call", "Hang Up",   "Send a line",
                                    "far end types", "RING",       "NO CARRIER"};

struct DuringSend : LabStep<DuringSend> {
  std::vector<During> what = *rc::gen::container<std::vector<During>>(
      *rc::gen::inRange(1, 4),
      rc::gen::element(During::EndCall, During::StartCall, During::HangUp, During::SendNow, During::FarWords,
                       During::Ring, During::NoCarrier));
  void Do(Lab& lab) const {
    Lab* l = &lab;
    for (During w : what)
      QMetaObject::invokeMethod(
          lab.form.get(),
          [l, w] {
            switch (w) {
              case During::EndCall:
                return Press(*l, Button::EndCall, true);
              case During::StartCall:
                return Press(*l, Button::StartCall, true);
              case During::HangUp:
                return Press(*l, Button::HangUp, true);
              case During::SendNow:
                return Press(*l, Button::SendNow, true);
              case During::FarWords:
                if (!l->IsModem() || l->modem_ == Lab::ModemState::Online)
                  l->Deliver(l->NextFarWords(1, false), true);
                return;
              case During::Ring:
                if (l->IsModem() && l->modem_ == Lab::ModemState::Idle) l->Deliver("\r\nRING\r\n", false);
                return;
              case During::NoCarrier:
                if (l->IsModem() && l->modem_ != Lab::ModemState::Idle) {
                  l->modem_ = Lab::ModemState::Idle;
                  l->waitsForConnect_ = false;
                  l->Deliver("\r\nNO CARRIER\r\n", false);
                }
                return;
            }
          },
          Qt::QueuedConnection);
    lab.Ticks(1);
  }
  void show(std::ostream& os) const override {
    for (std::size_t i = 0; i < what.size(); ++i)
      os << (i ? ", " : "") << kDuringNames[static_cast<int>(what[i])];
    os << " while a character is sent";
  }
};

struct Toggle : LabStep<Toggle> {
  int which = *rc::gen::inRange(0, 6);
  void Do(Lab& lab) const {
    TMainForm& f = *lab.form;
    DaySetup& s = lab.setup_;
    switch (which) {
      case 0:
        f.AutoSaveBox->click();
        s.autoSave = f.AutoSaveBox->isChecked();
        break;
      case 1:
        f.AutoHangUpBox->click();
        s.autoHangUp = f.AutoHangUpBox->isChecked();
        break;
      case 2:
        f.AutoAnsBox->click();
        s.autoAnswer = f.AutoAnsBox->isChecked();
        break;
      case 3:
        (f.CallDirectionLabel1->isChecked() ? f.CallDirectionLabel2 : f.CallDirectionLabel1)->click();
        s.incoming = f.CallDirectionLabel2->isChecked();
        break;
      case 4:  // the tester forgets the name, or fills it in again
        s.userName = f.UserEdit->text().isEmpty();
        f.UserEdit->setText(s.userName ? "Ann" : "");
        break;
      case 5:  // the capture drive is pulled out, or put back
        s.unplugged = !s.unplugged;
        f.Settings.LogDirectory = s.unplugged ? lab.LogFolder() + "/unplugged" : lab.LogFolder();
        break;
    }
  }
  void show(std::ostream& os) const override {
    const char* names[] = {"Auto save",      "Auto end calls", "Auto answer",
                           "call direction", "user name",      "log folder"};
    os << "toggle " << names[which];
  }
};

struct NewDevice : LabStep<NewDevice> {
  std::string device =
      *rc::gen::elementOf(std::vector<std::string>(std::begin(kDevices), std::end(kDevices)));
  void Do(Lab& lab) const { lab.ChangeDevice(device); }
  void show(std::ostream& os) const override { os << "Devices: " << device << ", Ok"; }
};

struct PullDevice : LabStep<PullDevice> {
  void Do(Lab& lab) const { lab.Pull(); }
  void show(std::ostream& os) const override { os << "the device is pulled out"; }
};

struct PlugDeviceBack : LabStep<PlugDeviceBack> {
  void Do(Lab& lab) const { lab.PlugBack(); }
  void show(std::ostream& os) const override { os << "the device is put back"; }
};

// The PC shuts down (a signal) or the program is killed, and the program is started again.
struct Restart : LabStep<Restart> {
  bool signal = *rc::gen::arbitrary<bool>();
  void Do(Lab& lab) const {
    lab.restarts++;
    lab.Restart(signal);
  }
  void show(std::ostream& os) const override {
    os << (signal ? "SIGTERM" : "kill -9") << ", then a new start";
  }
};

template <typename T>
rc::Gen<std::shared_ptr<const Step>> One() {
  return rc::state::gen::execOneOfWithArgs<T>()();
}

rc::Gen<std::shared_ptr<const Step>> NextStep(const Day&) {
  return rc::gen::weightedOneOf<std::shared_ptr<const Step>>({{12, One<FarText>()},
                                                              {4, One<TesterTypes>()},
                                                              {5, One<Ring>()},
                                                              {4, One<Connect>()},
                                                              {2, One<ModemOk>()},
                                                              {1, One<NoCarrier>()},
                                                              {18, One<Silence>()},
                                                              {28, One<Click>()},
                                                              {3, One<DuringSend>()},
                                                              {3, One<Toggle>()},
                                                              {2, One<NewDevice>()},
                                                              {1, One<PullDevice>()},
                                                              {1, One<PlugDeviceBack>()},
                                                              {1, One<Restart>()}});
}

// ---- the test -----------------------------------------------------------------------------------

TEST(CallDay, ManyCallsInARowOnEveryDevice) {
  rc::detail::TestParams params;
  params.seed = 20011018;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  params.maxSuccess = 40;  // the sanitizers look for memory faults; fewer days do
#else
  params.maxSuccess = 100;
#endif
  params.maxSize = 1000;
  const bool own = std::getenv("RC_PARAMS") != nullptr;
  if (own) params = rc::detail::configuration().testParams;

  long steps = 0, calls = 0, days = 0, restarts = 0;
  auto property = [&] {
    DaySetup setup;
    setup.device = *rc::gen::elementOf(std::vector<std::string>(std::begin(kDevices), std::end(kDevices)));
    setup.autoAnswer = *rc::gen::arbitrary<bool>();
    setup.autoHangUp = *rc::gen::arbitrary<bool>();
    setup.autoSave = *rc::gen::arbitrary<bool>();
    setup.incoming = *rc::gen::arbitrary<bool>();
    Lab lab(setup);
    rc::state::check(Day{}, lab, &NextStep);
    lab.EndOfDay();
    steps += lab.steps;
    calls += lab.callsStarted;
    restarts += lab.restarts;
    ++days;
  };
  ASSERT_TRUE(kit::testing::PropertyHolds("CallDay/ManyCallsInARowOnEveryDevice", params, property));
  std::cout << days << " days, " << steps << " steps, " << calls << " calls, " << restarts
            << " restarts (seed " << params.seed << ")\n";
  if (!own) {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_GE(steps, 10000);
    EXPECT_GE(calls, 500);
#endif
  }
}

}  // namespace
}  // namespace corvalis::testing
