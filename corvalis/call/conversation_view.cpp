// SPDX-License-Identifier: Apache-2.0
#include "conversation_view.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>
#include <algorithm>
#include <memory>

#include "common/conversation_text.h"
#include "common/cp1252.h"

namespace corvalis {

namespace {

QString ToDisplay(const std::string& bytes) {
  std::u32string shown = ViewTextToDisplay(bytes);
  for (char32_t& c : shown)
    if (c == U'\u2029') c = U'\n';
  return QString::fromStdU32String(shown);
}

// The user state of a block that goes on from the block before (a piece of the same paragraph).
constexpr int kGoesOn = 1;

}  // namespace

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent) {
  setUndoRedoEnabled(false);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setTabChangesFocus(true);
  setAcceptDrops(false);
  QFont font;
  font.setFamilies({"Courier New", "DejaVu Sans Mono", "Liberation Mono", "Monospace"});
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  font.setBold(true);
  font.setPixelSize(13);
  setFont(font);
}

std::string TMemo::Text() const {
  return DisplayToViewText(
      Joined(0, document()->characterCount() - 1, QChar::ParagraphSeparator).toStdU32String());
}

void TMemo::SetText(const std::string& bytes) {
  setPlainText(QString());
  AppendText(bytes);
}

void TMemo::AppendText(const std::string& bytes) {
  const QString shown = ToDisplay(bytes);
  QTextCursor end(document());
  end.movePosition(QTextCursor::End);
  // In parts that never make the last block longer than a piece: a long text given at once is
  // laid out a piece at a time too.
  for (qsizetype done = 0; done < shown.size();) {
    const qsizetype room = std::max(1, kPieceLength - (document()->lastBlock().length() - 1));
    const qsizetype lineEnd = shown.indexOf(u'\n', done);
    const qsizetype part = std::min(room, (lineEnd < 0 ? shown.size() : lineEnd + 1) - done);
    end.insertText(shown.mid(done, part));
    done += part;
    if (document()->lastBlock().length() - 1 >= kPieceLength) EndPiece();
  }
}

void TMemo::EraseLastCharacter() {
  QTextCursor end(document());
  end.movePosition(QTextCursor::End);
  EraseBefore(end);
}

void TMemo::EraseBefore(QTextCursor caret) {
  // At the start of a piece the character before is the previous piece's last one, not a line break.
  if (caret.atBlockStart() && caret.block().userState() == kGoesOn && caret.block().previous().length() > 1)
    caret.setPosition(caret.position() - 1);
  if (!caret.atBlockStart() || !caret.block().previous().isValid()) return caret.deletePreviousChar();
  // A line break taken back joins two blocks; the joined one keeps the state of the first (a piece
  // of a paragraph stays one), where the document would give it the second's.
  const int state = caret.block().previous().userState();
  caret.deletePreviousChar();
  caret.block().setUserState(state);
}

void TMemo::EndPiece() {
  QTextBlock last = document()->lastBlock();
  // At the start of its last line when it has been laid out, so that the lines look as they would
  // in one block; otherwise (a view not shown yet) at its end.
  int cut = last.length() - 1;
  if (const QTextLayout* layout = last.layout(); layout && layout->lineCount() > 1)
    cut = layout->lineAt(layout->lineCount() - 1).textStart();
  const int state = last.userState();
  QTextCursor at(last);
  at.setPosition(last.position() + cut);
  at.insertBlock();
  at.block().previous().setUserState(state);
  at.block().setUserState(kGoesOn);
}

QString TMemo::Joined(int from, int to, QChar paragraphBreak) const {
  QString text;
  for (QTextBlock b = document()->findBlock(from); b.isValid() && b.position() <= to; b = b.next()) {
    if (b.position() > from && b.userState() != kGoesOn) text += paragraphBreak;
    const int start = std::max(from - b.position(), 0);
    text += b.text().mid(start, to - b.position() - start);
  }
  return text;
}

QMimeData* TMemo::createMimeDataFromSelection() const {
  const QTextCursor selection = textCursor();
  auto* data = new QMimeData;
  data->setText(Joined(selection.selectionStart(), selection.selectionEnd(), u'\n'));
  return data;
}

void TMemo::GoToEnd() {
  moveCursor(QTextCursor::End);
  ensureCursorVisible();
}

void TMemo::SetColours(const QColor& background, const QColor& text) {
  background_ = background;
  text_ = text;
  QPalette p = palette();
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    p.setColor(group, QPalette::Base, background);
    p.setColor(group, QPalette::Text, text);
  }
  setPalette(p);
}

void TMemo::keyPressEvent(QKeyEvent* event) {
  // The view holds what went down the line: a key that is sent is shown as sent, and a key
  // that is not sent changes nothing (moving, selecting and copying do not change the text).
  const bool shortcut = event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
  char key = 0;
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      key = '\r';
      break;
    case Qt::Key_Backspace:
      key = '\b';
      break;
    case Qt::Key_Escape:
      key = 27;
      break;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      break;
    default:
      if (event->text().size() == 1) {
        char32_t c = event->text().at(0).unicode();
        if (c >= 32 && c != 127) key = static_cast<char>(UnicodeToCp1252(c));
      }
  }
  if (key == 0 || shortcut) {
    if (ChangesText(event)) return event->accept();
    return QPlainTextEdit::keyPressEvent(event);
  }
  if (OnKeyPress && !OnKeyPress(key)) return;
  // Sending lets events run: a call that ended meanwhile takes nothing more.
  if (!isEnabled() || isReadOnly()) return;
  if (key == '\b' && !textCursor().hasSelection()) {
    QTextCursor caret = textCursor();
    EraseBefore(caret);
    return;
  }
  if (key == '\r') {
    // Shift+Enter as Enter: a line break the capture holds, never a line separator.
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
    return QPlainTextEdit::keyPressEvent(&enter);
  }
  QPlainTextEdit::keyPressEvent(event);
}

bool TMemo::ChangesText(QKeyEvent* event) {
  for (auto edit : {QKeySequence::Paste, QKeySequence::Cut, QKeySequence::Undo, QKeySequence::Redo,
                    QKeySequence::Delete, QKeySequence::DeleteEndOfWord, QKeySequence::DeleteStartOfWord,
                    QKeySequence::DeleteEndOfLine, QKeySequence::DeleteCompleteLine})
    if (event->matches(edit)) return true;
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Backspace:
    case Qt::Key_Delete:
    case Qt::Key_Insert:
      return true;
    default:
      return false;
  }
}

bool TMemo::canInsertFromMimeData(const QMimeData*) const {
  return false;  // no paste or drop: it would not be sent
}

void TMemo::insertFromMimeData(const QMimeData*) {}

void TMemo::contextMenuEvent(QContextMenuEvent* event) {
  // Copy and select all; the editing entries would change the capture behind the line's back.
  std::unique_ptr<QMenu> menu(createStandardContextMenu(event->pos()));
  for (QAction* action : menu->actions())
    if (action->objectName() != "edit-copy" && action->objectName() != "select-all" && !action->isSeparator())
      menu->removeAction(action);
  menu->exec(event->globalPos());
}

}  // namespace corvalis
