// SPDX-License-Identifier: Apache-2.0
#pragma once
// The conversation view MemoASCII: a text pane whose content is a Windows-1252 byte string
// (lines separated by CR LF). It draws the bytes as Unicode: the marks 177, 178 and 183 as
// they stand in Windows-1252, control codes such as BS and ESC as visible symbols.
//
// Qt lays a whole paragraph out again whenever text is added to it, so one long paragraph (a far
// end that never breaks lines, a device sending noise) would cost more with every character. The
// view therefore holds a paragraph in pieces of at most kPieceLength characters, each piece a
// block of its own marked as going on from the one before; a piece ends where its last line wraps
// anyway, so the pieces read as one paragraph. Text() and copying join them again.
#include <QColor>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <functional>
#include <string>

namespace corvalis {

class TMemo : public QPlainTextEdit {
 public:
  // The most characters of a paragraph laid out as one block.
  static constexpr int kPieceLength = 500;

  explicit TMemo(QWidget* parent = nullptr);

  // The whole text as bytes, and replacing it.
  std::string Text() const;
  void SetText(const std::string& bytes);
  // Appends bytes at the end without moving the caret.
  void AppendText(const std::string& bytes);
  // The add-an-empty-line operation: appends CR LF at the end.
  void AddEmptyLine() { AppendText("\r\n"); }
  void ClearText() { SetText(std::string()); }
  // Takes the last character away, as Backspace at the end would (a line break is one).
  void EraseLastCharacter();

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
  QMimeData* createMimeDataFromSelection() const override;

 private:
  // The characters from one document position to another, the pieces of a paragraph joined and
  // the paragraphs separated by paragraphBreak.
  QString Joined(int from, int to, QChar paragraphBreak) const;
  // Ends the last block where its last line begins, the rest going on in a new block.
  void EndPiece();
  // Takes back the character before the caret (a line break as one).
  void EraseBefore(QTextCursor caret);
  // A key that is not a typed character but would change the text (paste, cut, delete, a
  // line break with Ctrl or Alt).
  static bool ChangesText(QKeyEvent* event);
  QColor background_;
  QColor text_;
};

}  // namespace corvalis
