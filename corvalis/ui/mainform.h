// SPDX-License-Identifier: Apache-2.0
#pragma once
// The main window MainForm: the controls, the serial port, the two timers, the tester's
// settings and the call-engine state, and the operations of the call engine as members.
// Definitions are grouped by subsystem: start-up and layout in corvalis/ui/, the call
// engine in corvalis/call/, the call log in corvalis/records/.
#include <QWidget>
#include <bitset>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "call/port_watch.h"
#include "call/call_engine.h"
#include "call/conversation.h"
#include "call/engine_state.h"
#include "records/call_times.h"
#include "serial/comport.h"
#include "ui/services.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QTabWidget;

namespace corvalis {

class TMemo;
class TManualTypeForm;
class TDriveComboBox;
class TDirectoryListBox;
class TCallJournal;
enum class TJournalSync;

// What the window is given from outside. Null services get the real ones.
struct TFormServices {
  IMessageBoxes* MessageBoxes = nullptr;
  IClock* Clock = nullptr;
  IDesktop* Desktop = nullptr;
  // Serial port: the main-thread hand-off (required) and the device layer (null: Linux).
  TMainThreadHandoff* Handoff = nullptr;
  std::shared_ptr<TComSystem> PortSystem;
  // False for tests: timers only record whether they are enabled, and the test runs
  // MainTimerTimer and ATCommandTimerTimer itself.
  bool LiveTimers = true;
  // The address the About sheet's download-site label opens.
  std::string DownloadSite;
  IFileDialogs* FileDialogs = nullptr;
  // Where every message box and error is also written, one line each (null: standard error).
  ILog* Log = nullptr;
  // How long the start waits for the calls a kill or a power cut left behind to be recovered; past
  // it (their storage does not answer: a hung network mount) the window goes on without them.
  int RecoveryWaitMs = 5000;
};

class TMainForm : public QWidget, private ICallWindow {
 public:
  explicit TMainForm(const TFormServices& services, QWidget* parent = nullptr);
  ~TMainForm() override;

  // ---- controls -------------------------------------------------------------------------
  QTabWidget* TabControl = nullptr;
  QWidget* ConditionsSheet = nullptr;
  QWidget* DevicesSheet = nullptr;
  QWidget* InCallsSheet = nullptr;
  QWidget* FilesSheet = nullptr;
  QWidget* AboutSheet = nullptr;

  // Conditions
  QRadioButton* TestTypeLabel1 = nullptr;
  QRadioButton* TestTypeLabel2 = nullptr;
  QRadioButton* TestTypeLabel3 = nullptr;
  QRadioButton* TestTypeLabel4 = nullptr;
  QRadioButton* TestTypeLabel5 = nullptr;
  QRadioButton* TestTypeLabel6 = nullptr;
  QRadioButton* CallDirectionLabel1 = nullptr;
  QRadioButton* CallDirectionLabel2 = nullptr;
  QGroupBox* SignalStrengthBox = nullptr;
  QRadioButton* SignalLabel1 = nullptr;
  QRadioButton* SignalLabel2 = nullptr;
  QRadioButton* SignalLabel3 = nullptr;
  QRadioButton* SignalLabel4 = nullptr;
  QLineEdit* OtherEdit = nullptr;
  QLineEdit* UserEdit = nullptr;
  QLineEdit* LocationEdit = nullptr;
  QLineEdit* NetworkInfoEdit = nullptr;
  QLabel* CableLabel = nullptr;
  QLabel* ModelLabel = nullptr;
  QLabel* TechLabel = nullptr;
  QLineEdit* CableIDEdit = nullptr;
  QLineEdit* ModelEdit = nullptr;
  QLineEdit* TechEdit = nullptr;
  QPushButton* DontSaveButton = nullptr;
  QPushButton* RecordLogButton = nullptr;

