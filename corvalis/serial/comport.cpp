// SPDX-License-Identifier: Apache-2.0
#include "comport.h"

#include <cerrno>
#include <cstdio>

#include "comdevice.h"
#include "comthread.h"

namespace corvalis {

bool DeviceGoneError(int Error) {
  return Error == EIO || Error == ENXIO || Error == ENODEV;
}

const char* const PortErrorMessages[16] = {
    "",
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set SyncMethod while connected",
    "EnumPorts function failed",
};

namespace {

const char* MessageOf(int Code) {
  return Code >= 1 && Code <= 15 ? PortErrorMessages[Code] : "";
}

std::string WithSystemError(int Code, int SystemError) {
  char suffix[48];
  std::snprintf(suffix, sizeof suffix, " (win error code: %d)", SystemError);
  return std::string(MessageOf(Code)) + suffix;
}

}  // namespace

EComPort::EComPort(int ErrorCode, int SystemError)
    : std::runtime_error(WithSystemError(ErrorCode, SystemError)),
      SystemErrorCode_(SystemError),
      ErrorCode_(ErrorCode) {}

EComPort::EComPort(int ErrorCode)
    : std::runtime_error(MessageOf(ErrorCode)), SystemErrorCode_(-1), ErrorCode_(ErrorCode) {}

std::uint32_t BaudRateValue(TBaudRate Rate) {
  static constexpr std::uint32_t rates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                            19200, 38400, 56000, 57600, 115200, 128000, 256000};
  const int i = static_cast<int>(Rate);
  return i >= 0 && i < 15 ? rates[i] : 9600;
}

// ---- settings objects ----

#define SETTER(Class, Name, Type)     \
  void Class::Set##Name(Type Value) { \
    if (Name##_ == Value) return;     \
    Name##_ = Value;                  \
    Changed();                        \
  }

void TComParity::Assign(const TComParity& Source) {
  Bits_ = Source.Bits_;
  Check_ = Source.Check_;
  Replace_ = Source.Replace_;
  ReplaceChar_ = Source.ReplaceChar_;
}
void TComParity::Changed() {
  if (Owner_) Owner_->ApplyLineSettings();
}
SETTER(TComParity, Bits, TParityBits)
SETTER(TComParity, Check, bool)
SETTER(TComParity, Replace, bool)
SETTER(TComParity, ReplaceChar, std::uint8_t)

void TComFlowControl::Assign(const TComFlowControl& Source) {
  OutCTSFlow_ = Source.OutCTSFlow_;
  OutDSRFlow_ = Source.OutDSRFlow_;
  ControlDTR_ = Source.ControlDTR_;
  ControlRTS_ = Source.ControlRTS_;
  XonXoffOut_ = Source.XonXoffOut_;
  XonXoffIn_ = Source.XonXoffIn_;
  DSRSensitivity_ = Source.DSRSensitivity_;
  TxContinueOnXoff_ = Source.TxContinueOnXoff_;
  XonChar_ = Source.XonChar_;
  XoffChar_ = Source.XoffChar_;
}
void TComFlowControl::Changed() {
  if (Owner_) Owner_->ApplyLineSettings();
}
SETTER(TComFlowControl, OutCTSFlow, bool)
SETTER(TComFlowControl, OutDSRFlow, bool)
SETTER(TComFlowControl, ControlDTR, TDTRFlowControl)
SETTER(TComFlowControl, ControlRTS, TRTSFlowControl)
SETTER(TComFlowControl, XonXoffOut, bool)
SETTER(TComFlowControl, XonXoffIn, bool)
SETTER(TComFlowControl, DSRSensitivity, bool)
SETTER(TComFlowControl, TxContinueOnXoff, bool)
SETTER(TComFlowControl, XonChar, std::uint8_t)
SETTER(TComFlowControl, XoffChar, std::uint8_t)

void TComTimeouts::Assign(const TComTimeouts& Source) {
  ReadInterval_ = Source.ReadInterval_;
  ReadTotalMultiplier_ = Source.ReadTotalMultiplier_;
  ReadTotalConstant_ = Source.ReadTotalConstant_;
  WriteTotalMultiplier_ = Source.WriteTotalMultiplier_;
  WriteTotalConstant_ = Source.WriteTotalConstant_;
}
void TComTimeouts::Changed() {
  if (Owner_) Owner_->ApplyTimeoutSettings();
}
SETTER(TComTimeouts, ReadInterval, std::int32_t)
SETTER(TComTimeouts, ReadTotalMultiplier, std::int32_t)
SETTER(TComTimeouts, ReadTotalConstant, std::int32_t)
SETTER(TComTimeouts, WriteTotalMultiplier, std::int32_t)
SETTER(TComTimeouts, WriteTotalConstant, std::int32_t)

