#include "conversation_view.h"

#include <QKeyEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

#include "call/conversation_text.h"
#include "call/cp1252.h"

namespace corvalis {

namespace {

QString ToDisplay(const std::string& bytes) {
  std::u32string shown = ViewTextToDisplay(bytes);
  for (char32_t& c : shown)
    if (c == U'\u2029') c = U'\n';
  return QString::fromStdU32String(shown);
}

}  // namespace

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent) {
  setUndoRedoEnabled(false);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setTabChangesFocus(true);
  QFont font;
  font.setFamilies({"Courier New", "DejaVu Sans Mono", "Liberation Mono", "Monospace"});
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  font.setBold(true);
  font.setPixelSize(13);
  setFont(font);
}

std::string TMemo::Text() const {
  return DisplayToViewText(document()->toRawText().toStdU32String());
}

void TMemo::SetText(const std::string& bytes) {
  setPlainText(ToDisplay(bytes));
}

void TMemo::AppendText(const std::string& bytes) {
  QTextCursor end(document());
  end.movePosition(QTextCursor::End);
  end.insertText(ToDisplay(bytes));
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
  // Shortcuts (copy, select all) and focus keys are not typed characters.
  bool shortcut = event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
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
  if (key != 0 && !shortcut && OnKeyPress && !OnKeyPress(key)) return;
  QPlainTextEdit::keyPressEvent(event);
}

}  // namespace corvalis
