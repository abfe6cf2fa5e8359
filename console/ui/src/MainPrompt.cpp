#include "MainPrompt.h"

#include "pelmar/ui/frmMain.h"

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <lvlang/modLanguage.h>
#include <pelmar/dialogs/frmLanguage.h>
#include <pelmar/dialogs/frmSaveOptions.h>
#include <pelmar/dialogs/frmSettings.h>
#include <pelmar/dialogs/frmTime.h>

namespace pelmar::ui {

MainPrompt::MainPrompt(frmMain* window) : PromptBase(window), w_(window) {}

void MainPrompt::SetState(UiState s) {
    w_->Enabled1(s);
}

void MainPrompt::SetCaption(const QString& caption) {
    // The reader logic builds captions on the title of the language it has; when that is
    // still the English one, the window shows its own, translated title in front of the suffix.
    const QString english = QStringLiteral("Lorvane");
    const QString title = w_->Title();
    if (!caption.startsWith(title) && caption.startsWith(english))
        w_->setWindowTitle(title + caption.mid(english.size()));
    else
        w_->setWindowTitle(caption);
}

void MainPrompt::SetMessagePanel(const QString& text) {
    w_->SetMessagePanel(text);
}

void MainPrompt::SetMessageVisible(bool visible) {
    // Blinking: the text goes, the panel stays.
    w_->labMsgBox->setVisible(visible);
}

void MainPrompt::SetCounter(const QString& text) {
    w_->Label2->setText(text);
}

void MainPrompt::SetProgress(long minimum, long maximum, long value) {
    auto clamp = [](long v) { return int(qBound(long(INT_MIN), v, long(INT_MAX))); };
    w_->prgBar->setRange(clamp(minimum), clamp(qMax(minimum, maximum)));
    w_->prgBar->setValue(clamp(qBound(minimum, value, qMax(minimum, maximum))));
}

void MainPrompt::ClearPortSelection() {
    w_->cboPort->setCurrentIndex(-1);
}

// The window's dialogs come from the dialogs library.
bool MainPrompt::ShowTime(modKt9& kt9) {
    return dialogs::ShowTime(kt9, w_);
}

bool MainPrompt::ShowSettings(modKt9& kt9, IReaderLink& link) {
    return dialogs::ShowSettings(kt9, link, w_);
}

bool MainPrompt::ShowSaveOptions(clsSaveOptions& options) {
    return dialogs::ShowOptions(options, w_);
}

void MainPrompt::ShowLanguage() {
    dialogs::ShowLanguageChange(w_);
}

} // namespace pelmar::ui