void TComBuffer::Assign(const TComBuffer& Source) {
  InputSize_ = Source.InputSize_;
  OutputSize_ = Source.OutputSize_;
}
void TComBuffer::Changed() {
  if (Owner_) Owner_->ApplyBufferSizes();
}
SETTER(TComBuffer, InputSize, std::uint32_t)
SETTER(TComBuffer, OutputSize, std::uint32_t)

#undef SETTER

// ---- the port ----

TComPort::TComPort(TMainThreadHandoff* Handoff, std::shared_ptr<TComSystem> System)
    : Handoff_(Handoff), System_(System ? std::move(System) : TComSystem::Linux()) {
  Parity_.Owner_ = this;
  FlowControl_.Owner_ = this;
  Timeouts_.Owner_ = this;
  Buffer_.Owner_ = this;
}

TComPort::~TComPort() {
  try {
    Close();
  } catch (...) {
    // The device refused to abort its I/O: let go of everything all the same.
    try {
      EventThread_.reset();
    } catch (...) {
    }
    WindowHandle_.reset();
    Handle_.reset();
    IsOpen_ = false;
  }
  JoinLetGoThreads(true);
}

void TComPort::JoinLetGoThreads(bool Wait) {
  Wait = Wait && DeliveryDepth_ == 0;
  for (auto it = LetGoThreads_.begin(); it != LetGoThreads_.end();) {
    if (!(*it)->IsCurrentThread() && (Wait || (*it)->Finished()))
      it = LetGoThreads_.erase(it);  // joins
    else
      ++it;
  }
}

void TComPort::SetHandoff(TMainThreadHandoff* Value) {
  if (!IsOpen_) Handoff_ = Value;
}

std::string TComPort::NormalizePortName(const std::string& Text) {
  std::string rest = Text;
  if (rest.size() >= 3) {
    std::string head = rest.substr(0, 3);
    for (char& c : head)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (head == "COM") rest.erase(0, 3);
  }
  // A decimal number with an optional sign; anything else counts as 1.
  long n = 1;
  std::size_t i = 0;
  bool negative = false;
  if (i < rest.size() && (rest[i] == '+' || rest[i] == '-')) negative = rest[i++] == '-';
  if (i < rest.size()) {
    long value = 0;
    bool valid = true;
    for (; i < rest.size(); ++i) {
      if (rest[i] < '0' || rest[i] > '9' || value > 100000) {
        valid = false;
        break;
      }
      value = value * 10 + (rest[i] - '0');
    }
    if (valid) n = negative ? -value : value;
  }
  if (n < 1 || n > 16) n = 1;
  return "COM" + std::to_string(n);
}

void TComPort::OpenDevice() {
  int error = 0;
  std::shared_ptr<TComDevice> device = System_->OpenDevice(PortNum_, error);
  if (!device) throw EComPort(1, error);
  Handle_ = std::move(device);
}

void TComPort::CloseDevice() {
  Handle_.reset();
}

void TComPort::Open() {
  if (IsOpen_) return;
  // Events for the main thread cannot be delivered without a hand-off.
  if (!Events_.Empty() && SyncMethod_ != smNone && !Handoff_) throw EComPort(1, EINVAL);
  JoinLetGoThreads(true);
  OpenDevice();
  IsOpen_ = true;
  try {
    ApplyAllSettings();
    if (Events_.Empty()) {
      ThreadStarted_ = false;
    } else {
      if (SyncMethod_ == smWindowSync)
        WindowHandle_ = Handoff_->CreateHiddenWindow([this](TMessage& m) { HandlePortMessage(m); });
      EventThread_ = std::make_unique<TComThread>(this);
      ThreadStarted_ = true;
    }
  } catch (...) {
    WindowHandle_.reset();
    CloseDevice();
    IsOpen_ = false;
    throw;
  }
  if (OnOpen) OnOpen(this);
}

