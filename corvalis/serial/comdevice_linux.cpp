// SPDX-License-Identifier: Apache-2.0
// Linux serial devices on termios2. This file must not include <termios.h>: the kernel's
// termios2 (for any bit rate through BOTHER) clashes with the C library's termios.
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "comdevice.h"
#include "comport.h"
#include "modemwatch.h"

namespace corvalis {

namespace {

using Clock = std::chrono::steady_clock;
using namespace comdev;

int Ioctl(int fd, unsigned long request, void* arg) {
  int r;
  do r = ioctl(fd, request, arg);
  while (r < 0 && errno == EINTR);
  return r;
}

int IoctlValue(int fd, unsigned long request, long value) {
  int r;
  do r = ioctl(fd, request, value);
  while (r < 0 && errno == EINTR);
  return r;
}

// Pseudo-terminal slaves (Unix98 and legacy) have no modem lines.
bool IsPseudoTerminal(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned major = ::major(st.st_rdev);
  return (major >= 136 && major <= 143) || major == 3;
}

// A request that the driver does not know, as opposed to a failure of the device.
bool NotSupported(int error) {
  return error == ENOTTY || error == EINVAL;
}

speed_t StandardSpeed(std::uint32_t rate) {
  switch (rate) {
    case 110:
      return B110;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      return 0;
  }
}

// Milliseconds left until a deadline as a poll timeout (-1: none).
int MillisLeft(const Clock::time_point* deadline) {
  if (!deadline) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 1000000 ? 1000000 : static_cast<int>(left) + 1;
}

int WaitFor(int fd, short events, int timeoutMs, short& revents) {
  pollfd p{fd, events, 0};
  int r;
  do r = poll(&p, 1, timeoutMs);
  while (r < 0 && errno == EINTR);
  revents = r > 0 ? p.revents : 0;
  return r < 0 ? errno : 0;
}

// Whether the line the driver reports is the one asked for. Rates may differ by the
// approximation of the driver's clock divider (well inside what a UART tolerates).
bool SameLine(const termios2& Asked, const termios2& Got) {
  constexpr tcflag_t frame = CSIZE | PARENB | CSTOPB | CRTSCTS;
  if ((Asked.c_cflag ^ Got.c_cflag) & frame) return false;
  if ((Asked.c_cflag & PARENB) && ((Asked.c_cflag ^ Got.c_cflag) & (PARODD | CMSPAR))) return false;
  constexpr tcflag_t input = INPCK | IXON | IXOFF | IGNBRK | BRKINT | PARMRK | IGNPAR;
  if ((Asked.c_iflag ^ Got.c_iflag) & input) return false;
  if (Asked.c_cc[VSTART] != Got.c_cc[VSTART] || Asked.c_cc[VSTOP] != Got.c_cc[VSTOP]) return false;
  auto close = [](speed_t asked, speed_t got) {
    const std::uint64_t diff = asked > got ? asked - got : got - asked;
    return diff * 100 <= asked;
  };
  return close(Asked.c_ospeed, Got.c_ospeed) && close(Asked.c_ispeed, Got.c_ispeed);
}

class TLinuxDevice;

class TLinuxWaiter : public TEventWaiter {
 public:
  TLinuxWaiter(TLinuxDevice& Device, std::uint32_t Mask) : Device_(Device), Mask_(Mask) {}
  ~TLinuxWaiter() override;
  int Init();
  TWaitResult Wait(std::uint32_t& Events) override;
  void WaitForStop() override;
  void Stop() override;

 private:
  std::uint32_t CheckCounters();
  int WatchLines();
  TLinuxDevice& Device_;
  std::uint32_t Mask_;
  int Epoll_ = -1;
  int StopFd_ = -1;
  int OutFd_ = -1;    // second descriptor of the device, for transmit wake-ups
  int LinesFd_ = -1;  // modem-line changes from the watcher
  std::unique_ptr<TModemWatcher> Watcher_;
  bool HaveCounters_ = false;
  serial_icounter_struct Counters_{};
  std::uint32_t LastQueued_ = 0;
};

class TLinuxDevice : public TComDevice {
 public:
  TLinuxDevice(int fd, bool Exclusive) : Fd_(fd), Pty_(IsPseudoTerminal(fd)), Exclusive_(Exclusive) {
    KickFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    serial_icounter_struct c{};
    HaveCounters_ = Ioctl(Fd_, TIOCGICOUNT, &c) == 0;
    Counters_ = c;
  }

