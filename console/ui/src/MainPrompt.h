// The main window's side of the reader logic's prompt: questions and messages as the dialogs
// library's dialogs, state, caption, panel, counter and progress
// on the window's controls; plus the window's own dialogs (clock, settings, save options,
// language).
#pragma once
#include <QString>
#include <pelmar/SaveOptions.h>
#include <pelmar/core/IUserPrompt.h>
#include <pelmar/core/modKt9.h>
#include <pelmar/dialogs/DialogUserPrompt.h>

namespace pelmar::ui {

class frmMain;

using PromptBase = pelmar::dialogs::DialogUserPrompt;

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
