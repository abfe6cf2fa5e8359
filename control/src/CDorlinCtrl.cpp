#include "dorlin/CDorlinCtrl.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPainter>
#include <QStringList>
#include <QTimer>
#include <cerrno>
#include <cstring>

#include "CJXmodem.h"
#include "CWinSock.h"
#include "ChannelEvent.h"
#include "PortRegistry.h"
#include "TransferDialog.h"
#include "dorlin/RnetLink.h"
#include "dorlin/TickSource.h"
#include "platform/PortPermission.h"

using namespace dorlin;

namespace {

CDorlinCtrl::AboutHook& AboutHookRef() {
    static CDorlinCtrl::AboutHook h;
    return h;
}

QString Hex2(int v) {
    return QString::asprintf("%02X", v & 0xFF);
}

} // namespace

CDorlinCtrl::CDorlinCtrl(QWidget* parent, bool loadSaved)
    : QWidget(parent), link_(std::make_unique<dorlin::RnetLink>()), channel_(&link_->Channel()) {
    channel_->Init(this, 3000);
    channel_->Net().onNote = [this](const QString& note) { emit RnetMonitor(RNET_MSG_DRV, note); };
    // The exchange dispatches the host's events while it waits, and reports every frame.
    link_->pump = [] { QCoreApplication::processEvents(QEventLoop::AllEvents); };
    link_->monitor = [this](int index, const std::string& m) {
        emit RnetMonitor(short(index), QString::fromLatin1(m.data(), qsizetype(m.size())));
    };
    resize(32, 32);
    if (loadSaved)
        LoadProperties();
    else
        ApplyDefaults();
    modified_ = false;
}

CDorlinCtrl::~CDorlinCtrl() {
    // A transfer the reader may still be in on a serial line ends now.
    if (channel_->CJComm::IsOpen()) channel_->SendCancel();
    channel_->CloseAny();
    channel_->SetOwner(nullptr);
    QCoreApplication::removePostedEvents(this, ChannelEvent::Type());
}

CDorlinCtrl::AboutHook CDorlinCtrl::SetAboutBoxHook(AboutHook hook) {
    std::swap(AboutHookRef(), hook);
    return hook;
}

// ---- channel properties --------------------------------------------------------------------

short CDorlinCtrl::RxCount() const {
    // Network bytes wait in the socket until someone looks; a host polling the receive
    // properties (the reader probes do) must see them as it would on a serial port.
    if (channel_->InCount() == 0 && channel_->NetConnected()) channel_->PollNetwork(0);
    return short(channel_->InCount());
}
short CDorlinCtrl::TxSpace() const {
    return short(channel_->TxSpace());
}

QString CDorlinCtrl::Text() {
    if (channel_->InCount() == 0 && channel_->NetConnected()) channel_->PollNetwork(0);
    const int n = channel_->InCount();
    if (n <= 0) return QString();
    QByteArray b(n, '\0');
    const int got = channel_->Read(reinterpret_cast<uint8_t*>(b.data()), n);
    b.resize(got);
    return QString::fromLatin1(b);
}

void CDorlinCtrl::SetText(const QString& v) {
    const QByteArray b = v.toLatin1();
    channel_->Write(reinterpret_cast<const uint8_t*>(b.constData()), int(b.size()));
}

short CDorlinCtrl::Char() {
    uint8_t c = 0;
    if (channel_->Read(&c, 1) != 1) return 0;
    return short(c);
}

void CDorlinCtrl::SetChar(short v) {
    channel_->WriteByte(uint8_t(v & 0xFF));
}

bool CDorlinCtrl::CTSHolding() const {
    return channel_->CTS();
}
bool CDorlinCtrl::DSRHolding() const {
    return channel_->DSR();
}
long CDorlinCtrl::CommID() const {
    return channel_->Handle();
}
short CDorlinCtrl::CommEvent() {
    return short(channel_->TakeEvents());
}
short CDorlinCtrl::CommError() {
    return short(channel_->Errors());
}
bool CDorlinCtrl::RLSDHolding() const {
    return channel_->RLSD();
}
bool CDorlinCtrl::Busy() const {
    return channel_->Busy();
}
QString CDorlinCtrl::LastPassword() const {
    return lastPassword_;
}
bool CDorlinCtrl::RINGHolding() const {
    return channel_->RING();
}