  ~TLinuxDevice() override {
    if (!LetGo_) {
      // Output a write gave up on is dropped so that close() does not wait for it (up to 30 s on
      // a stalled line). A device that was let go leaves the line to its successor.
      if (Undrained_ && !Pty_) IoctlValue(Fd_, TCFLSH, TCOFLUSH);
      if (Exclusive_) IoctlValue(Fd_, TIOCNXCL, 0);
    }
    close(Fd_);
    if (KickFd_ >= 0) close(KickFd_);
  }

  int Fd() const { return Fd_; }
  int KickFd() const { return KickFd_; }

  int SetCommState(const TDcb& d) override {
    if (d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > 4 || d.StopBits > 2) return EINVAL;
    // One and a half stop bits exist only with 5 data bits, where the UART gives them for the
    // two-stop-bit setting; two stop bits with 5 data bits do not exist.
    if (d.StopBits == 1 && d.ByteSize != 5) return EINVAL;
    if (d.StopBits == 2 && d.ByteSize == 5) return EINVAL;
    // Flow controls that Linux serial drivers cannot do.
    if (d.fOutxDsrFlow || d.fDsrSensitivity || d.fDtrControl > 1 || d.fRtsControl > 2) return EINVAL;

    termios2 old{};
    if (Ioctl(Fd_, TCGETS2, &old) != 0) return errno;
    termios2 t = old;
    // No IGNBRK, BRKINT or PARMRK: a break arrives as one NUL byte, as a TTY expects.
    t.c_iflag = 0;
    if (d.fParity) t.c_iflag |= INPCK;
    if (d.fOutX) t.c_iflag |= IXON;
    if (d.fInX) t.c_iflag |= IXOFF;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CREAD | CLOCAL | HUPCL;
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[d.ByteSize - 5];
    switch (d.Parity) {
      case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
      case 2:
        t.c_cflag |= PARENB;
        break;
      case 3:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
      case 4:
        t.c_cflag |= PARENB | CMSPAR;
        break;
      default:
        break;
    }
    if (d.StopBits != 0) t.c_cflag |= CSTOPB;
    // One flag for both directions: CTS output flow and RTS handshake cannot be had apart.
    if (d.fOutxCtsFlow || d.fRtsControl == 2) t.c_cflag |= CRTSCTS;
    const speed_t s = StandardSpeed(d.BaudRate);
    t.c_cflag |= s != 0 ? s : BOTHER;
    t.c_ispeed = t.c_ospeed = d.BaudRate;
    t.c_cc[VSTART] = d.XonChar;
    t.c_cc[VSTOP] = d.XoffChar;
    // VMIN 1: a non-blocking read with nothing queued fails with EAGAIN; 0 then means hang-up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (Ioctl(Fd_, TCSETS2, &t) != 0) return errno;
    // Drivers adjust what they cannot do without saying so (a pseudo-terminal stays 8N1, a UART
    // keeps its old rate for one it cannot make): such a line is not the one asked for.
    termios2 now{};
    if (Ioctl(Fd_, TCGETS2, &now) != 0) return errno;
    if (!SameLine(t, now)) {
      Ioctl(Fd_, TCSETS2, &old);
      return EINVAL;
    }

    // Modem lines: DTR and RTS high or low (with RTS handshake the driver drives RTS).
    int set = 0, clear = 0;
    (d.fDtrControl == 1 ? set : clear) |= TIOCM_DTR;
    if (d.fRtsControl == 0)
      clear |= TIOCM_RTS;
    else
      set |= TIOCM_RTS;
    if (int r = ModemLines(TIOCMBIS, set)) return r;
    if (int r = ModemLines(TIOCMBIC, clear)) return r;
    {
      std::lock_guard lock(Mutex_);
      DiscardNull_ = d.fNull;
      EvtChar_ = static_cast<char>(d.EvtChar);
    }
    // Start, data, parity and stop bits (1.5 counted as 2).
    const std::uint32_t bits = 1 + d.ByteSize + (d.Parity != 0 ? 1 : 0) + (d.StopBits != 0 ? 2 : 1);
    CharMicros_ =
        static_cast<std::uint32_t>(std::uint64_t{bits} * 1000000 / (d.BaudRate ? d.BaudRate : 1)) + 1;
    return 0;
  }

