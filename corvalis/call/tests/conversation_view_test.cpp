// SPDX-License-Identifier: Apache-2.0
// One long received paragraph in the conversation view: what the view shows, what its text is,
// and the record saved from it.
#include "call/conversation_view.h"

#include <rapidcheck.h>

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QPushButton>
#include <QTextBlock>
#include <QTextLayout>
#include <random>

#include "call/conversation.h"
#include "common/conversation_text.h"
#include "temp_dir.h"
#include "ui/tests/form_fixture.h"

namespace corvalis::testing {
namespace {

using kit::testing::readFile;
using kit::testing::TempDir;

// A paragraph as a far end that never breaks lines sends it: words, figures, the marks of
// received line breaks and backspaces, a control code now and then.
std::string LongParagraph(size_t length, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < length) {
    for (int i = 1 + static_cast<int>(rng() % 12); i > 0; --i) s += static_cast<char>('A' + rng() % 26);
    const unsigned r = rng() % 20;
    s += r == 0 ? "\xB1\xB2" : r == 1 ? "\xB7" : r == 2 ? "\x1B" : " ";
  }
  s.resize(length);
  return s;
}

// The lines the view draws, as text: each visual line of each block, in order.
std::vector<QString> DrawnLines(QPlainTextEdit& view) {
  auto* layout = qobject_cast<QPlainTextDocumentLayout*>(view.document()->documentLayout());
  std::vector<QString> lines;
  for (QTextBlock b = view.document()->begin(); b.isValid(); b = b.next()) {
    layout->ensureBlockLayout(b);
    for (int i = 0; i < b.layout()->lineCount(); ++i) {
      const QTextLine line = b.layout()->lineAt(i);
      lines.push_back(b.text().mid(line.textStart(), line.textLength()));
    }
  }
  return lines;
}

TEST(ConversationView, ALongParagraphIsDrawnAsOneAndItsTextStaysExact) {
  App();
  TMemo view;
  view.resize(502, 73);
  view.show();
  QApplication::processEvents();
  const std::string paragraph = LongParagraph(20000, 1);
  std::string expected = "RECD: " + paragraph + "\r\n\r\nSEND: GA SK";
  view.AppendText("RECD: ");
  std::mt19937 rng(2);
  for (size_t at = 0; at < paragraph.size();) {
    const size_t n = std::min<size_t>(1 + rng() % 40, paragraph.size() - at);
    view.AppendText(paragraph.substr(at, n));
    view.GoToEnd();
    at += n;
  }
  view.AppendText("\r\n\r\nSEND: GA SK");
  EXPECT_EQ(view.Text(), expected);
  int longest = 0;
  for (QTextBlock b = view.document()->begin(); b.isValid(); b = b.next())
    longest = std::max(longest, b.length() - 1);
  EXPECT_LE(longest, TMemo::kPieceLength);

  // Drawn line for line as a pane holding the paragraph in one block draws it.
  QPlainTextEdit whole;
  whole.setLineWrapMode(view.lineWrapMode());
  whole.setWordWrapMode(view.wordWrapMode());
  whole.setVerticalScrollBarPolicy(view.verticalScrollBarPolicy());
  whole.setHorizontalScrollBarPolicy(view.horizontalScrollBarPolicy());
  whole.setFont(view.font());
  whole.resize(view.size());
  whole.show();
  whole.setPlainText("RECD: " + QString::fromStdU32String(ViewTextToDisplay(paragraph)) + "\n\nSEND: GA SK");
  QApplication::processEvents();
  const std::vector<QString> one = DrawnLines(whole);
  const std::vector<QString> drawn = DrawnLines(view);
  EXPECT_GT(drawn.size(), 20000u / 70);
  EXPECT_TRUE(drawn == one) << drawn.size() << " lines drawn, " << one.size() << " in one block";

  // Copying the paragraph gives it without breaks between the pieces.
  view.selectAll();
  view.copy();
  EXPECT_EQ(QApplication::clipboard()->text(),
            "RECD: " + QString::fromStdU32String(ViewTextToDisplay(paragraph)) + "\n\nSEND: GA SK");

  // Set again as a whole (the end-of-call tidying does), it is held in pieces and stays exact.
  view.SetText(view.Text());
  EXPECT_EQ(view.Text(), expected);
  EXPECT_GT(view.document()->blockCount(), 20000 / TMemo::kPieceLength);
}

TEST(ConversationView, BackspaceAtTheStartOfAPieceTakesThePreviousCharacter) {
  App();
  TMemo view;
  view.resize(502, 73);
  view.show();
  const std::string paragraph(TMemo::kPieceLength + 100, 'A');
  view.AppendText("RECD: " + paragraph);
  ASSERT_GT(view.document()->blockCount(), 1);
  QTextCursor caret(view.document()->begin().next());
  view.setTextCursor(caret);
  view.setFocus();
  QKeyEvent backspace(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier, "\b");
  QApplication::sendEvent(&view, &backspace);
  EXPECT_EQ(view.Text(), "RECD: " + paragraph.substr(1));
}

// The view shows what the conversation holds, whatever is done to it: appends of any length (a
// paragraph in many pieces), typed keys, backspaces across pieces and line breaks, the text set anew.
TEST(ConversationView, ShowsExactlyTheConversationAfterEveryChange) {
  App();
  TMemo view;
  view.resize(502, 73);
  view.show();
  EXPECT_TRUE(rc::check("the view's text is the conversation's", [&view] {
    TConversation conversation;
    conversation.SetListener([&view](TConversation::TChange change, std::string_view bytes) {
      switch (change) {
        case TConversation::TChange::Appended:
          return view.AppendText(std::string(bytes));
        case TConversation::TChange::Erased:
          return view.EraseLastCharacter();
        case TConversation::TChange::Replaced:
          return view.SetText(std::string(bytes));
      }
    });
    conversation.Clear();
    const std::string alphabet = "ABC \xB1\xB2\xB7\x1B\x08\x7F";
    const int steps = *rc::gen::inRange(1, 40);
    for (int i = 0; i < steps; ++i) {
      std::string what;
      switch (*rc::gen::inRange(0, 8)) {
        case 0:
        case 1: {  // received or sent text, up to a few pieces long
          const int n = *rc::gen::inRange(1, 3 * TMemo::kPieceLength);
          std::string text;
          for (int k = 0; k < n; ++k)
            text += alphabet[static_cast<size_t>(*rc::gen::inRange<size_t>(0, alphabet.size()))];
          conversation.Append(text);
          what = "append " + std::to_string(n);
          break;
        }
        case 2:
          conversation.Append(*rc::gen::element<std::string>("\r\n", "\r\n\r\nSEND: ", "\r\n\r\nRECD: "));
          what = "line break";
          break;
        case 3:
        case 4: {
          const char key = *rc::gen::element<char>('H', '\r', '\b', '\x1B', '\xE9');
          conversation.Type(key);
          what = "type " + std::to_string(static_cast<unsigned char>(key));
          break;
        }
        case 5:
        case 6: {
          const int n = *rc::gen::inRange(1, 40);
          for (int k = 0; k < n; ++k) conversation.Type('\b');
          what = std::to_string(n) + " backspaces";
          break;
        }
        default:
          conversation.Replace(CleanUpLastLine(conversation.Text()));
          what = "tidied";
      }
      RC_LOG() << what << "\n";
      const std::string shown = view.Text();
      const std::string& held = conversation.Text();
      if (shown != held) {
        const auto at =
            std::mismatch(shown.begin(), shown.end(), held.begin(), held.end()).first - shown.begin();
        RC_FAIL("after " + what + ", the view (" + std::to_string(shown.size()) +
                " bytes) differs from the " + "conversation (" + std::to_string(held.size()) + ") at byte " +
                std::to_string(at));
      }
    }
  }));
}

class LongParagraphCall : public FormTest {
 protected:
  void SetUp() override {
    FormTest::SetUp();
    StartUp(kDeviceCustomCompact, dir.path().string() + "/");
  }
  TempDir dir;
};

TEST_F(LongParagraphCall, TheRecordHoldsAllOfItByteForByte) {
  form->StartCallButtonClick(form->StartCallButton);
  // Received in batches of any size, its line breaks as marks within the paragraph.
  const std::string paragraph = LongParagraph(10000, 3);
  std::string received;
  for (char c : paragraph) received += c == '\xB1' ? '\r' : c == '\xB2' ? '\n' : c == '\xB7' ? '\b' : c;
  std::mt19937 rng(4);
  for (size_t at = 0; at < received.size();) {
    const size_t n = std::min<size_t>(1 + rng() % 60, received.size() - at);
    Receive(received.substr(at, n));
    at += n;
  }
  form->SendToMemoAndPort("OK GA", false);
  EXPECT_EQ(View(), "RECD: " + paragraph + "\r\n\r\nSEND: OK GA");
  form->EndCallButtonClick(form->EndCallButton);
  form->RecordLogButton->click();
  EXPECT_TRUE(boxes.calls.empty());
  const std::string record = readFile(dir.file("1018-1405-LAB1.TXT"));
  const std::string conversation = "\r\n\r\nRECD: " + paragraph + "\r\n\r\nSEND: OK GA\r\n\r\nEnded at";
  EXPECT_NE(record.find(conversation), std::string::npos) << record.substr(0, 200);
}

TEST_F(LongParagraphCall, TypedKeysGoWhereTheyWentDownTheLineAndTheRecordHoldsThem) {
  form->StartCallButtonClick(form->StartCallButton);
  Receive("HI GA");
  // The tester has clicked into the far end's words; the keys still follow them.
  QTextCursor start(form->MemoASCII->document());
  form->MemoASCII->setTextCursor(start);
  form->MemoASCII->setFocus();
  for (char c : std::string("OX\bK\rGO AHEAD")) {
    const int key = c == '\b'   ? Qt::Key_Backspace
                    : c == '\r' ? Qt::Key_Return
                    : c == ' '  ? Qt::Key_Space
                                : Qt::Key_A + (c - 'A');
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(QChar(c)));
    QApplication::sendEvent(form->MemoASCII, &press);
  }
  EXPECT_EQ(Sent(), "OX\bK\rGO AHEAD");
  EXPECT_EQ(View(), "RECD: HI GA\r\n\r\nSEND: OK\r\nGO AHEAD");
  form->EndCallButtonClick(form->EndCallButton);
  form->RecordLogButton->click();
  EXPECT_TRUE(boxes.calls.empty());
  const std::string record = readFile(dir.file("1018-1405-LAB1.TXT"));
  EXPECT_NE(record.find("\r\n\r\nRECD: HI GA\r\n\r\nSEND: OK\r\nGO AHEAD\r\n\r\nEnded at"), std::string::npos)
      << record;
}

}  // namespace
}  // namespace corvalis::testing