bool CDorlinCtrl::ExtPortOpen() const {
    return channel_->CJComm::IsOpen();
}

void CDorlinCtrl::SetExtPortOpen(bool v) {
    if (extPort_.isEmpty()) return;
    if (v)
        OpenChannel(extPort_);
    else
        channel_->CloseAny();
    modified_ = true;
}

bool CDorlinCtrl::PortOpen() const {
    return channel_->IsOpen();
}

void CDorlinCtrl::SetPortOpen(bool v) {
    if (v) {
        if (channel_->IsOpen()) {
            channel_->CloseAny();
            PumpFor(50); // give a USB adapter time to let go of the port
        }
        OpenChannel(portName_);
    } else {
        channel_->CloseAny();
    }
    modified_ = true;
}

void CDorlinCtrl::OpenChannel(const QString& name) {
    // The link opens the port and says why it would not, or what is worth a warning.
    link_->Open(name);
    portError_ = link_->OpenError();
    portErrorCode_ = link_->OpenErrorCode();
    portWarning_ = link_->OpenWarning();
}

QString CDorlinCtrl::PortErrorText() const {
    return portError_;
}
int CDorlinCtrl::PortErrorCode() const {
    return portErrorCode_;
}
QString CDorlinCtrl::PortWarning() const {
    return portWarning_;
}
QString CDorlinCtrl::SettingError() const {
    return settingError_;
}

void CDorlinCtrl::PumpFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// ---- notifications -------------------------------------------------------------------------

bool CDorlinCtrl::event(QEvent* e) {
    if (!ChannelEvent::Is(e)) return QWidget::event(e);
    auto* ce = static_cast<ChannelEvent*>(e);
    const int code = ce->Code();
    if (code == ChannelEvent::CodePortGone) {
        // The device went away; the reader thread has ended. Release the port.
        if (!channel_->IsOpen()) channel_->CloseAny();
    } else if (code == 0) {
        // Bytes an Rnet exchange takes are its own business: no OnComm for them.
        if (!rnetBusy_ && !ce->Quiet()) emit OnComm();
    } else if (code >= 1 && code <= 8) {
        emit OnTransfer(short(code), ce->Value());
    }
    return true;
}

// ---- Rnet ----------------------------------------------------------------------------------

QString CDorlinCtrl::SendRnetCmd(const QString& sData, bool tChkSum, bool rChkSum) {
    const QByteArray text = sData.toLatin1();
    const bool outerBusy = rnetBusy_;
    rnetBusy_ = true;
    channel_->SetQuiet(true);
    dorlin::RnetRequest req;
    req.text.assign(text.constData(), size_t(text.size()));
    req.txChecksum = tChkSum;
    req.rxChecksum = rChkSum;
    const dorlin::RnetResult res = link_->Exchange(req);
    rnetBusy_ = outerBusy;
    channel_->SetQuiet(outerBusy);
    // Refusals come back as their text; everything else that is no reply as "".
    return QString::fromLatin1(res.text.data(), qsizetype(res.text.size()));
}

QString CDorlinCtrl::Polling(short ID) {
    return SendRnetCmd("D" + Hex2(ID), false, false);
}

bool CDorlinCtrl::SetID(short ID) {
    return TrueOnA(SendRnetCmd("I" + Hex2(ID), false, false));
}

bool CDorlinCtrl::Login(const QString& Password) {
    return TrueOnA(SendRnetCmd("L" + Password, false, false));
}

bool CDorlinCtrl::LoginX(const QString& psw, short HiCode, short LoCode) {
    const QString reply = SendRnetCmd("L" + psw, false, false);
    if (reply.startsWith('A')) return true;
    if (!reply.startsWith('N')) return false;
    // The refusal carries a challenge: two hexadecimal bytes at characters 1-2 and 3-4.
    // A shorter refusal reads its missing digits as nothing (value 0).
    const int h = rnet::HexReading(reply.mid(1, 2).toLatin1().toStdString());
    const int l = rnet::HexReading(reply.mid(3, 2).toLatin1().toStdString());
    const int b1 = (h - HiCode) & 0xFF;
    const int b2 = (l ^ LoCode) & 0xFF;
    lastPassword_ = QString::asprintf("%02X%02X", b1, b2);
    return TrueOnA(SendRnetCmd("L" + lastPassword_, false, false));
}