  int SetCommTimeouts(const TCommTimeouts& t) override {
    Timeouts_ = t;
    return 0;
  }

  int SetupComm(std::uint32_t InQueue, std::uint32_t) override {
    InQueue_.store(InQueue);
    return 0;
  }

  int PurgeComm(std::uint32_t Flags) override {
    std::lock_guard lock(Mutex_);
    if (LetGo_) return 0;
    // Reads and writes finish before they return, so there is nothing to abort. On the transmit
    // side only output that a write gave up on is dropped: whatever a completed write sent has
    // left (a pseudo-terminal hands everything to its far end at once).
    const bool tx = (Flags & (PURGE_TXABORT | PURGE_TXCLEAR)) && Undrained_ && !Pty_;
    const bool rx = Flags & PURGE_RXCLEAR;
    if (rx) Ahead_.clear();
    if (!tx && !rx) return 0;
    const long which = tx && rx ? TCIOFLUSH : tx ? TCOFLUSH : TCIFLUSH;
    if (IoctlValue(Fd_, TCFLSH, which) == 0) {
      if (tx) Undrained_ = false;
      return 0;
    }
    if (errno != EIO) return errno;
    // A device that hung up or vanished has nothing left to purge; failing here would make
    // the port impossible to close.
    HungUp_ = true;
    return 0;
  }

  int ClearCommError(std::uint32_t& Errors, std::uint32_t& InQueue) override {
    std::lock_guard lock(Mutex_);
    Errors = 0;
    InQueue = 0;
    // NUL bytes are dropped before they are counted: the count is what reads will return.
    if (DiscardNull_) PullLocked(ReadAheadLimit());
    int queued = 0;
    if (Ioctl(Fd_, FIONREAD, &queued) != 0) {
      if (errno != EIO) return errno;
      HungUp_ = true;  // the device hung up or vanished
    }
    InQueue = static_cast<std::uint32_t>(Ahead_.size() + static_cast<std::size_t>(queued > 0 ? queued : 0));
    // A hang-up is a state, not an event: it stays reported however often errors are taken.
    if (HungUp_) Errors |= CE_IOE;
    serial_icounter_struct c{};
    if (HaveCounters_ && !HungUp_ && Ioctl(Fd_, TIOCGICOUNT, &c) == 0) {
      if (c.frame != Counters_.frame) Errors |= CE_FRAME;
      if (c.parity != Counters_.parity) Errors |= CE_RXPARITY;
      if (c.overrun != Counters_.overrun) Errors |= CE_OVERRUN;
      if (c.brk != Counters_.brk) Errors |= CE_BREAK;
      if (c.buf_overrun != Counters_.buf_overrun) Errors |= CE_RXOVER;
      Counters_ = c;
    }
    return 0;
  }

  int GetCommModemStatus(std::uint32_t& Status) override {
    Status = 0;
    int lines = 0;
    if (Ioctl(Fd_, TIOCMGET, &lines) != 0) return Pty_ && NotSupported(errno) ? 0 : errno;
    if (lines & TIOCM_CTS) Status |= MS_CTS_ON;
    if (lines & TIOCM_DSR) Status |= MS_DSR_ON;
    if (lines & TIOCM_RNG) Status |= MS_RING_ON;
    if (lines & TIOCM_CD) Status |= MS_RLSD_ON;
    return 0;
  }

