// The progress window of a file transfer: a small modeless dialog over the control's window
// (which is disabled while it is up) with a progress bar, the percentage, the block counter and
// a Cancel button.
#pragma once
#include <QDialog>

#include "CJXmodem.h"

class QLabel;
class QProgressBar;

class TransferDialog : public QDialog, public TransferView {
    Q_OBJECT
public:
    // `host` is the control; the dialog belongs to its window.
    explicit TransferDialog(QWidget* host);
    ~TransferDialog() override;

    void Begin(bool sending, int high) override;
    void Progress(int pos, int high, int blocks) override;
    bool TakeCancel() override;
    void End() override;

    // "%d%c" of the position within the range; anything but exactly 100 is taken modulo 100.
    static QString PercentText(int pos, int low, int high);

private:
    QWidget* host_;
    QProgressBar* bar_;
    QLabel* percent_;
    QLabel* status_;
    bool sending_ = true;
    bool cancel_ = false;
    bool hostWasEnabled_ = true;
    bool begun_ = false;
};