void TComPort::Close() {
  if (!IsOpen_ || Closing_) return;
  AbortIO();
  Closing_ = true;
  struct Done {
    bool& Flag;
    ~Done() { Flag = false; }
  } done{Closing_};
  if (ThreadStarted_) {
    const bool nested = (DeliveryDepth_ > 0 && Handoff_ && Handoff_->IsMainThread()) ||
                        (EventThread_ && EventThread_->IsCurrentThread());
    // Called from one of this port's own deliveries: the thread cannot end before this call
    // returns, so it is let go now and joined later.
    if (nested) {
      EventThread_->LetGo();
      LetGoThreads_.push_back(std::move(EventThread_));
    }
    EventThread_.reset();
    WindowHandle_.reset();
    ThreadStarted_ = false;
  }
  CloseDevice();
  IsOpen_ = false;
  JoinLetGoThreads(true);
  if (OnClose) OnClose(this);
}

// ---- I/O ----

std::unique_ptr<TIORequest> TComPort::NewRequest() {
  return std::make_unique<TIORequest>();
}

void TComPort::FreeRequest(std::unique_ptr<TIORequest>& Request) {
  Request.reset();
}

void TComPort::BeginWrite(const std::string& Text, TIORequest* Request) {
  if (!Request) throw EComPort(4);
  Request->Kind = 0;
  if (!Handle_) throw EComPort(2, EBADF);
  std::size_t done = 0;
  Request->Result = Handle_->Write(Text.data(), Text.size(), done);
  Request->Transferred = static_cast<std::int32_t>(done);
}

void TComPort::BeginRead(std::string& Text, std::int32_t Count, TIORequest* Request) {
  if (!Request) throw EComPort(4);
  Request->Kind = 1;
  Text.assign(Count > 0 ? static_cast<std::size_t>(Count) : 0, '\0');
  if (!Handle_) throw EComPort(3, EBADF);
  std::size_t done = 0;
  Request->Result = Text.empty() ? 0 : Handle_->Read(Text.data(), Text.size(), done);
  Request->Transferred = static_cast<std::int32_t>(done);
}

std::int32_t TComPort::AwaitRequest(TIORequest* Request) {
  if (!Request) throw EComPort(4);
  if (Request->Result != 0) throw EComPort(Request->Kind == 0 ? 2 : 3, Request->Result);
  return Request->Transferred;
}

std::int32_t TComPort::WriteText(const std::string& Text) {
  std::unique_ptr<TIORequest> request = NewRequest();
  std::int32_t n = 0;
  try {
    BeginWrite(Text, request.get());
    n = AwaitRequest(request.get());
  } catch (...) {
    FreeRequest(request);
    throw;
  }
  FreeRequest(request);
  return n;
}

std::int32_t TComPort::ReadText(std::string& Text, std::int32_t Count) {
  std::unique_ptr<TIORequest> request = NewRequest();
  std::int32_t n = 0;
  try {
    BeginRead(Text, Count, request.get());
    n = AwaitRequest(request.get());
  } catch (...) {
    FreeRequest(request);
    Text.clear();
    throw;
  }
  FreeRequest(request);
  Text.resize(static_cast<std::size_t>(n));
  return n;
}

std::int32_t TComPort::QueuedInput() {
  if (!Handle_) throw EComPort(10, EBADF);
  std::uint32_t errors = 0, queued = 0;
  if (int r = Handle_->ClearCommError(errors, queued)) throw EComPort(10, r);
  return static_cast<std::int32_t>(queued);
}

TLineSignals TComPort::LineSignals() {
  if (!Handle_) throw EComPort(11, EBADF);
  std::uint32_t status = 0;
  if (int r = Handle_->GetCommModemStatus(status)) throw EComPort(11, r);
  TLineSignals signals;
  if (status & comdev::MS_CTS_ON) signals.Include(lsCTS);
  if (status & comdev::MS_DSR_ON) signals.Include(lsDSR);
  if (status & comdev::MS_RING_ON) signals.Include(lsRing);
  if (status & comdev::MS_RLSD_ON) signals.Include(lsRLSD);
  return signals;
}

TComErrors TComPort::TakeErrors() {
  if (!Handle_) throw EComPort(10, EBADF);
  std::uint32_t flags = 0, queued = 0;
  if (int r = Handle_->ClearCommError(flags, queued)) throw EComPort(10, r);
  TComErrors errors;
  if (flags & comdev::CE_FRAME) errors.Include(erFraming);
  if ((flags & comdev::CE_RXPARITY) && Parity_.Check()) errors.Include(erParity);
  if (flags & comdev::CE_OVERRUN) errors.Include(erOverrun);
  if (flags & comdev::CE_BREAK) errors.Include(erBreak);
  if (flags & comdev::CE_IOE) errors.Include(erDeviceIO);
  if (flags & comdev::CE_MODE) errors.Include(erMode);
  if (flags & comdev::CE_RXOVER) errors.Include(erInputOverflow);
  if (flags & comdev::CE_TXFULL) errors.Include(erOutputFull);
  return errors;
}