  int Write(const char* Data, std::size_t Size, std::size_t& Done) override {
    Done = 0;
    if (Size == 0) return 0;
    // Gives up after multiplier x n + constant ms; both 0 means no limit.
    const std::uint64_t ms =
        std::uint64_t{Timeouts_.WriteTotalTimeoutMultiplier} * Size + Timeouts_.WriteTotalTimeoutConstant;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    const Clock::time_point* limit = ms != 0 ? &deadline : nullptr;
    Undrained_ = true;
    int result = 0;
    while (Done < Size) {
      const ssize_t n = write(Fd_, Data + Done, Size - Done);
      if (n > 0) {
        Done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) {
        if (errno == EIO) HungUp_ = true;
        return errno;
      }
      const int wait = MillisLeft(limit);
      if (wait == 0) {
        result = ETIMEDOUT;
        break;
      }
      short revents = 0;
      if (int r = WaitFor(Fd_, POLLOUT, wait, revents)) return r;
      if (revents & (POLLHUP | POLLERR)) {
        HungUp_ = true;
        return EIO;
      }
    }
    if (result == 0) result = Drain(limit);
    if (result == 0) Undrained_ = false;
    if (Done > 0 && KickFd_ >= 0 && (WaiterMask_.load() & EV_TXEMPTY)) {
      TxPending_ = true;
      eventfd_write(KickFd_, 1);
    }
    return result;
  }

  int Read(char* Data, std::size_t Size, std::size_t& Done) override {
    Done = 0;
    const TCommTimeouts t = Timeouts_;
    const bool immediate = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                           t.ReadTotalTimeoutConstant == 0;
    const bool firstByte = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                           t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD;
    std::uint64_t totalMs = 0;
    if (firstByte)
      totalMs = t.ReadTotalTimeoutConstant;
    else if (!immediate)
      totalMs = std::uint64_t{t.ReadTotalTimeoutMultiplier} * Size + t.ReadTotalTimeoutConstant;
    const bool interval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD;
    const Clock::time_point start = Clock::now();
    const Clock::time_point total = start + std::chrono::milliseconds(totalMs);
    Clock::time_point lastByte = start;
    while (Done < Size) {
      const ssize_t n = Take(Data + Done, Size - Done);
      if (n > 0) {
        Done += static_cast<std::size_t>(n);
        lastByte = Clock::now();
        if (firstByte && Done > 0) break;
        continue;
      }
      if (n == 0 || errno == EIO) {  // hung up
        HungUp_ = true;
        return Done > 0 ? 0 : EIO;
      }
      if (errno != EAGAIN) return errno;
      if (immediate || (firstByte && Done > 0)) break;
      Clock::time_point deadline = Clock::time_point::max();
      if (totalMs != 0) deadline = total;
      if (interval && Done > 0)
        deadline = std::min(deadline, lastByte + std::chrono::milliseconds(t.ReadIntervalTimeout));
      const int wait = deadline == Clock::time_point::max() ? -1 : MillisLeft(&deadline);
      if (wait == 0) break;
      short revents = 0;
      if (int r = WaitFor(Fd_, POLLIN, wait, revents)) return r;
    }
    return 0;
  }

  std::unique_ptr<TEventWaiter> CreateEventWaiter(std::uint32_t Mask, int& Error) override {
    WaiterMask_ = Mask;
    auto waiter = std::make_unique<TLinuxWaiter>(*this, Mask);
    Error = waiter->Init();
    if (Error != 0) return nullptr;
    return waiter;
  }

  void LetGo() override {
    std::lock_guard lock(Mutex_);
    if (Exclusive_) IoctlValue(Fd_, TIOCNXCL, 0);
    flock(Fd_, LOCK_UN);
    LetGo_ = true;
  }

  // Event thread, on arrival of data: takes it from the driver so that the event character
  // is seen (the driver offers no look into its queue).
  void ReadAhead() {
    std::lock_guard lock(Mutex_);
    PullLocked(ReadAheadLimit());
  }

  // Bytes the next reads will return (before dropping NUL bytes still in the driver).
  std::uint32_t Queued() {
    std::lock_guard lock(Mutex_);
    int queued = 0;
    if (Ioctl(Fd_, FIONREAD, &queued) != 0) queued = 0;
    return static_cast<std::uint32_t>(Ahead_.size() + static_cast<std::size_t>(queued));
  }