  // Devices
  QLabel* DeviceLabel = nullptr;
  QRadioButton* CompactButton = nullptr;
  QRadioButton* Q90Button = nullptr;
  QRadioButton* NXiButton = nullptr;
  QRadioButton* Intelemodem300Button = nullptr;
  QRadioButton* Intelemodem2400Button = nullptr;
  QRadioButton* SupercomButton = nullptr;
  QGroupBox* SerialPortBox = nullptr;
  QRadioButton* Com1Button = nullptr;
  QRadioButton* Com2Button = nullptr;
  QRadioButton* Com3Button = nullptr;
  QRadioButton* Com4Button = nullptr;
  QRadioButton* Com5Button = nullptr;
  QRadioButton* Com6Button = nullptr;
  QPushButton* DeviceOkButton = nullptr;
  QPushButton* DeviceCancelButton = nullptr;
  QCheckBox* TurboCheckBox = nullptr;

  // Call Functions
  QLineEdit* DialNumEdit = nullptr;
  QPushButton* DialButton = nullptr;
  QPushButton* HangUpButton1 = nullptr;
  QCheckBox* AutoAnsBox = nullptr;
  QPushButton* AnswerButton = nullptr;
  QPushButton* HangUpButton2 = nullptr;
  QCheckBox* AutoSaveBox = nullptr;
  QCheckBox* AutoHangUpBox = nullptr;
  QLabel* SendingInfoLine = nullptr;
  QCheckBox* AutoSendBox = nullptr;
  QLabel* TotalLinesLabel = nullptr;
  QPushButton* SendNowButton = nullptr;
  QPushButton* ResetButton = nullptr;

  // Files
  QLineEdit* ScriptFileNameEdit = nullptr;
  QPushButton* ScriptFolderButton = nullptr;
  QPushButton* ViewScriptButton = nullptr;
  TDriveComboBox* DriveComboBox1 = nullptr;
  TDirectoryListBox* DirectoryListBox = nullptr;
  QLabel* LogDirectoryCaption = nullptr;
  QFrame* ComputerIDPanel = nullptr;
  QLineEdit* ComputerIDEdit = nullptr;

  // About
  QLabel* TitleVersionString = nullptr;
  QLabel* Label20 = nullptr;

  // The row below the sheets and the conversation view
  QPushButton* ClearButton = nullptr;
  QLabel* ClockString = nullptr;
  QLabel* RecordLabel = nullptr;
  QFrame* NxiSoundPanel = nullptr;
  QLabel* SoundLEDLabel = nullptr;
  QFrame* SoundLightPanel = nullptr;
  QPushButton* StartCallButton = nullptr;
  QPushButton* EndCallButton = nullptr;
  TMemo* MemoASCII = nullptr;

  // ---- non-visual parts -------------------------------------------------------------------
  TTimer MainTimer;
  TTimer ATCommandTimer;
  // Looks, while a recovery still runs past the start, whether it has ended.
  TTimer RecoveryTimer;
  TComPort ComPort;
  TManualTypeForm* ManualTypeForm = nullptr;  // set by the program entry

  // ---- state ------------------------------------------------------------------------------
  TWindowSettings Settings;
  TCallEngineState State;
  // The call's text: receiving and sending write it, MemoASCII shows it, the journal and saving
  // read it.
  TConversation Conversation;
  // Receiving and sending (call/call_engine.h); the handlers below hand their work to it.
  TCallEngine Engine{State, Conversation, Settings, ComPort, *this};
  // When each character of the call was written to the port or delivered by it.
  TCallTimes CallTimes;

