// The main window's side of the reader logic's prompt: questions and messages as dialogs
// (the dialogs library's prompt when it is built), state, caption, panel, counter and progress
// on the window's controls; plus the window's own dialogs (clock, settings, save options,
// language).
#pragma once
#include <QString>
#include <pelmar/SaveOptions.h>
#include <pelmar/core/IUserPrompt.h>
#include <pelmar/core/modKt9.h>

#if defined(PELMAR_UI_HAVE_DIALOGUSERPROMPT)
#include <pelmar/dialogs/DialogUserPrompt.h>
#define PELMAR_UI_DIALOG_PROMPT 1
#endif

namespace pelmar::ui {

class frmMain;

#if defined(PELMAR_UI_DIALOG_PROMPT)
using PromptBase = pelmar::dialogs::DialogUserPrompt;
#else
// Until the dialogs library is part of the build: plain Qt dialogs.
class PromptBase : public IUserPrompt {
public:
    explicit PromptBase(QWidget* parent) : parent_(parent) {}
    QString AskLoginId(int attempt) override;
    QString AskNewLoginId() override;
    bool AskYesNo(const QString& text) override;
    void ShowMessage(MsgKind kind, const QString& text, const QString& title = {}) override;

private:
    QWidget* parent_;
};
#endif

class MainPrompt : public PromptBase {
public:
    explicit MainPrompt(frmMain* window);

    void SetState(UiState s) override;
    void SetCaption(const QString& caption) override;
    void SetMessagePanel(const QString& text) override;
    void SetMessageVisible(bool visible) override;
    void SetCounter(const QString& text) override;
    void SetProgress(long minimum, long maximum, long value) override;
    void ClearPortSelection() override;

    // The window's dialogs; each returns true when the user applied it.
    bool ShowTime(modKt9& kt9);
    bool ShowSettings(modKt9& kt9, IReaderLink& link);
    bool ShowSaveOptions(clsSaveOptions& options);
    void ShowLanguage();

private:
    frmMain* w_;
};

} // namespace pelmar::ui
