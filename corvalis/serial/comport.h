// SPDX-License-Identifier: Apache-2.0
#pragma once
// Serial port component: TComPort opens and configures one serial device, writes and reads
// bytes, and while open runs TComThread, which hands device events to the On... handlers.
//
// Threading: every operation is called on the main thread. Handlers run on the main thread
// under smThreadSync and smWindowSync (through a TMainThreadHandoff, see comhandoff.h) and on
// the event thread under smNone.
//
// Port names: PortNum is "COM1".."COM16"; the device behind a name is found by
// ResolvePortPath (CORVALIS_PORT_DIR, ~/.config/corvalis/ports, /dev/ttyS<n-1>).
//
// Errors: a failed open, setting, write or read raises EComPort (its code, and the system's);
// handler exceptions are the caller's, passed on or reported through the hand-off.
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "comhandoff.h"

namespace corvalis {

class TComPort;
class TComThread;
class TComDevice;
class TComSystem;

// ---- Enumerations (ordinal = position) -------------------------------------------------

enum TBaudRate : int {
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000
};
enum TStopBits : int { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : int { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : int { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : int { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : int { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TEvent : int {
  evRxChar,
  evTxEmpty,
  evRxFlag,
  evRing,
  evBreak,
  evCTS,
  evDSR,
  evError,
  evRLSD,
  evRx80Full
};
enum TSyncMethod : int { smThreadSync, smWindowSync, smNone };
enum TComError : int {
  erFraming,
  erParity,
  erOverrun,
  erBreak,
  erDeviceIO,
  erMode,
  erInputOverflow,
  erOutputFull
};
enum TLineSignal : int { lsCTS, lsDSR, lsRing, lsRLSD };

// Bits per second of each TBaudRate.
std::uint32_t BaudRateValue(TBaudRate Rate);

// A set of enumeration values: bit n is the value with ordinal n.
template <typename E>
class TSet {
 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> Items) {
    for (E e : Items) Bits_ |= Bit(e);
  }
  static constexpr TSet FromBits(std::uint32_t Bits) {
    TSet s;
    s.Bits_ = Bits;
    return s;
  }
  constexpr bool Contains(E e) const { return (Bits_ & Bit(e)) != 0; }
  constexpr void Include(E e) { Bits_ |= Bit(e); }
  constexpr void Exclude(E e) { Bits_ &= ~Bit(e); }
  constexpr bool Empty() const { return Bits_ == 0; }
  constexpr std::uint32_t Bits() const { return Bits_; }
  constexpr bool operator==(const TSet&) const = default;

 private:
  static constexpr std::uint32_t Bit(E e) { return std::uint32_t{1} << static_cast<int>(e); }
  std::uint32_t Bits_ = 0;
};

using TEvents = TSet<TEvent>;            // 10 bits
using TComErrors = TSet<TComError>;      // 8 bits
using TLineSignals = TSet<TLineSignal>;  // 4 bits

// All ten events: the default of TComPort::Events.
inline constexpr TEvents AllEvents =
    TEvents{evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full};

// ---- Handler slots: empty or callable; an empty slot is never called -------------------

using TNotifyEvent = std::function<void(TComPort* Sender)>;
using TRxCharEvent = std::function<void(TComPort* Sender, std::int32_t Count)>;
using TSignalEvent = std::function<void(TComPort* Sender, bool OnOff)>;
using TErrorEvent = std::function<void(TComPort* Sender, TComErrors Errors)>;

// ---- Errors ------------------------------------------------------------------------------

// Texts of the error codes 1 to 15 (index 0 is unused).
extern const char* const PortErrorMessages[16];

class EComPort : public std::runtime_error {
 public:
  // Message: the table text followed by " (win error code: %d)" with SystemError (errno).
  EComPort(int ErrorCode, int SystemError);
  // Message: the table text alone; SystemErrorCode is -1.
  explicit EComPort(int ErrorCode);

  int SystemErrorCode() const { return SystemErrorCode_; }
  int ErrorCode() const { return ErrorCode_; }
  std::string Message() const { return what(); }

