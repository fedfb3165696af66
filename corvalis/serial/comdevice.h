// SPDX-License-Identifier: Apache-2.0
#pragma once
// The platform layer under TComPort: one open serial device and the way devices are opened.
// Values (event bits, purge flags, error flags, modem status bits) keep the numbers of the
// serial interface the component was designed on, so the component's tables hold unchanged.
// Every operation returns 0 or an errno value.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace corvalis {

namespace comdev {
// Device event bits.
inline constexpr std::uint32_t EV_RXCHAR = 1;
inline constexpr std::uint32_t EV_RXFLAG = 2;
inline constexpr std::uint32_t EV_TXEMPTY = 4;
inline constexpr std::uint32_t EV_CTS = 8;
inline constexpr std::uint32_t EV_DSR = 16;
inline constexpr std::uint32_t EV_RLSD = 32;
inline constexpr std::uint32_t EV_BREAK = 64;
inline constexpr std::uint32_t EV_ERR = 128;
inline constexpr std::uint32_t EV_RING = 256;
inline constexpr std::uint32_t EV_RX80FULL = 1024;
// PurgeComm flags.
inline constexpr std::uint32_t PURGE_TXABORT = 1;
inline constexpr std::uint32_t PURGE_RXABORT = 2;
inline constexpr std::uint32_t PURGE_TXCLEAR = 4;
inline constexpr std::uint32_t PURGE_RXCLEAR = 8;
// ClearCommError flags.
inline constexpr std::uint32_t CE_RXOVER = 1;
inline constexpr std::uint32_t CE_OVERRUN = 2;
inline constexpr std::uint32_t CE_RXPARITY = 4;
inline constexpr std::uint32_t CE_FRAME = 8;
inline constexpr std::uint32_t CE_BREAK = 16;
inline constexpr std::uint32_t CE_TXFULL = 256;
inline constexpr std::uint32_t CE_IOE = 1024;
inline constexpr std::uint32_t CE_MODE = 32768;
// Modem status bits.
inline constexpr std::uint32_t MS_CTS_ON = 16;
inline constexpr std::uint32_t MS_DSR_ON = 32;
inline constexpr std::uint32_t MS_RING_ON = 64;
inline constexpr std::uint32_t MS_RLSD_ON = 128;
// Timeout value standing for "maximum".
inline constexpr std::uint32_t MAXDWORD = 0xFFFFFFFFu;
}  // namespace comdev

// Line settings.
struct TDcb {
  std::uint32_t BaudRate = 0;
  bool fBinary = false;
  bool fParity = false;
  bool fOutxCtsFlow = false;
  bool fOutxDsrFlow = false;
  std::uint8_t fDtrControl = 0;  // 0 low, 1 high, 2 handshake
  bool fDsrSensitivity = false;
  bool fTXContinueOnXoff = false;
  bool fOutX = false;
  bool fInX = false;
  bool fErrorChar = false;
  bool fNull = false;
  std::uint8_t fRtsControl = 0;  // 0 low, 1 high, 2 handshake, 3 toggle
  bool fAbortOnError = false;
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  std::uint8_t ByteSize = 0;
  std::uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  std::uint8_t XonChar = 0;
  std::uint8_t XoffChar = 0;
  std::uint8_t ErrorChar = 0;
  std::uint8_t EofChar = 0;
  std::uint8_t EvtChar = 0;
  bool operator==(const TDcb&) const = default;
};

// Milliseconds; MAXDWORD is the maximum.
struct TCommTimeouts {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;
  bool operator==(const TCommTimeouts&) const = default;
};

enum class TWaitResult {
  Events,   // Events holds the device events that happened (may be 0)
  Stopped,  // Stop was called
  HungUp,   // the device hung up or vanished; it will report nothing more
  Failed,   // the wait itself failed
};

// The event thread's wait on one device, interruptible by Stop.
class TEventWaiter {
 public:
  virtual ~TEventWaiter() = default;
  // Blocks until device events of the mask, a hang-up or Stop. Never returns Events with
  // nothing to report because of data that was already there at the previous wait.
  virtual TWaitResult Wait(std::uint32_t& Events) = 0;
  // Blocks until Stop (after a hang-up).
  virtual void WaitForStop() = 0;
  // Any thread, any number of times, also after the waiting ended.
  virtual void Stop() = 0;
};

class TComDevice {
 public:
  // Closing never waits for output that a write did not manage to send: it is discarded.
  virtual ~TComDevice() = default;

  // Applies the settings and reads them back: a driver that keeps something else than what
  // was asked gets its previous settings back and the call fails (EINVAL).
  virtual int SetCommState(const TDcb& Dcb) = 0;
  virtual int SetCommTimeouts(const TCommTimeouts& Timeouts) = 0;
  virtual int SetupComm(std::uint32_t InQueue, std::uint32_t OutQueue) = 0;
  // The transmit flags drop only output that a write gave up on (timed out); what a completed
  // write sent is never taken back.
  virtual int PurgeComm(std::uint32_t Flags) = 0;
  // Pending error flags since the last call (then forgotten; a hang-up stays reported) and the
  // number of bytes the next reads will return.
  virtual int ClearCommError(std::uint32_t& Errors, std::uint32_t& InQueue) = 0;
  virtual int GetCommModemStatus(std::uint32_t& Status) = 0;
  // Returns once all bytes have left the device. Gives up with ETIMEDOUT when the write
  // timeouts run out first (Done holds the bytes the driver took).
  virtual int Write(const char* Data, std::size_t Size, std::size_t& Done) = 0;
  // Within the read timeouts; a timeout is not an error (Done holds the bytes read).
  virtual int Read(char* Data, std::size_t Size, std::size_t& Done) = 0;
  // A waiter for the events of Mask (EV_ bits); null with Error set when it cannot be made.
  virtual std::unique_ptr<TEventWaiter> CreateEventWaiter(std::uint32_t Mask, int& Error) = 0;
  // The port has let go of this device while its event thread is still ending: others may
  // open the port at once, and from now on nothing touches the line (no purge, no reading
  // ahead, no flush on closing) until the object goes.
  virtual void LetGo() {}
};

class TComSystem {
 public:
  virtual ~TComSystem() = default;
  // Opens the port Name ("COM1".."COM16") exclusively; null with Error set when it cannot.
  virtual std::shared_ptr<TComDevice> OpenDevice(const std::string& Name, int& Error) = 0;
  // What the port Name leads to now, to tell a device that has gone or was replaced: the same text
  // for the same device, or empty with Error set when nothing is there. "-" when it cannot be told.
  virtual std::string DeviceIdentity(const std::string& Name, int& Error) {
    (void)Name;
    Error = 0;
    return "-";
  }
  // The Linux devices (termios), names resolved by ResolvePortPath.
  static std::shared_ptr<TComSystem> Linux();
};

}  // namespace corvalis
