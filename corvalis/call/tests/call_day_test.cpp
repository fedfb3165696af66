// A day of calls at random: the real window (offscreen, timers driven by the test, a fake serial
// device) through long sequences of what happens in a lab, checked after every step:
// - a finished call is saved once, or discarded by Don't Save, and never wiped by the next call;
// - each capture record holds its own call's text only, in order, in its own file;
// - nothing but modem commands reaches the port while no call is on line;
// - the view of a finished call takes no new text, and what the far end types during a call
//   shows (unless a line is being sent or the modem has not connected yet);
// - "Send a line" is off and the typing window hidden when no call needs them;
// - no box is shown twice in one step and none tells of an unexpected error.
// A failure is shrunk to a shortest sequence of steps. RC_PARAMS (for example
// RC_PARAMS="seed=7 max_success=2000 max_size=800") runs other seeds and longer days.
#include <rapidcheck.h>
#include <rapidcheck/state.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "call/conversation_text.h"
#include "call/conversation_view.h"
#include "call/manualtype.h"
#include "records/calllog.h"
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

// A call as the test has seen it.
struct CallSeen {
  TDateTime start;
  std::string startText;  // as the record's "Started at" line gives it
  std::string prefix;     // the file name's date and time, once the conversation began
  std::string frozen;     // the view when the call was first seen ended
  bool frozenSeen = false;
  std::set<std::size_t> splits;  // script token counts at which the script was legitimately rewound
  int records = 0;
  bool discarded = false;
};

// The flags and the direction of a day.
struct DaySetup {
  std::string device;
  bool autoAnswer, autoHangUp, autoSave, incoming;
};

// The serial device, watched: what the program writes, and whether a call was on line then.
class WatchedDevice : public FakeDevice {
 public:
  std::function<void(const std::string&)> onWrite;
  int Write(const char* data, std::size_t size, std::size_t& done) override {
    if (onWrite) onWrite(std::string(data, size));
    return FakeDevice::Write(data, size, done);
  }
};

class Lab {
 public:
  explicit Lab(const DaySetup& setup) {
    App();
    setenv("CORVALIS_REGISTRY_DIR", (root_.path() / "registry").c_str(), 1);
    setenv("CORVALIS_STATE_DIR", (root_.path() / "state").c_str(), 1);
    fs::create_directories(LogFolder());
    auto device = std::make_shared<WatchedDevice>();
    device->onWrite = [this](const std::string& bytes) { OnWrite(bytes); };
    ports_->device = device;
    services_.MessageBoxes = &boxes;
    services_.Clock = &clock_;
    services_.Desktop = &desktop_;
    services_.Handoff = &handoff_;
    services_.PortSystem = ports_;
    services_.LiveTimers = false;
    services_.FileDialogs = &fileDialogs_;
    form = std::make_unique<TMainForm>(services_);
    typing = std::make_unique<TManualTypeForm>();
    form->ManualTypeForm = typing.get();
    form->FormShow(form.get());

    TWindowSettings& s = form->Settings;
    s.DeviceType = setup.device;
    s.LogDirectory = LogFolder();
    s.ComputerID = "LAB1";
    s.UserName = "Ann";
    s.Location = "Lab 2";
    s.CableID = "C7";
    s.PhoneModel = "P1";
    s.PhoneTech = "GSM";
    form->UserEdit->setText("Ann");
    form->DialNumEdit->setText("5551234");
    form->ScriptFileNameEdit->setText(QString::fromStdString(root_.write("script.txt", kScript)));
    (setup.incoming ? form->CallDirectionLabel2 : form->CallDirectionLabel1)->setChecked(true);
    form->AutoAnsBox->setChecked(setup.autoAnswer);
    form->AutoHangUpBox->setChecked(setup.autoHangUp);
    form->AutoSaveBox->setChecked(setup.autoSave);
    form->SetBaud();
    form->InitializeModem();
    EndStep("start-up");
  }
  ~Lab() {
    form.reset();
    typing.reset();
    unsetenv("CORVALIS_REGISTRY_DIR");
    unsetenv("CORVALIS_STATE_DIR");
  }

  std::string LogFolder() const { return (root_.path() / "captures").string(); }
  bool IsModem() const { return DeviceTypeIsModem(form->Settings.DeviceType); }

  // ---- what the lab does ------------------------------------------------------------------

  void BeginStep() {
    clock_.now += std::chrono::seconds(1);
    boxesBefore_ = boxes.calls.size();
  }