  // ---- start-up, layout, tabs (ui/) --------------------------------------------------------
  void FormCreate(QObject* Sender);
  void FormShow(QObject* Sender);
  void FormCloseQuery(QObject* Sender, bool& CanClose);
  // The program is asked to end (SIGTERM, SIGHUP, SIGINT) and nobody may be there to answer a
  // box: a finished call not saved yet is saved, the window closes the orderly way (the settings
  // are saved) and the port is closed. Boxes are only logged from here on.
  void CloseOnSignal(int Signal);
  void TabHighlights();
  bool TabHighlighted(QWidget* Sheet) const;
  void TabControlChange(QObject* Sender);
  void FilesUpdate();
  void DirectoryListBoxChange(QObject* Sender);
  void ScriptFolderButtonClick(QObject* Sender);
  void ViewScriptButtonClick(QObject* Sender);
  void Label20Click(QObject* Sender);
  // Shows a sheet's tab or hides it.
  void SetTabVisible(QWidget* Sheet, bool Visible);
  bool TabVisible(QWidget* Sheet) const;
  // Makes a sheet the active one (runs TabControlChange when it changes).
  void SetActiveSheet(QWidget* Sheet);

  // ---- device classification ---------------------------------------------------------------
  bool DeviceIsModem() const { return DeviceTypeIsModem(Settings.DeviceType); }
  bool DeviceIsBiDirectional() const { return DeviceTypeIsBiDirectional(Settings.DeviceType); }

  // ---- receive path (the call engine's; ui/call_window.cpp hands it on) ---------------------
  void ComPortRxChar(TComPort* Sender, std::int32_t Count);
  void CheckLastLineAction();
  // Where a received line begins, for the counts a modem's result line takes back.
  void MarkLineStart();
  void CleanUpLastMemoLine();
  void MakeMemoGoToEnd(TMemo* Memo);

  // ---- send path and conversation view (the call engine's; ui/call_window.cpp) -------------
  void SendToMemoAndPort(const std::string& Str, bool NoEcho);
  void SendText(const std::string& Str, bool NoEcho, std::uint32_t Sequence);
  // Lets pending events run, then writes (nothing when the port is closed).
  void SendToPort(const std::string& Str);
  void LetEventsRun();
  void WriteToPort(const std::string& Str);
  void BreakLinesInMemo(bool ForSend);
  void MemoASCIIKeyPress(QObject* Sender, char Key);
  void ClearButtonClick(QObject* Sender);

  // ---- call lifecycle and main timer (ui/mainform_lifecycle.cpp) --------------------------------
  void StartCallButtonClick(QObject* Sender);
  void EndCallButtonClick(QObject* Sender);
  void MainTimerTimer(QObject* Sender);
  void ResetAutoHangUpTicks(QObject* Sender);
  void AutoAnsBoxClick(QObject* Sender);
  void AutoHangUpBoxClick(QObject* Sender);
  // End Call after its hang-up decision: the capture ends and the call waits to be saved.
  void CloseCall();
  // The save that AutoSave makes: a failure is shown once and leaves the call unsaved.
  void AutoSaveCall();
  // A dial, an answer or a new call ends what is left of a running AT command sequence.
  void StopCommandSequence();
  // Whether a new call may start: with a call neither saved nor discarded, AutoSave ends and
  // saves it first; without AutoSave nothing starts, and a press (ByHand) says why.
  bool ReadyForNewCall(bool ByHand);

  // ---- endings that do not wait for the tester (ui/mainform_endings.cpp) ------------------------
  // Ends the call that is open (in progress, or hung up and still open) without a hang-up sequence
  // (the line is down, the device gone or the program closing) and saves it when Auto save is on,
  // or with SaveRegardless always; one log line says what became of it, where and Why.
  void EndOpenCall(const std::string& Why, bool SaveRegardless);
  // A modem's result line that ends a connection or an attempt at one (NO CARRIER, BUSY, ...).
  void ConnectionLost(const std::string& Result);
  // The port's error event: a device that hung up or vanished is gone.
  void ComPortError(TComPort* Sender, TComErrors Errors);
  // The device behind the port has gone: said once, the call ended and saved, the port closed and
  // watched for the device to come back.
  void PortGone(int SystemError, const std::string& How);
  // Opens the port; when its device is not there (yet), the port is watched and opened when it comes.
  void OpenPort();
  // Once a second: whether the open port's device is still the one behind the port's name, and
  // whether a device that has gone is back (then it is opened again and initialised).
  void WatchPort();
  bool PortWatched() const { return portWatch_->Watched(); }

