// The reader clock dialog: shows the reader's clock ticking, re-reads it every ten seconds
// while the user is not editing, and sets it to a typed date and time or to the PC's clock,
// only while the reader holds no records.
#pragma once
#include <QDateTime>
#include <QDialog>
#include <QString>
#include <QTimer>
#include <functional>
#include <pelmar/core/modKt9.h>

class QDateEdit;
class QDateTimeEdit;
class QLabel;
class QPushButton;

namespace pelmar::dialogs {

class frmTime : public QDialog {
    Q_OBJECT
public:
    explicit frmTime(modKt9& kt9, QWidget* parent = nullptr);

    // Reads the record count and the clock and fills the pickers (steps before showing).
    // False when the link timed out while the clock was read.
    bool LoadFromReader();
    // The state the record count gives the dialog: an empty reader lets the clock be set (no
    // note, every button enabled); one that holds records does not (the red note, the
    // pickers and Sync./Apply/OK disabled).
    void ShowRecordState(bool holdsRecords);
    // The PC's clock (replaceable for tests).
    void SetPcClock(std::function<QDateTime()> now) { now_ = std::move(now); }

    bool CanSet() const { return CanSet_; }
    bool Applied() const { return Applied_; }
    // What ShowTime returns once the dialog has closed.
    bool Outcome() const { return !Applied_ || LastSetOK_; }

    // One tick of TimerAddSec (normally every second).
    void OnTick();
    void OnApply();
    void OnSync();

public:
    // Cancel, Escape and the frame; refused while a write runs.
    void reject() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void EnableEditButtons();
    void SetMsg(const QString& text, const QColor& colour);
    void RestartTimer();

    modKt9& kt9_;
    std::function<QDateTime()> now_;
    bool CanSet_ = false, Ticking = false, UserTyping = false, LastSetOK_ = false, Applied_ = false,
         inTick_ = false;
    int32_t TickCount = 0;

    QLabel* labCaption[2];
    QDateEdit* dtpDate;
    QDateTimeEdit* dtpTime;
    QLabel* labMsg;
    QPushButton* cmdSync;
    QPushButton* cmdApply;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;
    QTimer TimerAddSec;
};

// Shows the reader's clock for setting. False when the clock could not be read because the
// link timed out (no dialog); true when left without a completed Apply; otherwise the
// result of the last write.
bool ShowTime(modKt9& kt9, QWidget* parent = nullptr);

} // namespace pelmar::dialogs
