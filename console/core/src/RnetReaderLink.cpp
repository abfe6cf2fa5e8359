#include "pelmar/core/RnetReaderLink.h"

#include <QCoreApplication>

namespace pelmar {

RnetReaderLink::RnetReaderLink() : link_(std::make_unique<dorlin::RnetLink>()) {
    // The link control's defaults: 19200 baud, no parity, 8 data bits, 1 stop bit.
    link_->SetBaud(baud_);
    link_->SetLine(0, 8, 1);
    link_->SetTimeoutMs(int(timeout_));
    // Waits let the thread's own events run (socket notifications, timers).
    link_->pump = [] { QCoreApplication::processEvents(QEventLoop::AllEvents); };
    link_->monitor = [this](int index, const std::string& m) {
        if (monitor_) monitor_(short(index), QString::fromLatin1(m.data(), qsizetype(m.size())));
    };
}

RnetReaderLink::~RnetReaderLink() = default;

bool RnetReaderLink::SetBaudRate(long rate) {
    baud_ = rate;
    return link_->SetBaud(rate);
}

bool RnetReaderLink::PortOpen() {
    return link_->IsOpen();
}

void RnetReaderLink::Open(const QString& name) {
    if (link_->IsOpen()) link_->Close();
    link_->SetTarget(address_, port_);
    if (link_->Open(name)) {
        link_->SetBaud(baud_);
        link_->SetRTS(true);
        link_->SetDTR(true);
    }
}

void RnetReaderLink::SetPortOpen(bool open) {
    if (open)
        Open(QStringLiteral("COM%1").arg(commPort_));
    else
        link_->Close();
}

void RnetReaderLink::SetCommPort(short port) {
    link_->Close();
    commPort_ = port;
}

void RnetReaderLink::SetiAddress(const QString& a) {
    address_ = a;
}

void RnetReaderLink::SetiPort(short port) {
    port_ = int(uint16_t(port)); // ports above 32767 come as negative numbers
}

void RnetReaderLink::SetExtPort(const QString& path) {
    extPort_ = path;
}

void RnetReaderLink::SetExtPortOpen(bool open) {
    if (extPort_.isEmpty()) return;
    if (open)
        Open(extPort_);
    else
        link_->Close();
}

QString RnetReaderLink::PortErrorText() {
    return link_->OpenError();
}

QString RnetReaderLink::PortWarning() {
    return link_->OpenWarning();
}

void RnetReaderLink::SetRTSEnable(bool on) {
    link_->SetRTS(on);
}

void RnetReaderLink::SetDTREnable(bool on) {
    link_->SetDTR(on);
}

long RnetReaderLink::RnetTimeout() {
    return timeout_;
}

void RnetReaderLink::SetRnetTimeout(long ms) {
    timeout_ = ms;
    link_->SetTimeoutMs(int(ms));
}

QString RnetReaderLink::EnumCommPort(short index) {
    return link_->EnumPort(index);
}

QString RnetReaderLink::Text() {
    const std::string b = link_->ReadAvailable();
    return QString::fromLatin1(b.data(), qsizetype(b.size()));
}

void RnetReaderLink::SetText(const QString& raw) {
    const QByteArray b = raw.toLatin1();
    link_->WriteRaw(std::string(b.constData(), size_t(b.size())));
}

int RnetReaderLink::RxCount() {
    return link_->Available();
}

bool RnetReaderLink::ClearRxBuffer() {
    link_->ClearRx();
    return true;
}

void RnetReaderLink::WaitForRx(uint32_t ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    link_->WaitForBytes(int(ms));
}

dorlin::RnetResult RnetReaderLink::Exchange(const dorlin::RnetRequest& request) {
    return link_->Exchange(request);
}

void RnetReaderLink::Settle() {
    link_->Settle();
}

void RnetReaderLink::Owe(uint32_t sentAt) {
    link_->Owe(sentAt);
}

QString RnetReaderLink::SendRnetCmd(const QString& sData, bool tChkSum, bool rChkSum) {
    const QByteArray text = sData.toLatin1();
    dorlin::RnetRequest req;
    req.text.assign(text.constData(), size_t(text.size()));
    req.txChecksum = tChkSum;
    req.rxChecksum = rChkSum;
    const dorlin::RnetResult res = link_->Exchange(req);
    return QString::fromLatin1(res.text.data(), qsizetype(res.text.size()));
}

bool RnetReaderLink::Login(const QString& password) {
    return SendRnetCmd(QStringLiteral("L") + password, false, false).startsWith(QLatin1Char('A'));
}

bool RnetReaderLink::Logout() {
    return SendRnetCmd(QStringLiteral("O"), false, false).startsWith(QLatin1Char('A'));
}

QString RnetReaderLink::GetVersion() {
    return SendRnetCmd(QStringLiteral("F"), false, false);
}

QString RnetReaderLink::GetRegister(short addr) {
    return SendRnetCmd(QString::asprintf("B%02X", addr & 0xFF), false, true);
}

bool RnetReaderLink::SetRegister(short addr, const QString& param) {
    return SendRnetCmd(QString::asprintf("C%02X,", addr & 0xFF) + param, true, false)
        .startsWith(QLatin1Char('A'));
}

bool RnetReaderLink::EraseRecord(short number) {
    const QString cmd =
        number < 0 ? QStringLiteral("E") : QString::asprintf("E%04X", unsigned(number));
    return SendRnetCmd(cmd, false, false).startsWith(QLatin1Char('A'));
}

void RnetReaderLink::SetMonitor(Monitor m) {
    monitor_ = std::move(m);
}

} // namespace pelmar