  // ---- call journal (ui/mainform_journal.cpp) ---------------------------------------------------
  // Appends to the conversation (which the view shows); while a call is unsaved, also to its journal.
  void ViewAppend(const std::string& Bytes);
  // Shows a change of the conversation in MemoASCII and follows it in the journal.
  void ConversationChanged(TConversation::TChange Change, std::string_view Bytes);
  // A new call's journal: what its record will hold goes there as it happens.
  void JournalStart();
  // Brings the journal up to date (values, capture file, turbo code, collisions; with Full the whole
  // conversation) and writes it, with the time while the call goes on; with Sync to the disk too
  // (once a second, and as the call ends).
  // Sync: how far the journal's lines go (TJournalSync); None when not given.
  void JournalSync(bool Full = false, std::optional<TJournalSync> Sync = std::nullopt);
  // The call has ended (CallEndTime): said in the journal, on disk.
  void JournalEnded();
  // A record is about to be appended to the capture file: said in the journal, on disk, so that a
  // save that went through is not made again from the journal.
  void JournalSaving();
  // The call is saved, or discarded by the tester: its journal goes.
  void JournalRemove();
  // The journal of the unsaved call; empty when there is none.
  std::string JournalPath() const;
  // At start-up: calls that a kill, a crash or a power cut left in journals become records.
  void RecoverCalls();
  // What a recovery found, in the log (on the window's thread).
  struct TRecoveryJob;
  void ReportRecovery(TRecoveryJob& Job);
  void RecoveryTimerTimer();
  std::shared_ptr<TRecoveryJob> recovery_;  // a recovery still running after the start
  int recoveryWaitMs_ = 5000;

  // ---- call log (ui/mainform_calllog.cpp) -------------------------------------------------------
  // A field the record needs and the settings lack: the box that asks for it.
  struct TMissingField {
    std::string Title, Text;
    TMsgIcon Icon = TMsgIcon::Warning;
    bool ComputerID = false;  // the Files sheet is shown with the field marked
  };
  enum class TSaveOutcome { Saved, NothingToSave, MissingField, FileError };
  struct TSaveResult {
    TSaveOutcome Outcome = TSaveOutcome::NothingToSave;
    TMissingField Missing;     // MissingField
    std::exception_ptr Error;  // FileError: the record could not be written
  };
  // Saves the ended call: its record, then its times beside it, and the window ready for the next
  // call. Nothing to save when no call has ended; a missing field or a record that cannot be
  // written leaves the call unsaved, with its conversation, to be saved again. Shows nothing but
  // a failure to save the times (the record is saved all the same).
  TSaveResult SaveCall();
  // Asks for a missing field: the Computer ID's is marked on the Files sheet; the box when Box.
  void AskForField(const TMissingField& Missing, bool Box);
  // Save this call: SaveCall, with a missing field asked for and a write error shown.
  void RecordLogButtonClick(QObject* Sender);
  void DontSaveButtonClick(QObject* Sender);
  void CreateFilePrefix();
  void AddToFile(const std::string& Line);
  void AutoSaveBoxClick(QObject* Sender);
  // Path of the capture file of the current call.
  std::string CaptureFilePath() const;

  // ---- the times of the call's characters (ui/mainform_call_times.cpp) --------------------------
  // Appends the saved call's times to the timing file beside its capture file; "" or why not.
  std::string SaveCallTimes();
  // Says that the times could not be saved: a box the first time for each reason, else the log.
  void ReportCallTimesFailure(const std::string& Why);

  // ---- script engine (ui/mainform_script.cpp) ---------------------------------------------------
  void SendNowButtonClick(QObject* Sender);
  void CheckScriptEnd();
  void UpdateCounter();
  void ResetButtonClick(QObject* Sender);
  void ResetCounter();
  void UpdateTotalLines();
  void ScriptFileNameEditChange(QObject* Sender);
  void EnableDisableScriptBox(bool Enable);
  void AutoSendBoxClick(QObject* Sender);