 private:
  int SystemErrorCode_;
  int ErrorCode_;
};

// Errors of a serial device that has gone (a pulled adapter, a simulator that ended), not of a line.
bool DeviceGoneError(int Error);

// ---- Settings objects ---------------------------------------------------------------------
// Each keeps a reference to its owning port (set by the port). Writing a changed value stores
// it and calls the owner's Apply operation. Copying (constructor or operator=) copies the
// values only: it applies nothing and never changes the owner reference.

class TComParity {
 public:
  TComParity() = default;
  TComParity(const TComParity& Source) { Assign(Source); }
  TComParity& operator=(const TComParity& Source) {
    Assign(Source);
    return *this;
  }
  void Assign(const TComParity& Source);

  TParityBits Bits() const { return Bits_; }
  void SetBits(TParityBits Value);
  bool Check() const { return Check_; }
  void SetCheck(bool Value);
  bool Replace() const { return Replace_; }
  void SetReplace(bool Value);
  std::uint8_t ReplaceChar() const { return ReplaceChar_; }
  void SetReplaceChar(std::uint8_t Value);

 private:
  friend class TComPort;
  void Changed();
  TComPort* Owner_ = nullptr;
  TParityBits Bits_ = prNone;
  bool Check_ = false;
  bool Replace_ = false;
  std::uint8_t ReplaceChar_ = 0;
};

class TComFlowControl {
 public:
  TComFlowControl() = default;
  TComFlowControl(const TComFlowControl& Source) { Assign(Source); }
  TComFlowControl& operator=(const TComFlowControl& Source) {
    Assign(Source);
    return *this;
  }
  void Assign(const TComFlowControl& Source);

  bool OutCTSFlow() const { return OutCTSFlow_; }
  void SetOutCTSFlow(bool Value);
  bool OutDSRFlow() const { return OutDSRFlow_; }
  void SetOutDSRFlow(bool Value);
  TDTRFlowControl ControlDTR() const { return ControlDTR_; }
  void SetControlDTR(TDTRFlowControl Value);
  TRTSFlowControl ControlRTS() const { return ControlRTS_; }
  void SetControlRTS(TRTSFlowControl Value);
  bool XonXoffOut() const { return XonXoffOut_; }
  void SetXonXoffOut(bool Value);
  bool XonXoffIn() const { return XonXoffIn_; }
  void SetXonXoffIn(bool Value);
  bool DSRSensitivity() const { return DSRSensitivity_; }
  void SetDSRSensitivity(bool Value);
  bool TxContinueOnXoff() const { return TxContinueOnXoff_; }
  void SetTxContinueOnXoff(bool Value);
  std::uint8_t XonChar() const { return XonChar_; }
  void SetXonChar(std::uint8_t Value);
  std::uint8_t XoffChar() const { return XoffChar_; }
  void SetXoffChar(std::uint8_t Value);

 private:
  friend class TComPort;
  void Changed();
  TComPort* Owner_ = nullptr;
  bool OutCTSFlow_ = false;
  bool OutDSRFlow_ = false;
  TDTRFlowControl ControlDTR_ = dtrDisable;
  TRTSFlowControl ControlRTS_ = rtsDisable;
  bool XonXoffOut_ = false;
  bool XonXoffIn_ = false;
  bool DSRSensitivity_ = false;
  bool TxContinueOnXoff_ = false;
  std::uint8_t XonChar_ = 17;
  std::uint8_t XoffChar_ = 19;
};

class TComTimeouts {
 public:
  TComTimeouts() = default;
  TComTimeouts(const TComTimeouts& Source) { Assign(Source); }
  TComTimeouts& operator=(const TComTimeouts& Source) {
    Assign(Source);
    return *this;
  }
  void Assign(const TComTimeouts& Source);

  // All in milliseconds; -1 stands for the maximum.
  std::int32_t ReadInterval() const { return ReadInterval_; }
  void SetReadInterval(std::int32_t Value);
  std::int32_t ReadTotalMultiplier() const { return ReadTotalMultiplier_; }
  void SetReadTotalMultiplier(std::int32_t Value);
  std::int32_t ReadTotalConstant() const { return ReadTotalConstant_; }
  void SetReadTotalConstant(std::int32_t Value);
  std::int32_t WriteTotalMultiplier() const { return WriteTotalMultiplier_; }
  void SetWriteTotalMultiplier(std::int32_t Value);
  std::int32_t WriteTotalConstant() const { return WriteTotalConstant_; }
  void SetWriteTotalConstant(std::int32_t Value);