void TComPort::AbortIO() {
  if (!Handle_) throw EComPort(5, EBADF);
  if (int r = Handle_->PurgeComm(comdev::PURGE_TXABORT | comdev::PURGE_RXABORT)) throw EComPort(5, r);
}

// ---- applying settings ----

void TComPort::ApplyLineSettings() {
  if (!IsOpen_) return;
  const bool replace = Parity_.Check() && Parity_.Replace();
  TDcb dcb;
  dcb.BaudRate = BaudRateValue(BaudRate_);
  dcb.fBinary = true;
  dcb.fParity = Parity_.Check();
  dcb.fOutxCtsFlow = FlowControl_.OutCTSFlow();
  dcb.fOutxDsrFlow = FlowControl_.OutDSRFlow();
  dcb.fDtrControl = static_cast<std::uint8_t>(FlowControl_.ControlDTR());
  dcb.fDsrSensitivity = FlowControl_.DSRSensitivity();
  dcb.fTXContinueOnXoff = FlowControl_.TxContinueOnXoff();
  dcb.fOutX = FlowControl_.XonXoffOut();
  dcb.fInX = FlowControl_.XonXoffIn();
  dcb.fErrorChar = replace;
  dcb.fNull = DiscardNull_;
  dcb.fRtsControl = static_cast<std::uint8_t>(FlowControl_.ControlRTS());
  dcb.fAbortOnError = false;
  dcb.XonLim = static_cast<std::uint16_t>(Buffer_.InputSize() / 4);
  dcb.XoffLim = dcb.XonLim;
  dcb.ByteSize = static_cast<std::uint8_t>(5 + static_cast<int>(DataBits_));
  dcb.Parity = static_cast<std::uint8_t>(Parity_.Bits());
  dcb.StopBits = static_cast<std::uint8_t>(StopBits_);
  dcb.XonChar = FlowControl_.XonChar();
  dcb.XoffChar = FlowControl_.XoffChar();
  dcb.ErrorChar = replace ? Parity_.ReplaceChar() : 0;
  dcb.EvtChar = EventChar_;
  if (!Handle_) throw EComPort(7, EBADF);
  if (int r = Handle_->SetCommState(dcb)) throw EComPort(7, r);
}

void TComPort::ApplyTimeoutSettings() {
  if (!IsOpen_) return;
  TCommTimeouts t;
  t.ReadIntervalTimeout = static_cast<std::uint32_t>(Timeouts_.ReadInterval());
  t.ReadTotalTimeoutMultiplier = static_cast<std::uint32_t>(Timeouts_.ReadTotalMultiplier());
  t.ReadTotalTimeoutConstant = static_cast<std::uint32_t>(Timeouts_.ReadTotalConstant());
  t.WriteTotalTimeoutMultiplier = static_cast<std::uint32_t>(Timeouts_.WriteTotalMultiplier());
  t.WriteTotalTimeoutConstant = static_cast<std::uint32_t>(Timeouts_.WriteTotalConstant());
  if (!Handle_) throw EComPort(8, EBADF);
  if (int r = Handle_->SetCommTimeouts(t)) throw EComPort(8, r);
}

void TComPort::ApplyBufferSizes() {
  if (!IsOpen_) return;
  if (!Handle_) throw EComPort(9, EBADF);
  if (int r = Handle_->SetupComm(Buffer_.InputSize(), Buffer_.OutputSize())) throw EComPort(9, r);
}

void TComPort::ApplyAllSettings() {
  ApplyLineSettings();
  ApplyTimeoutSettings();
  ApplyBufferSizes();
}

// ---- properties ----

void TComPort::SetBaudRate(TBaudRate Value) {
  if (BaudRate_ == Value) return;
  BaudRate_ = Value;
  ApplyLineSettings();
}

void TComPort::SetPortNum(const std::string& Value) {
  // Compared before normalising: "3" differs from a stored "COM3".
  if (Value == PortNum_) return;
  PortNum_ = NormalizePortName(Value);
  if (IsOpen_) {
    Close();
    Open();
  }
}