  // Characters from the device: the far end's words (checked to show while a call captures),
  // or the modem's lines.
  void Deliver(const std::string& bytes, bool farText) {
    const TCallEngineState& st = form->State;
    const bool capturing = st.CallActive && !st.AwaitingConnect && !st.Sending;
    const std::size_t call = st.CallActive ? calls_.size() - 1 : std::string::npos;
    ports_->device->incoming += bytes;
    form->ComPort.OnRxChar(&form->ComPort, static_cast<std::int32_t>(ports_->device->incoming.size()));
    if (!farText) return;
    for (auto [kind, n] : Tokens(bytes))
      if (kind == 'F') farOwner_[n] = call;
    if (capturing && form->MemoASCII->Text().find(bytes) == std::string::npos)
      Fail("the far end's \"" + bytes + "\" does not show in the call");
  }
  std::string NextFarWords(int ending) {
    std::string words = "F" + std::to_string(++farCount_);
    if (ending == 1) words += " GA";
    if (ending == 2) words += " SK";
    return words;
  }

  void Ticks(int n) {
    for (int i = 0; i < n; ++i) {
      clock_.now += std::chrono::milliseconds(200);
      form->MainTimer.Fire();
      if (++ticks_ % 10 == 0 && form->ATCommandTimer.Enabled()) form->ATCommandTimer.Fire();
    }
  }

  // The modem as far as the lab knows it: whether it dials or answers, or is connected.
  void OnWrite(const std::string& bytes) {
    const TCallEngineState& st = form->State;
    if (!st.CallActive && !st.OnLine) idleBytes_ += bytes;
    for (char c : bytes) {
      if (c == '\x04' || c == '\x15' || c == '\x1B') modem_ = ModemState::Idle;
      if (c != '\r') {
        written_ += c;
        continue;
      }
      std::string line = written_;
      written_.clear();
      line.erase(0, line.find_first_not_of('+'));
      if (!line.starts_with("AT")) continue;
      if (line.ends_with("A") || line.find("DT") != std::string::npos) modem_ = ModemState::Connecting;
      if (line == "ATH" || line.starts_with("ATZ")) modem_ = ModemState::Idle;
    }
  }
  enum class ModemState { Idle, Connecting, Online };
  ModemState modem_ = ModemState::Idle;

  void ChangeDevice(const std::string& type) {
    if (!form->TabVisible(form->DevicesSheet)) return;
    form->SetActiveSheet(form->DevicesSheet);
    for (QRadioButton* b : {form->CompactButton, form->Q90Button, form->NXiButton, form->Intelemodem300Button,
                            form->Intelemodem2400Button, form->SupercomButton})
      if (b->text().toStdString() == type) b->setChecked(true);
    form->DeviceOkButton->setEnabled(true);
    form->DeviceOkButton->click();
    modem_ = ModemState::Idle;
    // The new device's own initialisation runs, or nothing at all: no step of the old one.
    const std::uint16_t step = form->State.ATStep;
    const bool initialising = form->ATCommandTimer.Enabled();
    if (!DeviceTypeIsModem(type) && initialising)
      Fail("an AT command sequence goes on after changing to " + type);
    if (DeviceTypeIsModem(type) && !(initialising && (step == 10 || step == 20 || step == 30)))
      Fail("the modem's initialisation does not run after changing to " + type);
  }

  // The tester rewinds the script: a later first turn is no fault.
  void MarkRewind() {
    if (calls_.empty() || !form->State.CallActive) return;
    calls_.back().splits.insert(ScriptTokens(form->MemoASCII->Text()).size());
  }
  void MarkDiscard() { discardAsked_ = true; }

  // ---- checks after every step ----------------------------------------------------------