bool CDorlinCtrl::Logout() {
    return TrueOnA(SendRnetCmd("O", false, false));
}

bool CDorlinCtrl::SetPassword(const QString& Password) {
    return TrueOnA(SendRnetCmd("P" + Password, true, false));
}

QString CDorlinCtrl::GetTime() {
    return SendRnetCmd("T", false, false);
}

bool CDorlinCtrl::SetTime(short Year, short Month, short Day, short Hour, short Minute,
                          short Second, short Week) {
    const QString cmd = QString::asprintf("S%04d%02d%02d%02d%02d%02d%d", Year, Month, Day, Hour,
                                          Minute, Second, Week);
    return TrueOnA(SendRnetCmd(cmd, false, false));
}

QString CDorlinCtrl::GetVersion() {
    return SendRnetCmd("F", false, false);
}

bool CDorlinCtrl::Reset() {
    return TrueOnA(SendRnetCmd("R", false, false));
}

QString CDorlinCtrl::GetRecord(short Number) {
    return SendRnetCmd(QString::asprintf("G%04X", unsigned(uint16_t(Number))), false, true);
}

long CDorlinCtrl::GetRecordCount() {
    // The count is read by its length (four decimal digits, or four hexadecimal digits with
    // their checksum), so the reply is taken as it came.
    const QByteArray reply = SendRnetCmd("N", false, false).toLatin1();
    return rnet::RecordCountFromReply(std::string_view(reply.constData(), size_t(reply.size())))
        .value_or(0);
}

bool CDorlinCtrl::EraseRecord(short Number) {
    const QString cmd =
        Number < 0 ? QStringLiteral("E") : QString::asprintf("E%04X", unsigned(Number));
    return TrueOnA(SendRnetCmd(cmd, false, false));
}

bool CDorlinCtrl::WriteRecord(short Number, const QString& sData) {
    return TrueOnA(
        SendRnetCmd(QString::asprintf("W%04x,", unsigned(uint16_t(Number))) + sData, true, false));
}

QString CDorlinCtrl::GetRegister(short Addr) {
    return SendRnetCmd("B" + Hex2(Addr), false, true);
}

bool CDorlinCtrl::SetRegister(short Addr, const QString& Param) {
    return TrueOnA(SendRnetCmd("C" + Hex2(Addr) + "," + Param, true, false));
}

QString CDorlinCtrl::GetFileInfo(short Index) {
    return SendRnetCmd(QStringLiteral("FI%1").arg(Index), false, true);
}

short CDorlinCtrl::GetFileCount(const QString& szPath) {
    const QString reply = SendRnetCmd("FN" + szPath, false, false);
    if (!reply.startsWith('A')) return 0;
    return rnet::DecReading(reply.mid(1).toLatin1().toStdString());
}

bool CDorlinCtrl::SendFileReq(const QString& szFileName, short nProtocol) {
    if (nProtocol != RNET_FILE_XMODEM && nProtocol != RNET_FILE_YMODEM) return false;
    const QString cmd = (nProtocol == RNET_FILE_XMODEM ? "ZX" : "ZY") + szFileName;
    return TrueOnA(SendRnetCmd(cmd, false, false));
}

bool CDorlinCtrl::RecvFileReq(const QString& szFileName, short nProtocol) {
    if (nProtocol != RNET_FILE_XMODEM && nProtocol != RNET_FILE_YMODEM) return false;
    const QString cmd = (nProtocol == RNET_FILE_XMODEM ? "UX" : "UY") + szFileName;
    return TrueOnA(SendRnetCmd(cmd, false, false));
}

bool CDorlinCtrl::DelFile(const QString& szFileName) {
    return TrueOnA(SendRnetCmd("FD" + szFileName, false, false));
}

bool CDorlinCtrl::MkDir(const QString& szPath) {
    return TrueOnA(SendRnetCmd("FM" + szPath, false, false));
}

bool CDorlinCtrl::DelDir(const QString& szPath) {
    return TrueOnA(SendRnetCmd("FX" + szPath, false, false));
}

