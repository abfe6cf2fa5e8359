#include "pelmar/core/DorlinLink.h"

#include "dorlin/CDorlinCtrl.h"
#include "dorlin/RnetLink.h"
#include "dorlin/TickSource.h"

#include <QEventLoop>
#include <QTimer>
#include <memory>

namespace pelmar {

DorlinLink::DorlinLink(CDorlinCtrl* ctrl) : ctrl_(ctrl) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, &loop_, &QEventLoop::quit);
    QObject::connect(ctrl_, &CDorlinCtrl::OnComm, &loop_, &QEventLoop::quit);
    conn_ = QObject::connect(ctrl_, &CDorlinCtrl::RnetMonitor,
                             [this](short index, const QString& message) {
                                 if (monitor_) monitor_(index, message);
                             });
}

DorlinLink::~DorlinLink() {
    QObject::disconnect(conn_);
}

bool DorlinLink::PortOpen() {
    return ctrl_->PortOpen();
}
void DorlinLink::SetPortOpen(bool open) {
    ctrl_->SetPortOpen(open);
}
void DorlinLink::SetCommPort(short port) {
    ctrl_->SetCommPort(port);
}
void DorlinLink::SetiAddress(const QString& a) {
    ctrl_->SetiAddress(a);
}
void DorlinLink::SetiPort(short port) {
    ctrl_->SetiPort(port);
}
void DorlinLink::SetExtPort(const QString& path) {
    ctrl_->SetExtPort(path);
}
void DorlinLink::SetExtPortOpen(bool open) {
    ctrl_->SetExtPortOpen(open);
}
QString DorlinLink::PortErrorText() {
    return ctrl_->PortErrorText();
}
QString DorlinLink::PortWarning() {
    return ctrl_->PortWarning();
}
void DorlinLink::SetRTSEnable(bool on) {
    ctrl_->SetRTSEnable(on);
}
void DorlinLink::SetDTREnable(bool on) {
    ctrl_->SetDTREnable(on);
}
long DorlinLink::RnetTimeout() {
    return ctrl_->RnetTimeout();
}
void DorlinLink::SetRnetTimeout(long ms) {
    ctrl_->SetRnetTimeout(ms);
}
QString DorlinLink::EnumCommPort(short index) {
    return ctrl_->EnumCommPort(index);
}
QString DorlinLink::Text() {
    return ctrl_->Text();
}
void DorlinLink::SetText(const QString& raw) {
    // A raw request waits for the line like any other: a late reply still owed is taken
    // and dropped first.
    ctrl_->Link().Settle();
    ctrl_->SetText(raw);
}
dorlin::RnetResult DorlinLink::Exchange(const dorlin::RnetRequest& request) {
    return ctrl_->Link().Exchange(request);
}
void DorlinLink::Settle() {
    ctrl_->Link().Settle();
}
void DorlinLink::Owe(uint32_t sentAt) {
    ctrl_->Link().Owe(sentAt);
}
int DorlinLink::RxCount() {
    return ctrl_->RxCount();
}
bool DorlinLink::ClearRxBuffer() {
    return ctrl_->ClearRxBuffer();
}
QString DorlinLink::SendRnetCmd(const QString& sData, bool tChkSum, bool rChkSum) {
    return ctrl_->SendRnetCmd(sData, tChkSum, rChkSum);
}
bool DorlinLink::Login(const QString& password) {
    return ctrl_->Login(password);
}
bool DorlinLink::Logout() {
    return ctrl_->Logout();
}
QString DorlinLink::GetVersion() {
    return ctrl_->GetVersion();
}
QString DorlinLink::GetRegister(short addr) {
    return ctrl_->GetRegister(addr);
}
bool DorlinLink::SetRegister(short addr, const QString& param) {
    return ctrl_->SetRegister(addr, param);
}
bool DorlinLink::EraseRecord(short number) {
    return ctrl_->EraseRecord(number);
}
void DorlinLink::SetMonitor(Monitor m) {
    monitor_ = std::move(m);
}

void DorlinLink::WaitForRx(uint32_t ms) {
    if (ctrl_->RxCount() > 0) return;
    // Sleep in the event loop until the control reports received bytes (OnComm) or the
    // step is over, so a reply is taken as it completes rather than up to a step later.
    // User input waits for the caller's own dispatch. The loop and its timer are kept for
    // the next step; a step nested inside another (an event handler that talks to the
    // reader) gets its own.
    std::unique_ptr<QEventLoop> nestedLoop;
    std::unique_ptr<QTimer> nestedTimer;
    QEventLoop* loop = &loop_;
    QTimer* timer = &timer_;
    if (loop_.isRunning()) {
        nestedLoop = std::make_unique<QEventLoop>();
        nestedTimer = std::make_unique<QTimer>();
        loop = nestedLoop.get();
        timer = nestedTimer.get();
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, loop, &QEventLoop::quit);
        QObject::connect(ctrl_, &CDorlinCtrl::OnComm, loop, &QEventLoop::quit);
    }
    timer->start(int(ms));
    if (ctrl_->RxCount() == 0) loop->exec(QEventLoop::ExcludeUserInputEvents);
    timer->stop();
}

} // namespace pelmar