  void EndStep(const std::string& step) {
    QCoreApplication::processEvents();  // clicks queued for a send that did not come
    steps++;
    CheckBoxes();
    CheckPort();
    ReadRecords();
    FollowCalls();
    CheckView();
    const TCallEngineState& st = form->State;
    if (form->SendNowButton->isEnabled() && !st.OnLine)
      Fail("\"Send a line\" is enabled with no call on line");
    if (typing->isVisible() && !st.CallActive) Fail("the typing window shows a turn with no call");
    discardAsked_ = false;
    boxes.answers.clear();
    if (!typing->isVisible()) typed_ = false;
    if (!failure_.empty()) {
      std::string why = failure_;
      failure_.clear();
      RC_FAIL("after " + step + ": " + why);
    }
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
    };
    std::set<std::string> seen;
    for (std::size_t i = boxesBefore_; i < boxes.calls.size(); ++i) {
      const BoxCall& b = boxes.calls[i];
      std::string box = b.title + ": " + b.text;
      bool fileError = b.icon == TMsgIcon::Error && b.text.starts_with("File not found (");
      if (!known.count(box) && !fileError) Fail("unexpected box " + box);
      if (!seen.insert(box).second) Fail("box shown twice in one step: " + box);
    }
    boxesBefore_ = boxes.calls.size();
  }

  // What went to the port while no call was on line: modem commands and hang-up characters.
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
    if (i < b.size()) Fail("sent with no call on line: \"" + b.substr(i, 40) + "\"");
    idleBytes_.clear();
  }

  // New records in the capture files: each of a call seen, once, in the file of its minute,
  // holding that call's text and nothing else.
  void ReadRecords() {
    if (!fs::exists(LogFolder())) return;
    for (const auto& entry : fs::directory_iterator(LogFolder())) {
      const std::string path = entry.path().string();
      const std::uintmax_t size = entry.file_size();
      std::string& known = files_[path];
      if (size == known.size()) continue;
      std::string now = readFile(path);
      if (now.compare(0, known.size(), known) != 0) Fail("the capture file " + path + " was rewritten");
      std::string added = now.substr(std::min(known.size(), now.size()));
      known = now;
      for (const auto& [started, conversation] : SplitRecords(added))
        AttributeRecord(entry.path().filename().string(), started, conversation);
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
    std::size_t n = 0;
    while (n < calls_.size() && "Started at " + calls_[n].startText != started) ++n;
    if (n == calls_.size()) return Fail("a record of no call seen: " + started);
    CallSeen& call = calls_[n];
    if (++call.records > 1) Fail("call " + std::to_string(n + 1) + " saved twice");
    if (call.discarded) Fail("call " + std::to_string(n + 1) + " saved after it was discarded");
    if (!call.prefix.empty() && !file.starts_with(call.prefix + "-"))
      Fail("call " + std::to_string(n + 1) + " saved to " + file + ", its name was " + call.prefix);
    if (call.frozenSeen && conversation != TrimConversationEnd(call.frozen))
      Fail("call " + std::to_string(n + 1) + "'s record is not its conversation:\n" + conversation +
           "\n---- the call ended with ----\n" + call.frozen);
    CheckOwnText(n, conversation, "record");
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
      if (owner == farOwner_.end() || owner->second != n)
        Fail("call " + std::to_string(n + 1) + "'s " + where + " holds F" + std::to_string(value) +
             ", typed " + (owner == farOwner_.end() ? "never" : "outside it"));
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

  // A call starts when Start Call sets its time; the one before must be saved or discarded.
  void FollowCalls() {
    const TCallEngineState& st = form->State;
    if (!calls_.empty()) {
      CallSeen& last = calls_.back();
      if (!st.UnsavedCall && last.records == 0 && !last.discarded && st.CallStartTime == last.start) {
        if (discardAsked_)
          last.discarded = true;
        else
          Fail("call " + std::to_string(calls_.size()) + " counts as saved but has no record");
      }
    }
    if (st.UnsavedCall && (calls_.empty() || st.CallStartTime != calls_.back().start)) {
      if (!calls_.empty()) {
        const CallSeen& last = calls_.back();
        if (last.records == 0 && !last.discarded)
          Fail("call " + std::to_string(calls_.size()) + " was wiped by the next call unsaved");
      }
      CallSeen call;
      call.start = st.CallStartTime;
      call.startText = FormatCaptureDateTime(st.CallStartTime);
      calls_.push_back(call);
      callsStarted++;
    }
  }

  void CheckView() {
    if (calls_.empty()) return;
    const TCallEngineState& st = form->State;
    CallSeen& call = calls_.back();
    if (!st.UnsavedCall) return;
    const std::string view = form->MemoASCII->Text();
    if (!st.CallStartPending) {
      if (call.prefix.empty()) call.prefix = st.FilePrefix;
      if (st.FilePrefix != call.prefix)
        Fail("call " + std::to_string(calls_.size()) + "'s file name changed from " + call.prefix + " to " +
             st.FilePrefix);
    }
    if (st.DisplayFrozen) {
      if (!call.frozenSeen) {
        call.frozenSeen = true;
        call.frozen = WithoutTrailingBreaks(view);
      } else if (WithoutTrailingBreaks(view) != call.frozen) {
        Fail("the finished call's view took new text:\n" + view + "\n---- it ended with ----\n" +
             call.frozen);
      }
    }
    CheckOwnText(calls_.size() - 1, view, "view");
  }

  // ---- the lab's things ---------------------------------------------------------------------

  kit::testing::TempDir root_;
  FakeBoxes boxes;
  FakeClock clock_;
  FakeDesktop desktop_;
  FakeFileDialogs fileDialogs_;
  TPlainHandoff handoff_;
  std::shared_ptr<FakePorts> ports_ = std::make_shared<FakePorts>();
  TFormServices services_;
  std::unique_ptr<TMainForm> form;
  std::unique_ptr<TManualTypeForm> typing;

  long steps = 0;
  long callsStarted = 0;
  int farCount_ = 0;
  std::map<int, std::size_t> farOwner_;  // far-end word -> the call it was typed in (npos: none)
  std::vector<CallSeen> calls_;
  std::map<std::string, std::string> files_;
  std::string idleBytes_, written_, failure_;
  std::size_t boxesBefore_ = 0;
  int ticks_ = 0;
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
    std::string words = lab.NextFarWords(ending);
    lab.Deliver(words, true);
    if (lineEnd) lab.Deliver("\r\n", false);
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
    if (!lab.IsModem() || lab.modem_ != Lab::ModemState::Connecting) return;
    lab.modem_ = Lab::ModemState::Online;
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
  if (button == Button::Reset || (button == Button::SendNow && f.State.ScriptCompleted)) lab.MarkRewind();
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

// A click, or the far end's words, handled while the main timer sends a character.
struct DuringSend : LabStep<DuringSend> {
  int what = *rc::gen::inRange(0, 4);  // End Call, Hang Up, Send a line, far-end words
  void Do(Lab& lab) const {
    Lab* l = &lab;
    int w = what;
    QMetaObject::invokeMethod(
        lab.form.get(),
        [l, w] {
          if (w == 0) Press(*l, Button::EndCall, true);
          if (w == 1) Press(*l, Button::HangUp, true);
          if (w == 2) Press(*l, Button::SendNow, true);
          if (w == 3 && (!l->IsModem() || l->modem_ == Lab::ModemState::Online))
            l->Deliver(l->NextFarWords(1), true);
        },
        Qt::QueuedConnection);
    lab.Ticks(1);
  }
  void show(std::ostream& os) const override {
    const char* names[] = {"End Call", "Hang Up", "Send a line", "far end types"};
    os << names[what] << " while a character is sent";
  }
};

struct Toggle : LabStep<Toggle> {
  int which = *rc::gen::inRange(0, 6);
  void Do(Lab& lab) const {
    TMainForm& f = *lab.form;
    switch (which) {
      case 0:
        f.AutoSaveBox->click();
        break;
      case 1:
        f.AutoHangUpBox->click();
        break;
      case 2:
        f.AutoAnsBox->click();
        break;
      case 3:
        (f.CallDirectionLabel1->isChecked() ? f.CallDirectionLabel2 : f.CallDirectionLabel1)->click();
        break;
      case 4:  // the tester forgets the name, or fills it in again
        f.UserEdit->setText(f.UserEdit->text().isEmpty() ? "Ann" : "");
        break;
      case 5:  // the capture drive is pulled out, or put back
        f.Settings.LogDirectory =
            f.Settings.LogDirectory == lab.LogFolder() ? lab.LogFolder() + "/unplugged" : lab.LogFolder();
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
                                                              {18, One<Silence>()},
                                                              {28, One<Click>()},
                                                              {3, One<DuringSend>()},
                                                              {3, One<Toggle>()},
                                                              {2, One<NewDevice>()}});
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

  long steps = 0, calls = 0, days = 0;
  auto property = [&] {
    DaySetup setup;
    setup.device = *rc::gen::elementOf(std::vector<std::string>(std::begin(kDevices), std::end(kDevices)));
    setup.autoAnswer = *rc::gen::arbitrary<bool>();
    setup.autoHangUp = *rc::gen::arbitrary<bool>();
    setup.autoSave = *rc::gen::arbitrary<bool>();
    setup.incoming = *rc::gen::arbitrary<bool>();
    Lab lab(setup);
    rc::state::check(Day{}, lab, &NextStep);
    steps += lab.steps;
    calls += lab.callsStarted;
    ++days;
  };
  rc::detail::TestMetadata metadata;
  metadata.id = "CallDay/ManyCallsInARowOnEveryDevice";
  const auto result = rc::detail::checkProperty(rc::detail::toProperty(property), metadata, params);
  std::ostringstream message;
  rc::detail::printResultMessage(result, message);
  ASSERT_TRUE(result.template is<rc::detail::SuccessResult>())
      << message.str() << "\nseed=" << params.seed << " (RC_PARAMS=\"seed=" << params.seed
      << " max_success=" << params.maxSuccess << " max_size=" << params.maxSize << "\" repeats it)";
  std::cout << days << " days, " << steps << " steps, " << calls << " calls (seed " << params.seed << ")\n";
  if (!own) {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_GE(steps, 10000);
    EXPECT_GE(calls, 500);
#endif
  }
}

}  // namespace
}  // namespace corvalis::testing
