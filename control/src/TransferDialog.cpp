#include "TransferDialog.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

TransferDialog::TransferDialog(QWidget* host)
    : QDialog(host ? host->window() : nullptr), host_(host) {
    setObjectName("dorlinTransfer");
    setModal(false);
    auto* lay = new QVBoxLayout(this);
    bar_ = new QProgressBar(this);
    bar_->setObjectName("prgTransfer");
    bar_->setTextVisible(false);
    percent_ = new QLabel(this);
    percent_->setObjectName("labPercent");
    status_ = new QLabel(this);
    status_->setObjectName("labStatus");
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName("cmdCancel");
    connect(cancel, &QPushButton::clicked, this, [this] { cancel_ = true; });
    lay->addWidget(bar_);
    lay->addWidget(percent_);
    lay->addWidget(status_);
    lay->addWidget(cancel, 0, Qt::AlignRight);
    setMinimumWidth(260);
}

TransferDialog::~TransferDialog() {
    End();
}

QString TransferDialog::PercentText(int pos, int low, int high) {
    int pct = high > low ? int((qint64(pos) - low) * 100 / (high - low)) : 100;
    if (pct != 100) pct %= 100;
    return QString::asprintf("%d%c", pct, '%');
}

void TransferDialog::Begin(bool sending, int high) {
    sending_ = sending;
    cancel_ = false;
    setWindowTitle(sending ? QStringLiteral("Send File...") : QStringLiteral("Receive File..."));
    if (host_ && !begun_) {
        hostWasEnabled_ = host_->isEnabled();
        host_->setEnabled(false);
    }
    begun_ = true;
    Progress(0, high, 0);
    show();
}

void TransferDialog::Progress(int pos, int high, int blocks) {
    bar_->setRange(0, high > 0 ? high : 1);
    bar_->setValue(high > 0 ? pos : 1);
    percent_->setText(PercentText(pos, 0, high));
    status_->setText(
        QString::asprintf(sending_ ? "Send File BLK:%04d" : "Recv File BLK:%04d", blocks));
}

bool TransferDialog::TakeCancel() {
    const bool c = cancel_;
    cancel_ = false;
    return c;
}

void TransferDialog::End() {
    if (isVisible()) hide();
    if (host_ && begun_) host_->setEnabled(hostWasEnabled_);
    begun_ = false;
}
