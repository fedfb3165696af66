#pragma once
// What the main window needs of the desktop, as small interfaces so that tests and
// automation can stand in for them: message boxes, the clock, opening a file or address
// with the desktop's default handler, the file-open dialog, and interval timers.
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
};

class IClock {
 public:
  virtual ~IClock() = default;
  virtual TDateTime Now() = 0;
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

 private:
  QWidget* parent_;
};

class TSystemClock : public IClock {
 public:
  TDateTime Now() override;
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
