#pragma once
// The manual typing window ManualTypeForm: shows this side's next turn for a tester who
// types it on a TTY that the program cannot make send. Created hidden at start-up and
// shown and hidden, never destroyed, during a run.
#include <QWidget>
#include <string>

namespace corvalis {

class TManualTypeForm : public QWidget {
 public:
  explicit TManualTypeForm(QWidget* parent = nullptr);

  // Shows the turn's text without making the window modal.
  void ShowTypingText(const std::string& Text);
  void HideTypingWindow();
};

}  // namespace corvalis