 private:
  friend class TComPort;
  void Changed();
  TComPort* Owner_ = nullptr;
  std::int32_t ReadInterval_ = -1;
  std::int32_t ReadTotalMultiplier_ = 0;
  std::int32_t ReadTotalConstant_ = 0;
  std::int32_t WriteTotalMultiplier_ = 100;
  std::int32_t WriteTotalConstant_ = 1000;
};

class TComBuffer {
 public:
  TComBuffer() = default;
  TComBuffer(const TComBuffer& Source) { Assign(Source); }
  TComBuffer& operator=(const TComBuffer& Source) {
    Assign(Source);
    return *this;
  }
  void Assign(const TComBuffer& Source);

  // Driver queue sizes in bytes (advisory on Linux).
  std::uint32_t InputSize() const { return InputSize_; }
  void SetInputSize(std::uint32_t Value);
  std::uint32_t OutputSize() const { return OutputSize_; }
  void SetOutputSize(std::uint32_t Value);

 private:
  friend class TComPort;
  void Changed();
  TComPort* Owner_ = nullptr;
  std::uint32_t InputSize_ = 1024;
  std::uint32_t OutputSize_ = 1024;
};

// One read or write in progress (NewRequest .. FreeRequest).
struct TIORequest {
  std::uint8_t Kind = 0;  // 0 = write, 1 = read
  int Result = 0;         // errno of the operation, 0 on success
  std::int32_t Transferred = 0;
};

// ---- The port -------------------------------------------------------------------------------

class TComPort {
 public:
  // Handoff: the main-thread services used under smThreadSync and smWindowSync (not owned; it
  // must outlive the port). System: how devices are opened; empty means the Linux devices.
  explicit TComPort(TMainThreadHandoff* Handoff = nullptr, std::shared_ptr<TComSystem> System = nullptr);
  virtual ~TComPort();
  TComPort(const TComPort&) = delete;
  TComPort& operator=(const TComPort&) = delete;

  // What the framework's component class contributes.
  std::string Name;
  std::intptr_t Tag = 0;

  void Open();
  void Close();
  bool IsOpen() const { return IsOpen_; }

  // Writes all bytes in one operation and waits for it; returns the count the device took.
  std::int32_t WriteText(const std::string& Text);
  // Reads at most Count bytes; Text holds exactly the bytes read; returns their number.
  std::int32_t ReadText(std::string& Text, std::int32_t Count);
  // Inside an OnRxChar handler: how long ago (ms) the bytes it reads arrived, that is, since the
  // event thread saw them, before the hand-off to the main thread. 0 outside a delivery. Whatever
  // holds up the main thread is taken out of the times of received characters with it.
  std::int64_t RxWaitedMs() const;

  // Building blocks of WriteText and ReadText.
  std::unique_ptr<TIORequest> NewRequest();
  void BeginWrite(const std::string& Text, TIORequest* Request);
  void BeginRead(std::string& Text, std::int32_t Count, TIORequest* Request);
  std::int32_t AwaitRequest(TIORequest* Request);
  void FreeRequest(std::unique_ptr<TIORequest>& Request);

  std::int32_t QueuedInput();
  TLineSignals LineSignals();
  TComErrors TakeErrors();
  void AbortIO();

  void ApplyLineSettings();
  void ApplyTimeoutSettings();
  void ApplyBufferSizes();
  virtual void ApplyAllSettings();

  // "COM1".."COM16" from "3", "com3", "COM3"; anything else gives "COM1".
  static std::string NormalizePortName(const std::string& Text);

  // ---- properties ----
  TBaudRate BaudRate() const { return BaudRate_; }
  void SetBaudRate(TBaudRate Value);
  const std::string& PortNum() const { return PortNum_; }
  void SetPortNum(const std::string& Value);
  TStopBits StopBits() const { return StopBits_; }
  void SetStopBits(TStopBits Value);
  TDataBits DataBits() const { return DataBits_; }
  void SetDataBits(TDataBits Value);
  bool DiscardNull() const { return DiscardNull_; }
  void SetDiscardNull(bool Value);
  std::uint8_t EventChar() const { return EventChar_; }
  void SetEventChar(std::uint8_t Value);
  TEvents Events() const { return Events_; }
  void SetEvents(TEvents Value);  // takes effect at the next Open
  TSyncMethod SyncMethod() const { return SyncMethod_; }
  void SetSyncMethod(TSyncMethod Value);  // code 14 while open with another value

