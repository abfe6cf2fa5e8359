#include "MainPrompt.h"

#include "pelmar/ui/frmMain.h"

#include <QComboBox>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <lvlang/modLanguage.h>
#if defined(PELMAR_UI_HAVE_FRMTIME)
#include <pelmar/dialogs/frmTime.h>
#endif
#if defined(PELMAR_UI_HAVE_FRMSETTINGS)
#include <pelmar/dialogs/frmSettings.h>
#endif
#if defined(PELMAR_UI_HAVE_FRMSAVEOPTIONS)
#include <pelmar/dialogs/frmSaveOptions.h>
#endif
#if defined(PELMAR_UI_HAVE_FRMLANGUAGE)
#include <pelmar/dialogs/frmLanguage.h>
#endif

namespace pelmar::ui {

#if !defined(PELMAR_UI_DIALOG_PROMPT)
QString PromptBase::AskLoginId(int) {
    bool ok = false;
    const QString id =
        QInputDialog::getText(parent_, QStringLiteral("Login"), QStringLiteral("Login ID:"),
                              QLineEdit::Password, QString(), &ok);
    return ok ? id.trimmed().toUpper() : QString();
}

QString PromptBase::AskNewLoginId() {
    bool ok = false;
    const QString id =
        QInputDialog::getText(parent_, QStringLiteral("Change Login ID"),
                              QStringLiteral("New Login ID:"), QLineEdit::Password, QString(), &ok);
    return ok ? id.trimmed().toUpper() : QString();
}

bool PromptBase::AskYesNo(const QString& text) {
    return QMessageBox::question(parent_, QStringLiteral("Lorvane"), text,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void PromptBase::ShowMessage(MsgKind kind, const QString& text, const QString& title) {
    const QMessageBox::Icon icon = kind == MsgKind::Critical      ? QMessageBox::Critical
                                   : kind == MsgKind::Exclamation ? QMessageBox::Warning
                                   : kind == MsgKind::Information ? QMessageBox::Information
                                                                  : QMessageBox::NoIcon;
    QMessageBox box(icon, title.isEmpty() ? QStringLiteral("Lorvane") : title, text,
                    QMessageBox::Ok, parent_);
    box.exec();
}
#endif

MainPrompt::MainPrompt(frmMain* window) : PromptBase(window), w_(window) {}

void MainPrompt::SetState(UiState s) {
    w_->Enabled1(int(s));
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

// The window's dialogs come from the dialogs library; a dialog that is not part of the
// build reports that it is not available and changes nothing.
namespace {
[[maybe_unused]] void NotAvailable(QWidget* parent, const QString& what) {
    QMessageBox::information(parent, QStringLiteral("Lorvane"),
                             what + QStringLiteral(" is not available in this build."));
}
} // namespace

bool MainPrompt::ShowTime(modKt9& kt9) {
#if defined(PELMAR_UI_HAVE_FRMTIME)
    return dialogs::ShowTime(kt9, w_);
#else
    (void)kt9;
    NotAvailable(w_, QStringLiteral("The date and time dialog"));
    return true;
#endif
}

bool MainPrompt::ShowSettings(modKt9& kt9, IReaderLink& link) {
#if defined(PELMAR_UI_HAVE_FRMSETTINGS)
    return dialogs::ShowSettings(kt9, link, w_);
#else
    (void)kt9;
    (void)link;
    NotAvailable(w_, QStringLiteral("The settings dialog"));
    return false;
#endif
}

bool MainPrompt::ShowSaveOptions(clsSaveOptions& options) {
#if defined(PELMAR_UI_HAVE_FRMSAVEOPTIONS)
    return dialogs::ShowOptions(options, w_);
#else
    (void)options;
    NotAvailable(w_, QStringLiteral("The save options dialog"));
    return false;
#endif
}

void MainPrompt::ShowLanguage() {
#if defined(PELMAR_UI_HAVE_FRMLANGUAGE)
    dialogs::ShowLanguageChange(w_);
#else
    NotAvailable(w_, QStringLiteral("The language dialog"));
#endif
}

} // namespace pelmar::ui