  std::atomic<bool> HungUp_{false};
  std::atomic<bool> TxPending_{false};
  std::atomic<bool> RxFlag_{false};  // the event character arrived
  std::atomic<std::uint32_t> InQueue_{1024};
  bool HaveIcount() const { return HaveCounters_; }
  bool IsPty() const { return Pty_; }

 private:
  static std::size_t DropNul(char* p, std::size_t n) {
    std::size_t out = 0;
    for (std::size_t i = 0; i < n; ++i)
      if (p[i] != '\0') p[out++] = p[i];
    return out;
  }

  std::size_t ReadAheadLimit() const {
    const std::uint32_t size = InQueue_.load();
    return size > 0 ? size : 1;
  }

  // One read from the driver (Mutex_ held): NUL bytes dropped when asked, the event character
  // noted. >0 bytes, 0 hang-up, -1 with errno (EAGAIN: nothing there).
  ssize_t ReadDriverLocked(char* p, std::size_t n) {
    for (;;) {
      const ssize_t r = read(Fd_, p, n);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return r;
      const std::size_t kept =
          DiscardNull_ ? DropNul(p, static_cast<std::size_t>(r)) : static_cast<std::size_t>(r);
      if ((WaiterMask_.load() & EV_RXFLAG) && std::memchr(p, EvtChar_, kept)) {
        RxFlag_ = true;
        if (KickFd_ >= 0) eventfd_write(KickFd_, 1);
      }
      if (kept > 0) return static_cast<ssize_t>(kept);
    }
  }

  // Moves what the driver holds into Ahead_, up to Limit bytes there (Mutex_ held).
  void PullLocked(std::size_t Limit) {
    if (LetGo_) return;
    char buf[1024];
    while (Ahead_.size() < Limit) {
      const ssize_t r = ReadDriverLocked(buf, std::min(sizeof buf, Limit - Ahead_.size()));
      if (r > 0) {
        Ahead_.append(buf, static_cast<std::size_t>(r));
        continue;
      }
      if (r == 0 || errno == EIO) HungUp_ = true;
      break;
    }
  }

  // Bytes for a read: first those read ahead, then the driver's.
  ssize_t Take(char* p, std::size_t n) {
    std::lock_guard lock(Mutex_);
    if (Ahead_.empty()) return ReadDriverLocked(p, n);
    const std::size_t k = std::min(n, Ahead_.size());
    std::memcpy(p, Ahead_.data(), k);
    Ahead_.erase(0, k);
    return static_cast<ssize_t>(k);
  }

  // Waits until the driver's transmit queue and the UART's transmitter are empty. There is no
  // drain with a time limit (tcdrain would hang while flow control holds the line), so this
  // sleeps for as long as the queued characters take at the line's rate and looks again; once
  // only the transmitter is busy, in steps of a quarter character.
  int Drain(const Clock::time_point* limit) {
    for (;;) {
      int queued = 0;
      if (Ioctl(Fd_, TIOCOUTQ, &queued) != 0) {
        if (errno == EIO) {
          HungUp_ = true;
          return EIO;
        }
        queued = 0;
      }
      bool busy = queued > 0;
      if (!busy && LsrWorks_) {
        unsigned int lsr = 0;
        if (Ioctl(Fd_, TIOCSERGETLSR, &lsr) == 0)
          busy = (lsr & TIOCSER_TEMT) == 0;
        else
          LsrWorks_ = false;  // not a UART driver (pseudo-terminal, most USB adapters)
      }
      if (!busy) return 0;
      const std::uint64_t character = CharMicros_.load();
      auto pause = std::chrono::microseconds(queued > 0 ? static_cast<std::uint64_t>(queued) * character
                                                        : std::max<std::uint64_t>(character / 4, 100));
      if (limit) {
        const Clock::time_point now = Clock::now();
        if (now >= *limit) return ETIMEDOUT;
        pause = std::min(pause, std::chrono::duration_cast<std::chrono::microseconds>(*limit - now) +
                                    std::chrono::microseconds(1));
      }
      std::this_thread::sleep_for(pause);
    }
  }

