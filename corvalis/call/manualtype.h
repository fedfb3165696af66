// SPDX-License-Identifier: Apache-2.0
#pragma once
// The manual typing window ManualTypeForm: shows this side's next turn for a tester who
// types it on a TTY that the program cannot make send. Created hidden at start-up and
// shown and hidden, never destroyed, during a run.
#include <QWidget>
#include <string>

class QLabel;
class QPlainTextEdit;

namespace corvalis {

class TManualTypeForm : public QWidget {
 public:
  // With a parent (the main window) the window stays above it without being modal.
  explicit TManualTypeForm(QWidget* parent = nullptr);

  // Replaces the text to type with Text (Windows-1252 bytes, one paragraph that the pane
  // wraps) and shows the window without making it modal.
  void ShowTypingText(const std::string& Text);
  void HideTypingWindow();

  // The text shown, as Windows-1252 bytes.
  std::string TypingText() const;

  QLabel* Label1 = nullptr;
  QPlainTextEdit* Memo1 = nullptr;
  QLabel* Label2 = nullptr;

 private:
  bool placed_ = false;
};

}  // namespace corvalis
