// SPDX-License-Identifier: Apache-2.0
// The conversation view's cost per received character as one unbroken paragraph grows, and the
// same for a plain text pane holding the paragraph as one block (as the view did before it held
// long paragraphs in pieces).
//
//   view_bench [build_folder]
//
// Each received character goes into the view as the receive path puts it there: appended, the
// caret moved to the end, then the event loop run (painting included; offscreen). The paragraph
// is first grown to 1,000, 13,000 and 100,000 characters, then the CPU time of the next
// characters is measured (as many as a piece of the view holds, so that every point averages
// over one whole piece). Two kinds of paragraph: running text (words and spaces) and noise (no
// spaces, marks and control pictures among the letters). Prints the cost at each length and
// the ratio to the cost at 1,000 characters, measured in this one run. Exits with 1 when the
// view's text is not, byte for byte, what was received.
#include <time.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "common/conversation_text.h"
#include "call/conversation_view.h"

using corvalis::TMemo;

namespace {

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A received paragraph: running text, or noise from a device stuck sending (no spaces).
std::string Paragraph(bool noise, size_t length) {
  std::mt19937_64 rng(noise ? 7 : 3);
  static const std::string kLetters = "ETAOINSHRDLCUMWFGYPBVKJXQZ";
  std::string s;
  while (s.size() < length) {
    if (noise) {
      const unsigned r = static_cast<unsigned>(rng() % 100);
      // Mostly letters and figures; now and then a line-break mark or a control code.
      s += r < 3 ? '\xB1' : r < 5 ? '\xB7' : r < 6 ? '\x1B' : static_cast<char>('!' + rng() % 94);
    } else {
      for (int i = 1 + static_cast<int>(rng() % 9); i > 0; --i) s += kLetters[rng() % kLetters.size()];
      s += ' ';
    }
  }
  s.resize(length);
  return s;
}

// Received bytes as the view draws them.
QString Shown(const std::string& bytes) {
  return QString::fromStdU32String(corvalis::ViewTextToDisplay(bytes));
}

// The view as the main window has it, shown offscreen.
void Place(QPlainTextEdit& view) {
  view.resize(502, 73);
  view.show();
  QApplication::processEvents();
}

// The old view: one block per paragraph, set up as the conversation view is.
class OneBlockView : public QPlainTextEdit {
 public:
  explicit OneBlockView(const TMemo& like) {
    setUndoRedoEnabled(false);
    setLineWrapMode(like.lineWrapMode());
    setWordWrapMode(like.wordWrapMode());
    setVerticalScrollBarPolicy(like.verticalScrollBarPolicy());
    setHorizontalScrollBarPolicy(like.horizontalScrollBarPolicy());
    setFont(like.font());
    setReadOnly(true);
  }
  void Append(char c) {
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    end.insertText(Shown(std::string(1, c)));
  }
  void GoToEnd() {
    moveCursor(QTextCursor::End);
    ensureCursorVisible();
  }
};

struct Point {
  size_t length;
  double viewMicros;   // per character, the view
  double plainMicros;  // per character, one block
};

// CPU microseconds per character for `count` characters appended from text[from].
template <typename AppendOne>
double MicrosPerChar(const std::string& text, size_t from, size_t count, AppendOne appendOne) {
  const double start = ThreadCpuSeconds();
  for (size_t i = from; i < from + count; ++i) {
    appendOne(text[i]);
    QApplication::processEvents();
  }
  return (ThreadCpuSeconds() - start) / static_cast<double>(count) * 1e6;
}

bool Run(bool noise) {
  const std::vector<size_t> lengths = {1000, 13000, 100000};
  constexpr size_t kMeasured = TMemo::kPieceLength;
  const std::string text = Paragraph(noise, lengths.back() + kMeasured);
  std::vector<Point> points;
  bool exact = true;
  for (size_t length : lengths) {
    Point p{length, 0, 0};
    {
      TMemo view;
      view.setReadOnly(true);
      Place(view);
      view.AppendText("RECD: ");
      // Grown as received, without the painting in between (not timed).
      for (size_t i = 0; i < length; ++i) {
        view.AppendText(std::string(1, text[i]));
        view.GoToEnd();
      }
      QApplication::processEvents();
      p.viewMicros = MicrosPerChar(text, length, kMeasured, [&](char c) {
        view.AppendText(std::string(1, c));
        view.GoToEnd();
      });
      if (view.Text() != "RECD: " + text.substr(0, length + kMeasured)) {
        std::printf("  the view's text differs from what was received at %zu characters\n", length);
        exact = false;
      }
    }
    {
      TMemo like;
      OneBlockView plain(like);
      Place(plain);
      plain.setPlainText(Shown("RECD: " + text.substr(0, length)));
      plain.GoToEnd();
      QApplication::processEvents();
      // Fewer characters where each costs a whole paragraph's layout.
      const size_t count = length >= 100000 ? 100 : length >= 13000 ? 500 : kMeasured;
      p.plainMicros = MicrosPerChar(text, length, count, [&](char c) {
        plain.Append(c);
        plain.GoToEnd();
      });
    }
    points.push_back(p);
  }

  std::printf("%s, one unbroken paragraph (CPU time per received character):\n",
              noise ? "Noise (no spaces)" : "Running text");
  std::printf("  %9s  %14s  %9s  %16s  %9s\n", "length", "view", "vs 1,000", "one block", "vs 1,000");
  for (const Point& p : points) {
    std::printf("  %9zu  %11.1f us  %8.2fx  %13.1f us  %8.2fx\n", p.length, p.viewMicros,
                p.viewMicros / points.front().viewMicros, p.plainMicros,
                p.plainMicros / points.front().plainMicros);
  }
  const double ratio = points.back().viewMicros / points.front().viewMicros;
  std::printf("  view: cost per character at 100,000 / at 1,000 = %.2f (goal: within 2x, %s)\n", ratio,
              ratio <= 2.0 ? "met" : "NOT met");
  return exact;
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  bool exact = Run(false);
  std::printf("\n");
  exact = Run(true) && exact;
  return exact ? 0 : 1;
}