  int ModemLines(unsigned long request, int bits) {
    if (bits == 0) return 0;
    if (Ioctl(Fd_, request, &bits) == 0) return 0;
    if (Pty_ && NotSupported(errno)) return 0;  // a pseudo-terminal has no modem lines
    return errno;
  }

  int Fd_;
  int KickFd_ = -1;
  const bool Pty_;
  const bool Exclusive_;  // holds TIOCEXCL (not on pseudo-terminals)
  TCommTimeouts Timeouts_{};
  std::atomic<std::uint32_t> WaiterMask_{0};
  std::atomic<std::uint32_t> CharMicros_{1042};  // one character at the line's rate
  std::atomic<bool> Undrained_{false};           // a write gave up before its bytes had left
  bool LsrWorks_ = true;                         // main thread (writes)

  // Input read ahead of the port's reads, the settings that shape it, and the let-go mark:
  // shared by the main and event threads under Mutex_.
  std::mutex Mutex_;
  std::string Ahead_;
  bool DiscardNull_ = false;
  char EvtChar_ = 0;
  bool LetGo_ = false;
  // Error counters as of the last ClearCommError.
  bool HaveCounters_ = false;
  serial_icounter_struct Counters_{};
};

TLinuxWaiter::~TLinuxWaiter() {
  Watcher_.reset();
  if (LinesFd_ >= 0) close(LinesFd_);
  if (Epoll_ >= 0) close(Epoll_);
  if (StopFd_ >= 0) close(StopFd_);
  if (OutFd_ >= 0) close(OutFd_);
}

int TLinuxWaiter::Init() {
  StopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (StopFd_ < 0) return errno;
  Epoll_ = epoll_create1(EPOLL_CLOEXEC);
  if (Epoll_ < 0) return errno;
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.fd = StopFd_;
  if (epoll_ctl(Epoll_, EPOLL_CTL_ADD, StopFd_, &e) != 0) return errno;
  // Edge-triggered: a wake-up for every arrival of data, none for data that is only still
  // queued (a port whose OnRxChar reads nothing must not spin). Transmit wake-ups go through a
  // second descriptor: on one item they would report the queued input again each time.
  e.events = EPOLLIN | EPOLLET;
  e.data.fd = Device_.Fd();
  if (epoll_ctl(Epoll_, EPOLL_CTL_ADD, Device_.Fd(), &e) != 0) return errno;
  if (Mask_ & EV_TXEMPTY) {
    OutFd_ = fcntl(Device_.Fd(), F_DUPFD_CLOEXEC, 0);
    if (OutFd_ < 0) return errno;
    e.events = EPOLLOUT | EPOLLET;
    e.data.fd = OutFd_;
    if (epoll_ctl(Epoll_, EPOLL_CTL_ADD, OutFd_, &e) != 0) return errno;
  }
  if (Device_.KickFd() >= 0) {
    e.events = EPOLLIN;
    e.data.fd = Device_.KickFd();
    if (epoll_ctl(Epoll_, EPOLL_CTL_ADD, Device_.KickFd(), &e) != 0) return errno;
  }
  HaveCounters_ = Device_.HaveIcount() && Ioctl(Device_.Fd(), TIOCGICOUNT, &Counters_) == 0;
  if ((Mask_ & (EV_CTS | EV_DSR | EV_RLSD | EV_RING)) && !Device_.IsPty()) return WatchLines();
  return 0;
}

// Modem-line changes come from a second thread blocked in the driver's line-change wait.
// Drivers without that wait (or without modem lines) simply report none.
int TLinuxWaiter::WatchLines() {
  const int fd = Device_.Fd();
  struct Baseline {
    bool Counters = false;
    serial_icounter_struct Count{};
    int Lines = 0;
  };
  Baseline base;
  base.Counters = Ioctl(fd, TIOCGICOUNT, &base.Count) == 0;
  if (Ioctl(fd, TIOCMGET, &base.Lines) != 0) return 0;
  LinesFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (LinesFd_ < 0) return errno;
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.fd = LinesFd_;
  if (epoll_ctl(Epoll_, EPOLL_CTL_ADD, LinesFd_, &e) != 0) return errno;
  auto wait = [fd] { return ioctl(fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG); };
  // Counters catch short pulses (a ring) that are over before the lines can be read.
  auto changes = [fd, base](std::uint32_t& events) mutable {
    events = 0;
    int lines = 0;
    if (Ioctl(fd, TIOCMGET, &lines) != 0) return -1;
    const int flipped = lines ^ base.Lines;
    base.Lines = lines;
    serial_icounter_struct c{};
    if (base.Counters && Ioctl(fd, TIOCGICOUNT, &c) == 0) {
      if (c.cts != base.Count.cts) events |= EV_CTS;
      if (c.dsr != base.Count.dsr) events |= EV_DSR;
      if (c.dcd != base.Count.dcd) events |= EV_RLSD;
      if (c.rng != base.Count.rng) events |= EV_RING;
      base.Count = c;
    }
    if (flipped & TIOCM_CTS) events |= EV_CTS;
    if (flipped & TIOCM_DSR) events |= EV_DSR;
    if (flipped & TIOCM_CD) events |= EV_RLSD;
    if (flipped & TIOCM_RNG) events |= EV_RING;
    return 0;
  };
  Watcher_ = std::make_unique<TModemWatcher>(LinesFd_, wait, changes);
  return 0;
}

void TLinuxWaiter::Stop() {
  if (StopFd_ >= 0) eventfd_write(StopFd_, 1);
}

void TLinuxWaiter::WaitForStop() {
  pollfd p{StopFd_, POLLIN, 0};
  while (poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
}

// Line errors and breaks since the last wake-up, from the driver's counters.
std::uint32_t TLinuxWaiter::CheckCounters() {
  if (!HaveCounters_) return 0;
  serial_icounter_struct c{};
  if (Ioctl(Device_.Fd(), TIOCGICOUNT, &c) != 0) return 0;
  std::uint32_t events = 0;
  if (c.brk != Counters_.brk) events |= EV_BREAK;
  if (c.frame != Counters_.frame || c.parity != Counters_.parity || c.overrun != Counters_.overrun ||
      c.buf_overrun != Counters_.buf_overrun)
    events |= EV_ERR;
  Counters_ = c;
  return events;
}

TWaitResult TLinuxWaiter::Wait(std::uint32_t& Events) {
  Events = 0;
  for (;;) {
    epoll_event ready[8];
    const int n = epoll_wait(Epoll_, ready, 8, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return TWaitResult::Failed;
    }
    std::uint32_t deviceFlags = 0;
    bool kicked = false;
    bool lines = false;
    for (int i = 0; i < n; ++i) {
      if (ready[i].data.fd == StopFd_) return TWaitResult::Stopped;
      if (ready[i].data.fd == Device_.Fd()) deviceFlags |= ready[i].events;
      if (ready[i].data.fd == OutFd_) deviceFlags |= ready[i].events & (EPOLLOUT | EPOLLHUP | EPOLLERR);
      if (ready[i].data.fd == Device_.KickFd()) kicked = true;
      if (ready[i].data.fd == LinesFd_) lines = true;
    }
    if (deviceFlags & (EPOLLHUP | EPOLLERR)) {
      Device_.HungUp_ = true;
      return TWaitResult::HungUp;
    }
    std::uint32_t events = 0;
    if (deviceFlags & EPOLLIN) {
      if (Mask_ & EV_RXFLAG) Device_.ReadAhead();
      events |= EV_RXCHAR | CheckCounters();
      if (Mask_ & EV_RX80FULL) {
        const std::uint32_t limit = Device_.InQueue_.load() / 10 * 8;
        const std::uint32_t q = Device_.Queued();
        if (limit > 0 && q >= limit && LastQueued_ < limit) events |= EV_RX80FULL;
        LastQueued_ = q;
      }
    }
    if (kicked) {
      eventfd_t value;
      eventfd_read(Device_.KickFd(), &value);
    }
    if (Device_.RxFlag_.exchange(false)) events |= EV_RXFLAG;
    if ((kicked || (deviceFlags & EPOLLOUT)) && Device_.TxPending_.load()) {
      int outq = 0;
      if (Ioctl(Device_.Fd(), TIOCOUTQ, &outq) == 0 && outq == 0 && Device_.TxPending_.exchange(false))
        events |= EV_TXEMPTY;
    }
    if (lines) {
      eventfd_t value;
      eventfd_read(LinesFd_, &value);
      events |= Watcher_->Take();
    }
    events &= Mask_;
    if (events != 0) {
      Events = events;
      return TWaitResult::Events;
    }
  }
}

class TLinuxSystem : public TComSystem {
 public:
  std::shared_ptr<TComDevice> OpenDevice(const std::string& Name, int& Error) override {
    const std::string path = ResolvePortPath(Name);
    int fd;
    do fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      Error = errno;
      return nullptr;
    }
    if (!isatty(fd)) {
      Error = ENOTTY;
      close(fd);
      return nullptr;
    }
    // Exclusive: the advisory lock keeps out every program that locks too (and ourselves, also
    // as root). It goes with the last descriptor, so a holder that dies leaves no lock behind.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      Error = errno == EWOULDBLOCK ? EBUSY : errno;
      close(fd);
      return nullptr;
    }
    int exclusive = 0;
    const bool flagSet = Ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive;
    if (IsPseudoTerminal(fd)) {
      // A pseudo-terminal keeps TIOCEXCL as long as its far end exists, long after whoever set
      // it has gone; with the lock free nobody holds the port, so the flag is stale. The lock
      // alone makes pseudo-terminals exclusive.
      if (flagSet) IoctlValue(fd, TIOCNXCL, 0);
      return std::make_shared<TLinuxDevice>(fd, false);
    }
    // A real port drops TIOCEXCL with its last descriptor: a set flag means someone still holds
    // it (a program that does not lock). The flag keeps out other unprivileged openers.
    if (flagSet) {
      Error = EBUSY;
      close(fd);
      return nullptr;
    }
    IoctlValue(fd, TIOCEXCL, 0);
    return std::make_shared<TLinuxDevice>(fd, true);
  }

