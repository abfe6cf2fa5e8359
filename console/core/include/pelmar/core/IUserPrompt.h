// Everything the reader operations ask of the user or show to the user. The windows
// implement it with dialogs, message boxes and a progress bar; the command line with its
// options and the terminal. Defaults of the display calls do nothing.
#pragma once
#include <QString>

namespace pelmar {

enum class MsgKind { Critical, Exclamation, Information, Plain };

// Window states of the main window (the argument of its Enabled1).
enum class UiState {
    RecordsDone = 1,  // an operation on the records has ended
    RecordsBusy = 2,  // a download or a Delete runs
    DialogDone = 3,   // a dialog-based operation has ended
    DialogBusy = 4,   // a dialog-based operation runs
    SaveBusy = 5,     // a save runs
    LoggedIn = 6,     // login succeeded
    NoConnection = 7, // start-up, failed connect, disconnected
};

class IUserPrompt {
public:
    virtual ~IUserPrompt() = default;

    // The Login ID to log in with; "" = cancelled. attempt counts from 1.
    virtual QString AskLoginId(int attempt) = 0;
    // A new Login ID entered twice identically; "" = cancelled.
    virtual QString AskNewLoginId() = 0;
    // A Yes/No question with the question mark icon.
    virtual bool AskYesNo(const QString& text) = 0;
    // A message box. An empty title means the application title.
    virtual void ShowMessage(MsgKind kind, const QString& text, const QString& title = {}) = 0;

    // Display of state and progress.
    virtual void SetState(UiState) {}
    virtual void SetCaption(const QString&) {}      // window title
    virtual void SetMessagePanel(const QString&) {} // "" hides the panel
    virtual void SetMessageVisible(bool) {}         // blinking of the panel text
    virtual void SetCounter(const QString&) {}      // the "n / total" label
    virtual void SetProgress(long, long, long) {}   // minimum, maximum, value
    virtual void ClearPortSelection() {}            // the port list loses its choice
    // A remark beside the operation (still waiting, a late confirmation, a warning): no
    // message box, nothing to answer.
    virtual void ShowNote(const QString&) {}
};

} // namespace pelmar
