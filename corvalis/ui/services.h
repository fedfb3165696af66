// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the main window needs of the desktop, as small interfaces so that tests and
// automation can stand in for them: message boxes, the clock, opening a file or address
// with the desktop's default handler, the file-open dialog, interval timers, and the log.
#include <QTimer>
#include <functional>
#include <string>

#include "call/engine_state.h"

class QWidget;

namespace corvalis {

enum class TMsgButtons { Ok, OkCancel, YesNo };
enum class TMsgIcon { None, Information, Warning, Error, Question };
enum class TMsgResult { Ok, Cancel, Yes, No };

class IMessageBoxes {
 public:
  virtual ~IMessageBoxes() = default;
  // A modal box; returns the button pressed (closing the box counts as Cancel or No).
  virtual TMsgResult Show(const std::string& title, const std::string& text, TMsgButtons buttons,
                          TMsgIcon icon) = 0;
  // False when nobody can see a box (no display): a box would wait for a click that cannot come.
  virtual bool CanShow() const { return true; }
};

// The answer a box gets when it cannot be shown: OK, or Yes for a Yes/No question.
TMsgResult UnattendedAnswer(TMsgButtons buttons);

// A log line's detail for a file or device: "path: reason", with where in the file when known
// ("path, line 7: no closing quote: reason"); the reason is the system's text for SystemError (none
// for 0).
std::string PathDetail(const std::string& Path, int SystemError, const std::string& Where = {});

// Where the program says what went wrong: one line at a time.
class ILog {
 public:
  virtual ~ILog() = default;
  virtual void Write(const std::string& line) = 0;
};

// The standard error stream, each line after the local date and time and the program's name:
// "2001-10-18 14:05:07 corvalis: ...". Safe to use from any thread.
class TStderrLog : public ILog {
 public:
  void Write(const std::string& line) override;
};

// Every box also goes into the log: its caption, its text and, for file and port errors, the path
// and the system's reason. A box that cannot be shown, or any box while nobody is there to answer
// (SetUnattended), is only logged and gets UnattendedAnswer.
class TLoggedMessageBoxes : public IMessageBoxes {
 public:
  TLoggedMessageBoxes(IMessageBoxes& inner, ILog& log) : inner_(inner), log_(log) {}
  TMsgResult Show(const std::string& title, const std::string& text, TMsgButtons buttons,
                  TMsgIcon icon) override {
    return ShowWithDetail(title, text, buttons, icon, {});
  }
  // Detail goes into the log line only, never into the box.
  TMsgResult ShowWithDetail(const std::string& title, const std::string& text, TMsgButtons buttons,
                            TMsgIcon icon, const std::string& detail);
  bool CanShow() const override { return !unattended_ && inner_.CanShow(); }
  void SetUnattended(bool unattended) { unattended_ = unattended; }

 private:
  IMessageBoxes& inner_;
  ILog& log_;
  bool unattended_ = false;
};

class IClock {
 public:
  virtual ~IClock() = default;
  virtual TDateTime Now() = 0;
  // Milliseconds on a clock that setting the time of day does not move: the times of a call's
  // characters. A clock without such a one counts them on Now's.
  virtual std::int64_t MonotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Now().time_since_epoch()).count();
  }
};

class IDesktop {
 public:
  virtual ~IDesktop() = default;
  // Opens an address ("file:///...", "https://...") or a file path with the desktop's
  // default handler; false when that could not be started.
  virtual bool Open(const std::string& target) = 0;
};

class IFileDialogs {
 public:
  virtual ~IFileDialogs() = default;
  // A file-open dialog starting at the file Preset (or its folder); returns the chosen
  // file, or an empty text when the dialog was cancelled.
  virtual std::string OpenFileName(const std::string& title, const std::string& preset,
                                   const std::string& filter) = 0;
};

// Qt message boxes over the given window.
class TQtMessageBoxes : public IMessageBoxes {
 public:
  explicit TQtMessageBoxes(QWidget* parent = nullptr) : parent_(parent) {}
  void SetParent(QWidget* parent) { parent_ = parent; }
  TMsgResult Show(const std::string& title, const std::string& text, TMsgButtons buttons,
                  TMsgIcon icon) override;
  // False on the offscreen and minimal platforms, which have no display.
  bool CanShow() const override;

 private:
  QWidget* parent_;
};

class TSystemClock : public IClock {
 public:
  TDateTime Now() override;
  std::int64_t MonotonicMs() override;
};

// Opens with xdg-open through Qt's desktop services.
class TQtDesktop : public IDesktop {
 public:
  bool Open(const std::string& target) override;
};

// Qt's file-open dialog over the given window.
class TQtFileDialogs : public IFileDialogs {
 public:
  explicit TQtFileDialogs(QWidget* parent = nullptr) : parent_(parent) {}
  std::string OpenFileName(const std::string& title, const std::string& preset,
                           const std::string& filter) override;

 private:
  QWidget* parent_;
};

// An interval timer with an Enabled property. When it is not live (tests), enabling it
// only records the state and nothing fires: the test calls the handler itself.
class TTimer {
 public:
  TTimer(int intervalMs, bool enabled, bool live, std::function<void()> onTimer);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  int Interval() const { return timer_.interval(); }
  // Runs the handler as an elapsed interval does (for tests, which drive the timers).
  void Fire() { onTimer_(); }

 private:
  std::function<void()> onTimer_;
  QTimer timer_;
  bool enabled_;
  bool live_;
};

}  // namespace corvalis