  // The device number behind the name, links followed: a pulled adapter's node goes, a device
  // plugged in again may come back under another number.
  std::string DeviceIdentity(const std::string& Name, int& Error) override {
    struct stat st;
    if (stat(ResolvePortPath(Name).c_str(), &st) != 0) {
      Error = errno;
      return {};
    }
    Error = 0;
    return std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)) + ":" +
           std::to_string(st.st_ino);
  }
};

}  // namespace

std::shared_ptr<TComSystem> TComSystem::Linux() {
  static std::shared_ptr<TComSystem> system = std::make_shared<TLinuxSystem>();
  return system;
}

std::string ResolvePortPath(const std::string& Name) {
  if (Name.size() < 4 || Name.compare(0, 3, "COM") != 0) return Name;
  int n = 0;
  for (std::size_t i = 3; i < Name.size(); ++i) {
    if (Name[i] < '0' || Name[i] > '9' || n > 100) return Name;
    n = n * 10 + (Name[i] - '0');
  }
  if (n < 1 || n > 16 || Name[3] == '0') return Name;
  if (const char* dir = std::getenv("CORVALIS_PORT_DIR"); dir && *dir) return std::string(dir) + "/" + Name;
  std::string config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
    config = xdg;
  else if (const char* home = std::getenv("HOME"); home && *home)
    config = std::string(home) + "/.config";
  if (!config.empty()) {
    const std::string entry = config + "/corvalis/ports/" + Name;
    struct stat st;
    if (lstat(entry.c_str(), &st) == 0) return entry;
  }
  return "/dev/ttyS" + std::to_string(n - 1);
}

bool PortCanBeOpened(const std::string& Name, int* Error) {
  int error = 0;
  std::shared_ptr<TComDevice> device = TComSystem::Linux()->OpenDevice(Name, error);
  if (Error) *Error = device ? 0 : error;
  return device != nullptr;
}

}  // namespace corvalis