  // ---- modem control (ui/mainform_modem.cpp) ----------------------------------------------------
  void DialButtonClick(QObject* Sender);
  void AnswerButtonClick(QObject* Sender);
  void HangUpButton1Click(QObject* Sender);
  void AnsweringPart2();
  void ATCommandTimerTimer(QObject* Sender);
  void InitializeModem();
  void UpdateModemButtons();
  void EnableDisableModemBox(bool Enable);
  void DialNumEditChange(QObject* Sender);

  // ---- manual typing window ---------------------------------------------------------------
  bool TypingWindowVisible() const;
  void HideTypingWindow();

  // ---- settings store (ui/mainform_settings.cpp) ------------------------------------------------
  void LoadConfig();
  void SaveConfig();

  // ---- test conditions (ui/mainform_settings.cpp) -----------------------------------------------
  void TestTypeLabelClick(QRadioButton* Button);
  void CallDirectionLabelClick(QRadioButton* Button);
  void SignalLabelClick(QRadioButton* Button);
  void UserEditChange(QObject* Sender);
  void LocationEditChange(QObject* Sender);
  void NetworkInfoEditChange(QObject* Sender);
  void CableIDEditChange(QObject* Sender);
  void ModelEditChange(QObject* Sender);
  void TechEditChange(QObject* Sender);
  void OtherEditChange(QObject* Sender);
  void ComputerIDEditChange(QObject* Sender);
  void ComputerIDEditKeyPress(QObject* Sender);
  void ToggleWirelessFields();

  // ---- device and port selection (ui/mainform_settings.cpp) -------------------------------------
  void SetBaud();
  void DevicesWinUpdate();
  bool TestComPort(const std::string& Name);
  void DeviceLine();
  void DeviceButtons(bool Changed);
  void DeviceButtonClick(QObject* Sender);
  void DeviceOkButtonClick(QObject* Sender);
  void DeviceCancelButtonClick(QObject* Sender);

  // ---- errors -------------------------------------------------------------------------------
  // Runs an entry point (signal, timer, serial delivery): an error it raises is shown once
  // in the general error box and goes no further. Returns whether it ran to its end.
  template <typename F>
  bool Guard(F&& Body) noexcept;
  // The general error box for an error raised by a handler; its log line adds, for port, file
  // and settings errors, the path and the system's reason.
  void ShowError(std::exception_ptr Error) noexcept;
  // The general error box; Detail goes into its log line only.
  void ShowException(const std::string& Message, const std::string& Detail = {}) noexcept;
  ILog& Log() { return *log_; }

  IMessageBoxes& MessageBoxes() { return *messageBoxes_; }
  IClock& Clock() { return *clock_; }
  IDesktop& Desktop() { return *desktop_; }
  IFileDialogs& FileDialogs() { return *fileDialogs_; }

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // What the call engine asks of the window (ui/call_window.cpp).
  std::int64_t NowMs() const override;
  void Timed(timing::Direction Direction, std::int64_t AtMs, std::string_view Chars) override;
  void ConversationBegins() override;
  void DeviceGone(int SystemError, const std::string& How) override;
  void RunPendingEvents() override;
  void ShowLatest() override;
  void Journal(bool Whole) override;
  bool AutoSendChosen() const override;
  bool TurnReady() const override;
  bool ConversationOpen() const override;
  bool TypingWindowShown() const override;
  void SoundLamp(bool On) override;
  void ModemSaidOk() override;
  void LineLost(const std::string& Result) override;
  void AnswerRing() override;
  void ModemConnected() override;
  void CommandTimer(bool On) override;
  void SendTurn() override;
  void TurnTyped() override;
  void HangUp() override;
  void EndCall() override;
  void Sending(std::size_t Left) override;
  void LineSent(bool TurnGoesOn) override;
  void ShowClock(bool CallGoesOn, std::int32_t CallSeconds) override;
  void LongScriptLines() override;
  void TurnBegins() override;
  void ScriptEnded() override;