// ---- modem and ports -----------------------------------------------------------------------

bool CDorlinCtrl::Dial(const QString& PhonNumber) {
    const QByteArray number = PhonNumber.toLatin1();
    channel_->Write(reinterpret_cast<const uint8_t*>("ATDT"), 4);
    if (!number.isEmpty())
        channel_->Write(reinterpret_cast<const uint8_t*>(number.constData()), int(number.size()));
    const uint8_t cr = 0x0D;
    channel_->Write(&cr, 1);
    emit RnetMonitor(RNET_MSG_DRV, QStringLiteral("Wait Dial Modem..."));
    const uint32_t start = GetTickCount();
    while (!channel_->RLSD() && int32_t(GetTickCount() - start) < 30000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (!channel_->CJComm::IsOpen()) break; // no serial port: no carrier will come
        dorlin::Sleep(5);
    }
    return channel_->RLSD();
}

QString CDorlinCtrl::EnumCommPort(short Index) {
    return channel_->EnumPort(Index);
}

// ---- channel -------------------------------------------------------------------------------

bool CDorlinCtrl::ClareTxBuffer() {
    channel_->ClearTx();
    return true;
}

bool CDorlinCtrl::ClearRxBuffer() {
    channel_->ClearRx();
    return true;
}

bool CDorlinCtrl::Cancel() {
    channel_->SendCancel();
    return true;
}

bool CDorlinCtrl::HasWidgetHost() const {
    return parentWidget() && parentWidget()->isVisible();
}

bool CDorlinCtrl::PostFile(const QString& FileName) {
    std::unique_ptr<TransferDialog> dlg;
    if (HasWidgetHost()) dlg = std::make_unique<TransferDialog>(this);
    channel_->SetView(dlg.get());
    const bool ok = channel_->SendFile(FileName);
    channel_->SetView(nullptr);
    // Every transfer message of this transfer reaches the host before the call returns.
    QCoreApplication::sendPostedEvents(this, ChannelEvent::Type());
    return ok;
}

bool CDorlinCtrl::RecvFile(const QString& FileName) {
    std::unique_ptr<TransferDialog> dlg;
    if (HasWidgetHost()) dlg = std::make_unique<TransferDialog>(this);
    channel_->SetView(dlg.get());
    const bool ok = channel_->RecvFile(FileName);
    channel_->SetView(nullptr);
    // Every transfer message of this transfer reaches the host before the call returns.
    QCoreApplication::sendPostedEvents(this, ChannelEvent::Type());
    return ok;
}

bool CDorlinCtrl::RecvFile(const QString& szFileName, bool /*bAppend: the file is always new*/) {
    return RecvFile(szFileName);
}

void CDorlinCtrl::AboutBox() {
    const QString caption = QStringLiteral("About Dorlin Control");
    const QString text = QStringLiteral("Dorlin Control, Version 1.0");
    if (AboutHookRef()) {
        AboutHookRef()(caption, text);
        return;
    }
    QMessageBox box(QMessageBox::Information, caption, text, QMessageBox::Ok, this);
    box.exec();
}

// ---- appearance ----------------------------------------------------------------------------

void CDorlinCtrl::paintEvent(QPaintEvent*) {
    // A reader with its antenna waves, drawn on a 32 x 32 grid and scaled into the rectangle.
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(width() / 32.0, height() / 32.0);
    p.fillRect(QRectF(0, 0, 32, 32), QColor(0xF0, 0xF0, 0xF0));
    p.setPen(QPen(QColor(0x30, 0x30, 0x30), 1));
    p.setBrush(QColor(0x2F, 0x6F, 0xB5));
    p.drawRoundedRect(QRectF(4, 10, 16, 18), 2, 2);
    p.setBrush(QColor(0xD0, 0xE8, 0xFF));
    p.drawRect(QRectF(7, 13, 10, 5));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0xC0, 0x30, 0x30), 1.5));
    p.drawArc(QRectF(16, 4, 8, 8), -45 * 16, 90 * 16);
    p.drawArc(QRectF(14, 2, 14, 12), -45 * 16, 90 * 16);
    p.drawArc(QRectF(12, 0, 20, 16), -45 * 16, 90 * 16);
}