  // The port's own settings objects; writing a value through them applies it.
  TComParity& Parity() { return Parity_; }
  const TComParity& Parity() const { return Parity_; }
  TComFlowControl& FlowControl() { return FlowControl_; }
  const TComFlowControl& FlowControl() const { return FlowControl_; }
  TComTimeouts& Timeouts() { return Timeouts_; }
  const TComTimeouts& Timeouts() const { return Timeouts_; }
  TComBuffer& Buffer() { return Buffer_; }
  const TComBuffer& Buffer() const { return Buffer_; }
  // Copy all values of another object in, then apply once.
  void SetParity(const TComParity& Value);
  void SetFlowControl(const TComFlowControl& Value);
  void SetTimeouts(const TComTimeouts& Value);
  void SetBuffer(const TComBuffer& Value);

  TMainThreadHandoff* Handoff() const { return Handoff_; }
  void SetHandoff(TMainThreadHandoff* Value);  // only while closed

  // ---- handler slots (store only) ----
  TRxCharEvent OnRxChar;
  TNotifyEvent OnTxEmpty;
  TNotifyEvent OnBreak;
  TNotifyEvent OnRing;
  TSignalEvent OnCTSChange;
  TSignalEvent OnDSRChange;
  TSignalEvent OnRLSDChange;
  TErrorEvent OnError;
  TNotifyEvent OnRxFlag;
  TNotifyEvent OnOpen;
  TNotifyEvent OnClose;
  TNotifyEvent OnRx80Full;

  // ---- event delivery (called by TComThread) ----
  void NotifyRxChar();
  void NotifyTxEmpty();
  void NotifyBreak();
  void NotifyRing();
  void NotifyCTSChange();
  void NotifyDSRChange();
  void NotifyRLSDChange();
  void NotifyError();
  void NotifyRxFlag();
  void NotifyRx80Full();
  // Message handler of the hidden receiver under smWindowSync.
  void HandlePortMessage(TMessage& Message);

 protected:
  virtual void OpenDevice();
  virtual void CloseDevice();

 private:
  friend class TComThread;
  friend class TComParity;
  friend class TComFlowControl;
  friend class TComTimeouts;
  friend class TComBuffer;

  TComDevice* Device() const { return Handle_.get(); }
  void FireEvent(std::uint32_t DeviceEvent);
  // Joins the threads that a Close from inside a delivery let go: those that have ended, and
  // with Wait the others too (only when none of their deliveries is in progress).
  void JoinLetGoThreads(bool Wait);

  std::unique_ptr<TComThread> EventThread_;
  std::vector<std::unique_ptr<TComThread>> LetGoThreads_;
  bool ThreadStarted_ = false;
  std::shared_ptr<TComDevice> Handle_;
  std::shared_ptr<THiddenWindow> WindowHandle_;
  bool IsOpen_ = false;
  TBaudRate BaudRate_ = br9600;
  std::string PortNum_ = "COM1";
  TStopBits StopBits_ = sbOneStopBit;
  TDataBits DataBits_ = dbEight;
  bool DiscardNull_ = false;
  std::uint8_t EventChar_ = 0;
  TEvents Events_ = AllEvents;
  TComBuffer Buffer_;
  TComParity Parity_;
  TComTimeouts Timeouts_;
  TComFlowControl FlowControl_;
  TSyncMethod SyncMethod_ = smThreadSync;

  TMainThreadHandoff* Handoff_;
  std::shared_ptr<TComSystem> System_;
  bool Closing_ = false;
  int DeliveryDepth_ = 0;  // main-thread deliveries of this port in progress
};

// ---- Port names and probing ------------------------------------------------------------------

// Device path behind a port name COMn (n = 1..16): $CORVALIS_PORT_DIR/COMn when the variable is
// set; else ${XDG_CONFIG_HOME:-$HOME/.config}/corvalis/ports/COMn when that entry exists; else
// /dev/ttyS<n-1>. A name that is not COM1..COM16 is returned unchanged.
std::string ResolvePortPath(const std::string& Name);

// Whether the port Name can be opened now for exclusive reading and writing (it is opened and
// closed again at once). When it cannot, *Error (if given) receives the errno.
bool PortCanBeOpened(const std::string& Name, int* Error = nullptr);

}  // namespace corvalis