  void BuildLayout();
  void BuildConditionsSheet();
  void BuildDevicesSheet();
  void BuildInCallsSheet();
  void BuildFilesSheet();
  void BuildAboutSheet();
  void BuildCallRow();
  void ConnectHandlers();
  void SetPanelColour(QWidget* Panel, const QColor& Colour);
  void MainTimerEntry();
  // Makes Path the log directory's list; when it cannot be used, says so once and falls back to
  // the home folder (then "/"), so that start-up and the Files sheet go on.
  void ApplyLogDirectory(const std::string& Path);
  // A port button's tool tip: the device path behind the port and, after a probe, why it
  // cannot be used (from lastProbeError_).
  std::string PortToolTip(const std::string& Name, bool Usable) const;

  // A settings store fault, shown once per run for each file and reason.
  void ReportStoreFault(const std::string& Message, const std::filesystem::path& Path, int SystemError,
                        const std::string& Detail);

  std::unique_ptr<TQtMessageBoxes> ownMessageBoxes_;
  std::unique_ptr<TSystemClock> ownClock_;
  std::unique_ptr<TQtDesktop> ownDesktop_;
  std::unique_ptr<TStderrLog> ownLog_;
  ILog* log_;
  std::unique_ptr<TLoggedMessageBoxes> loggedBoxes_;
  IMessageBoxes* messageBoxes_;  // loggedBoxes_
  IClock* clock_;
  IDesktop* desktop_;
  std::string downloadSite_;
  bool shown_ = false;
  bool tabHighlighted_[5] = {};
  // The device layer the Devices sheet probes the ports through.
  std::shared_ptr<TComSystem> portSystem_;
  int lastProbeError_ = 0;  // errno of the last failed TestComPort, 0 after a success
  // While LoadConfig puts the values into the controls, the saves their handlers ask for are
  // held and made once at its end.
  bool loadingConfig_ = false;
  bool saveHeld_ = false;
  // While captures go to a fallback folder because the log directory has gone: the folder the
  // settings keep for the next start, and the fallback.
  std::optional<std::string> keptLogDirectory_;
  std::string fallbackLogDirectory_;
  // When LoadConfig stopped at a value: the values after it, which saves leave as stored while the
  // record still holds what it held then (notLoadedValues_) and the tester has not chosen them.
  std::bitset<21> notLoaded_;
  TWindowSettings notLoadedValues_;
  void SettingChosen(std::string TWindowSettings::*Field);
  // Settings store faults shown this run ("path\nerrno"); a failed save is shown once per run.
  std::set<std::string> storeFaultsShown_;
  bool saveFailureShown_ = false;
  bool lastSaveFailed_ = false;
  std::unique_ptr<TQtFileDialogs> ownFileDialogs_;
  IFileDialogs* fileDialogs_;

  // The journal of the unsaved call, and a failure to write it (said when it starts and ends).
  std::unique_ptr<TCallJournal> journal_;
  bool journalWhole_ = false;  // the tester took a character back: the conversation is journaled whole
  std::string journalFailure_;
  void JournalWritten(int Error);
  // An automatic save that keeps failing the same way (each ring tries again) is shown once; the
  // log says when saving works again.
  std::string autoSaveFailure_;
  std::set<std::string> callTimesFailuresShown_;
  int autoSaveRepeats_ = 0;
  void AutoSaveSucceeded();
  // The port's device: gone, or missing at start-up, and watched for its return.
  std::unique_ptr<TPortWatch> portWatch_;
  // What the window does when the device has gone and when it is back.
  void DeviceWentAway(const std::string& Name);
  void DeviceCameBack();
};

template <typename F>
bool TMainForm::Guard(F&& Body) noexcept {
  try {
    Body();
    return true;
  } catch (...) {
    ShowError(std::current_exception());
  }
  return false;
}

}  // namespace corvalis
