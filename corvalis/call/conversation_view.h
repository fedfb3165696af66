#pragma once
// The conversation view MemoASCII: a text pane whose content is a Windows-1252 byte string
// (lines separated by CR LF). It draws the bytes as Unicode: the marks 177, 178 and 183 as
// they stand in Windows-1252, control codes such as BS and ESC as visible symbols.
#include <QColor>
#include <QPlainTextEdit>
#include <functional>
#include <string>

namespace corvalis {

class TMemo : public QPlainTextEdit {
 public:
  explicit TMemo(QWidget* parent = nullptr);

  // The whole text as bytes, and replacing it.
  std::string Text() const;
  void SetText(const std::string& bytes);
  // Appends bytes at the end without moving the caret.
  void AppendText(const std::string& bytes);
  // The add-an-empty-line operation: appends CR LF at the end.
  void AddEmptyLine() { AppendText("\r\n"); }
  void ClearText() { SetText(std::string()); }

  // Caret to the end of the text, scrolled into view.
  void GoToEnd();

  void SetColours(const QColor& background, const QColor& text);
  QColor BackgroundColour() const { return background_; }
  QColor TextColour() const { return text_; }

  // A character key typed into the view (as its Windows-1252 byte), before the view's own
  // editing handles it; returning false keeps the key from the view.
  std::function<bool(char)> OnKeyPress;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  bool canInsertFromMimeData(const QMimeData* source) const override;
  void insertFromMimeData(const QMimeData* source) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  // A key that is not a typed character but would change the text (paste, cut, delete, a
  // line break with Ctrl or Alt).
  static bool ChangesText(QKeyEvent* event);
  QColor background_;
  QColor text_;
};

}  // namespace corvalis