void TComPort::SetStopBits(TStopBits Value) {
  if (StopBits_ == Value) return;
  StopBits_ = Value;
  ApplyLineSettings();
}

void TComPort::SetDataBits(TDataBits Value) {
  if (DataBits_ == Value) return;
  DataBits_ = Value;
  ApplyLineSettings();
}

void TComPort::SetDiscardNull(bool Value) {
  if (DiscardNull_ == Value) return;
  DiscardNull_ = Value;
  ApplyLineSettings();
}

void TComPort::SetEventChar(std::uint8_t Value) {
  if (EventChar_ == Value) return;
  EventChar_ = Value;
  ApplyLineSettings();
}

void TComPort::SetEvents(TEvents Value) {
  Events_ = Value;
}

void TComPort::SetSyncMethod(TSyncMethod Value) {
  if (SyncMethod_ == Value) return;
  if (IsOpen_) throw EComPort(14);
  SyncMethod_ = Value;
}

void TComPort::SetParity(const TComParity& Value) {
  Parity_.Assign(Value);
  ApplyLineSettings();
}

void TComPort::SetFlowControl(const TComFlowControl& Value) {
  FlowControl_.Assign(Value);
  ApplyLineSettings();
}

void TComPort::SetTimeouts(const TComTimeouts& Value) {
  Timeouts_.Assign(Value);
  ApplyTimeoutSettings();
}

void TComPort::SetBuffer(const TComBuffer& Value) {
  Buffer_.Assign(Value);
  ApplyBufferSizes();
}

// ---- notifiers ----

void TComPort::NotifyRxChar() {
  if (OnRxChar) OnRxChar(this, QueuedInput());
}
void TComPort::NotifyTxEmpty() {
  if (OnTxEmpty) OnTxEmpty(this);
}
void TComPort::NotifyBreak() {
  if (OnBreak) OnBreak(this);
}
void TComPort::NotifyRing() {
  if (OnRing) OnRing(this);
}
void TComPort::NotifyCTSChange() {
  if (OnCTSChange) OnCTSChange(this, LineSignals().Contains(lsCTS));
}
void TComPort::NotifyDSRChange() {
  if (OnDSRChange) OnDSRChange(this, LineSignals().Contains(lsDSR));
}
void TComPort::NotifyRLSDChange() {
  if (OnRLSDChange) OnRLSDChange(this, LineSignals().Contains(lsRLSD));
}
void TComPort::NotifyError() {
  if (OnError) OnError(this, TakeErrors());
}
void TComPort::NotifyRxFlag() {
  if (OnRxFlag) OnRxFlag(this);
}
void TComPort::NotifyRx80Full() {
  if (OnRx80Full) OnRx80Full(this);
}

void TComPort::FireEvent(std::uint32_t DeviceEvent) {
  switch (DeviceEvent) {
    case comdev::EV_RXCHAR:
      NotifyRxChar();
      break;
    case comdev::EV_TXEMPTY:
      NotifyTxEmpty();
      break;
    case comdev::EV_BREAK:
      NotifyBreak();
      break;
    case comdev::EV_RING:
      NotifyRing();
      break;
    case comdev::EV_CTS:
      NotifyCTSChange();
      break;
    case comdev::EV_DSR:
      NotifyDSRChange();
      break;
    case comdev::EV_RXFLAG:
      NotifyRxFlag();
      break;
    case comdev::EV_RLSD:
      NotifyRLSDChange();
      break;
    case comdev::EV_ERR:
      NotifyError();
      break;
    case comdev::EV_RX80FULL:
      NotifyRx80Full();
      break;
    default:
      break;
  }
}

std::int64_t TComPort::RxWaitedMs() const {
  if (!EventThread_) return 0;
  const bool delivering = (DeliveryDepth_ > 0 && Handoff_ && Handoff_->IsMainThread()) || EventThread_->IsCurrentThread();
  return delivering ? EventThread_->SinceWokeMs() : 0;
}

void TComPort::HandlePortMessage(TMessage& Message) {
  if (Message.Msg != PortEventMessage) {
    Message.Result = 0;  // nothing else is handled here
    return;
  }
  ++DeliveryDepth_;
  struct Leave {
    int& Depth;
    ~Leave() { --Depth; }
  } leave{DeliveryDepth_};
  FireEvent(static_cast<std::uint32_t>(Message.WParam));
}

}  // namespace corvalis
