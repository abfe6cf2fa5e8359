// The reader logic's questions and messages as Qt dialogs: the Login ID through frmLogin, a
// new ID through frmChgID, Yes/No questions and message boxes of the kinds critical,
// exclamation, information and question. The display calls (state, caption, progress ...)
// are the main window's; it derives from this class and overrides them.
#pragma once
#include <QPointer>
#include <QWidget>
#include <pelmar/core/IUserPrompt.h>

class QMessageBox;

namespace pelmar::dialogs {

class DialogUserPrompt : public IUserPrompt {
public:
    // Message boxes and dialogs are parented to `parent` (may be null).
    explicit DialogUserPrompt(QWidget* parent = nullptr) : parent_(parent) {}

    QString AskLoginId(int attempt) override;
    QString AskNewLoginId() override;
    // "Yes" = true; the question-mark icon, "Yes" and "No" buttons, "No" on Escape.
    bool AskYesNo(const QString& text) override;
    // An empty title means the application title "Lorvane".
    void ShowMessage(MsgKind kind, const QString& text, const QString& title = {}) override;

private:
    QPointer<QWidget> parent_;
};

// A modal message box of the given kind (icon), with an OK button.
void MsgBox(QWidget* parent, MsgKind kind, const QString& text, const QString& title);
// The application title used by message boxes without a title of their own.
QString AppTitle();

} // namespace pelmar::dialogs
