// Script engine: reading this side's turns from the script file. The operations are in
// place for the window and the main timer; their bodies come with the script engine.
#include "ui/mainform.h"

namespace corvalis {

void TMainForm::SendNowButtonClick(QObject*) {}
void TMainForm::CheckScriptEnd() {}
void TMainForm::UpdateCounter() {}
void TMainForm::ResetButtonClick(QObject*) {
  ResetCounter();
}
void TMainForm::ResetCounter() {}
void TMainForm::UpdateTotalLines() {}
void TMainForm::ScriptFileNameEditChange(QObject*) {}
void TMainForm::EnableDisableScriptBox(bool) {}
void TMainForm::AutoSendBoxClick(QObject*) {}

}  // namespace corvalis
