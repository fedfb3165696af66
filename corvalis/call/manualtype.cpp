#include "manualtype.h"

namespace corvalis {

TManualTypeForm::TManualTypeForm(QWidget* parent) : QWidget(parent, Qt::Dialog) {
  setFixedSize(356, 250);
}

void TManualTypeForm::ShowTypingText(const std::string& Text) {
  (void)Text;  // the text pane comes with the script engine
  show();
}

void TManualTypeForm::HideTypingWindow() {
  hide();
}

}  // namespace corvalis
