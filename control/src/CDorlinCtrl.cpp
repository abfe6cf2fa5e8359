#include "dorlin/CDorlinCtrl.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPainter>
#include <QSettings>
#include <QStringList>
#include <QTimer>
#include <cerrno>
#include <cstring>

#include "CJXmodem.h"
#include "CWinSock.h"
#include "ChannelEvent.h"
#include "PortRegistry.h"
#include "TransferDialog.h"
#include "dorlin/TickSource.h"
#include "platform/PortPermission.h"

using namespace dorlin;

namespace {

CDorlinCtrl::AboutHook& AboutHookRef() {
    static CDorlinCtrl::AboutHook h;
    return h;
}

QSettings Store() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Lorvane", "Lorvane");
}

// The longest the reply wait sleeps between looks at the event queue; bytes wake it at once.
constexpr int kWaitSliceMs = 2;

// The monitor note for a port that closed or a connection that ended before the reply came
// (CJComm::LastLoss; 0 for a port the host closed or never opened).
QString LossNote(int loss) {
    return loss == CJComm::LinkReset ? QStringLiteral("$CONNECTION RESET")
                                     : QStringLiteral("$PORT CLOSED");
}

QString Hex2(int v) {
    return QString::asprintf("%02X", v & 0xFF);
}

} // namespace

CDorlinCtrl::CDorlinCtrl(QWidget* parent, bool loadSaved)
    : QWidget(parent), channel_(std::make_unique<CJXmodem>()) {
    channel_->Init(this, 3000);
    channel_->Net().onNote = [this](const QString& note) { emit RnetMonitor(RNET_MSG_DRV, note); };
    resize(32, 32);
    if (loadSaved) {
        LoadProperties();
    } else {
        // Defaults, applied through the same handlers a load runs.
        OnCommPortChanged();
        OnBaudRateChanged();
        OnHandshakingChanged();
        OnRTSEnableChanged();
        OnDTREnableChanged();
        OnSettingsChanged();
        OnTxQueueChanged();
        OnRxQueueChanged();
        OnEventMaskChanged();
        OnRnetTimeoutChanged();
        OnIPortChanged();
        OnIAddressChanged();
    }
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

// ---- saved properties ----------------------------------------------------------------------

void CDorlinCtrl::LoadProperties() {
    QSettings s = Store();
    s.beginGroup("Dorlin");
    commPort_ = short(s.value("CommPort", 1).toInt());
    baudRate_ = s.value("BaudRate", 19200).toInt();
    handshaking_ = short(s.value("Handshaking", 0).toInt());
    rtsEnable_ = s.value("RTSEnable", true).toBool();
    dtrEnable_ = s.value("DTREnable", true).toBool();
    settings_ = s.value("Settings", "N,8,1").toString();
    txQueue_ = short(s.value("TxQueue", 256).toInt());
    rxQueue_ = short(s.value("RxQueue", 256).toInt());
    eventMask_ = s.value("EventMask", 1).toInt();
    rnetTimeout_ = s.value("RnetTimeout", 3000).toInt();
    iAddress_ = s.value("iAddress", "127.0.0.1").toString();
    iPort_ = short(s.value("iPort", 1001).toInt());
    s.endGroup();

    OnCommPortChanged();
    OnBaudRateChanged();
    OnHandshakingChanged();
    OnRTSEnableChanged();
    OnDTREnableChanged();
    OnSettingsChanged();
    OnTxQueueChanged();
    OnRxQueueChanged();
    OnEventMaskChanged();
    OnRnetTimeoutChanged();
    OnIPortChanged();
    OnIAddressChanged();
}

void CDorlinCtrl::SaveProperties() const {
    QSettings s = Store();
    s.beginGroup("Dorlin");
    s.setValue("CommPort", int(commPort_));
    s.setValue("BaudRate", qlonglong(baudRate_));
    s.setValue("Handshaking", int(handshaking_));
    s.setValue("RTSEnable", rtsEnable_);
    s.setValue("DTREnable", dtrEnable_);
    s.setValue("Settings", settings_);
    s.setValue("TxQueue", int(txQueue_));
    s.setValue("RxQueue", int(rxQueue_));
    s.setValue("EventMask", qlonglong(eventMask_));
    s.setValue("RnetTimeout", qlonglong(rnetTimeout_));
    s.setValue("iAddress", iAddress_);
    s.setValue("iPort", int(iPort_));
    s.endGroup();
}

void CDorlinCtrl::ResetState() {
    commPort_ = 1;
    baudRate_ = 19200;
    handshaking_ = 0;
    rtsEnable_ = true;
    dtrEnable_ = true;
    settings_ = QStringLiteral("N,8,1");
    txQueue_ = 256;
    rxQueue_ = 256;
    eventMask_ = 1;
    rnetTimeout_ = 3000;
    iAddress_ = QStringLiteral("127.0.0.1");
    iPort_ = 1001;
    OnCommPortChanged();
    OnBaudRateChanged();
    OnHandshakingChanged();
    OnRTSEnableChanged();
    OnDTREnableChanged();
    OnSettingsChanged();
    OnTxQueueChanged();
    OnRxQueueChanged();
    OnEventMaskChanged();
    OnRnetTimeoutChanged();
    OnIPortChanged();
    OnIAddressChanged();
    resize(48, 48);
}

// ---- change handlers -----------------------------------------------------------------------

void CDorlinCtrl::Changed(int dispid) {
    modified_ = true;
    emit PropertyChanged(dispid);
}

void CDorlinCtrl::NoteSetting(bool applied) {
    settingError_.clear();
    if (applied || !channel_->IsOpen()) return; // a closed port takes it at the next open
    settingError_ = channel_->SettingFailure();
    if (settingError_.isEmpty()) settingError_ = QStringLiteral("the port refused the setting");
}

void CDorlinCtrl::OnBaudRateChanged() {
    NoteSetting(channel_->SetBaud(baudRate_));
    Changed(DISPID_BaudRate);
}

void CDorlinCtrl::OnHandshakingChanged() {
    NoteSetting(channel_->SetHandshaking(handshaking_));
    Changed(DISPID_Handshaking);
}

void CDorlinCtrl::OnRTSEnableChanged() {
    channel_->SetRTS(rtsEnable_);
    Changed(DISPID_RTSEnable);
}

void CDorlinCtrl::OnDTREnableChanged() {
    channel_->SetDTR(dtrEnable_);
    Changed(DISPID_DTREnable);
}

void CDorlinCtrl::OnSettingsChanged() {
    int parity = -1;
    const QChar c = settings_.isEmpty() ? QChar() : settings_[0].toUpper();
    if (c == 'N')
        parity = 0;
    else if (c == 'O')
        parity = 1;
    else if (c == 'E')
        parity = 2;
    else if (c == 'M')
        parity = 3;
    else if (c == 'S')
        parity = 4;
    // A text too short to hold the data and stop bits is as invalid as a bad parity letter.
    if (parity < 0 || settings_.size() < 5) {
        settingError_.clear();
        settings_ = QStringLiteral("N,8,1");
        modified_ = false;
        emit PropertyChanged(DISPID_Settings);
        return;
    }
    const int dataBits = settings_[2].unicode() - '0';
    const int stopBits = settings_[4].unicode() - '0';
    NoteSetting(channel_->SetLineParams(parity, dataBits, stopBits));
    Changed(DISPID_Settings);
}

void CDorlinCtrl::OnTxQueueChanged() {
    channel_->SetTxSize(txQueue_);
    Changed(DISPID_TxQueue);
}

void CDorlinCtrl::OnRxQueueChanged() {
    channel_->SetRxSize(rxQueue_);
    Changed(DISPID_RxQueue);
}

void CDorlinCtrl::OnEventMaskChanged() {
    channel_->SetEventMask(int(eventMask_));
    Changed(DISPID_EventMask);
}

void CDorlinCtrl::OnCommPortChanged() {
    channel_->CloseAny();
    portName_ = QStringLiteral("COM%1").arg(commPort_);
    Changed(DISPID_CommPort);
}

void CDorlinCtrl::OnRnetTimeoutChanged() {
    channel_->SetCommandTimeout(int(rnetTimeout_));
    Changed(DISPID_RnetTimeout);
}

void CDorlinCtrl::OnIPortChanged() {
    channel_->SetTarget(iAddress_,
                        int(uint16_t(iPort_))); // ports above 32767 come as negative numbers
    Changed(DISPID_iPort);
}

void CDorlinCtrl::OnIAddressChanged() {
    channel_->SetTarget(iAddress_,
                        int(uint16_t(iPort_))); // ports above 32767 come as negative numbers
    Changed(DISPID_iAddress);
}

// ---- properties ----------------------------------------------------------------------------

long CDorlinCtrl::BaudRate() const {
    return baudRate_;
}
void CDorlinCtrl::SetBaudRate(long v) {
    baudRate_ = v;
    OnBaudRateChanged();
}
short CDorlinCtrl::Handshaking() const {
    return handshaking_;
}
void CDorlinCtrl::SetHandshaking(short v) {
    handshaking_ = v;
    OnHandshakingChanged();
}
bool CDorlinCtrl::RTSEnable() const {
    return rtsEnable_;
}
void CDorlinCtrl::SetRTSEnable(bool v) {
    rtsEnable_ = v;
    OnRTSEnableChanged();
}
QString CDorlinCtrl::Settings() const {
    return settings_;
}
void CDorlinCtrl::SetSettings(const QString& v) {
    settings_ = v;
    OnSettingsChanged();
}
bool CDorlinCtrl::DTREnable() const {
    return dtrEnable_;
}
void CDorlinCtrl::SetDTREnable(bool v) {
    dtrEnable_ = v;
    OnDTREnableChanged();
}
short CDorlinCtrl::TxQueue() const {
    return txQueue_;
}
void CDorlinCtrl::SetTxQueue(short v) {
    txQueue_ = v;
    OnTxQueueChanged();
}
short CDorlinCtrl::RxQueue() const {
    return rxQueue_;
}
void CDorlinCtrl::SetRxQueue(short v) {
    rxQueue_ = v;
    OnRxQueueChanged();
}
long CDorlinCtrl::EventMask() const {
    return eventMask_;
}
void CDorlinCtrl::SetEventMask(long v) {
    eventMask_ = v;
    OnEventMaskChanged();
}
bool CDorlinCtrl::Break() const {
    return break_;
}
void CDorlinCtrl::SetBreak(bool v) {
    break_ = v;
    if (v)
        channel_->SetBreak();
    else
        channel_->ClearBreak();
    Changed(DISPID_Break);
}
short CDorlinCtrl::CommPort() const {
    return commPort_;
}
void CDorlinCtrl::SetCommPort(short v) {
    commPort_ = v;
    OnCommPortChanged();
}
long CDorlinCtrl::RnetTimeout() const {
    return rnetTimeout_;
}
void CDorlinCtrl::SetRnetTimeout(long v) {
    rnetTimeout_ = v;
    OnRnetTimeoutChanged();
}
short CDorlinCtrl::iPort() const {
    return iPort_;
}
void CDorlinCtrl::SetiPort(short v) {
    iPort_ = v;
    OnIPortChanged();
}
QString CDorlinCtrl::iAddress() const {
    return iAddress_;
}
void CDorlinCtrl::SetiAddress(const QString& v) {
    iAddress_ = v;
    OnIAddressChanged();
}
QString CDorlinCtrl::ExtPort() const {
    return extPort_;
}
void CDorlinCtrl::SetExtPort(const QString& v) {
    extPort_ = v;
    Changed(DISPID_ExtPort);
}

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

namespace {

// The system's reason for a failed serial open, with a hint where one helps.
QString SerialReason(const CJComm::OpenReport& r) {
    if (r.unknownName)
        return QStringLiteral("no such port on this system (`dorlin ports` lists the ports)");
    switch (r.err) {
    case EACCES:
    case EPERM: {
        // The group that owns the device and how to join it (usually "dialout").
        const std::string hint = dorlin::PortPermission(r.path.toStdString()).hint;
        if (hint.empty())
            return QStringLiteral("%1 (join the dialout group: sudo usermod -aG dialout $USER, "
                                  "then log in again)")
                .arg(QString::fromLocal8Bit(strerror(r.err)));
        return QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(strerror(r.err)),
                                            QString::fromStdString(hint));
    }
    case EBUSY:
        return r.holders.isEmpty() ? QStringLiteral("port busy (another program holds it)")
                                   : QStringLiteral("port busy (held by %1)").arg(r.holders);
    case ENOTTY:
        return QStringLiteral("not a serial port");
    default:
        return QString::fromLocal8Bit(strerror(r.err));
    }
}

QString NetReason(int err, int waitMs) {
    switch (err) {
    case ETIMEDOUT:
        return QStringLiteral("no answer within %1 ms").arg(waitMs);
    case EHOSTUNREACH:
        return QStringLiteral("host not found or unreachable");
    case EADDRNOTAVAIL:
        return QStringLiteral("the configuration socket could not be opened");
    default:
        return QString::fromLocal8Bit(strerror(err));
    }
}

} // namespace

void CDorlinCtrl::OpenChannel(const QString& name) {
    portError_.clear();
    portWarning_.clear();
    portErrorCode_ = 0;
    const bool ok = channel_->Open(name);
    if (name == QLatin1String("COM0")) {
        const QString where =
            QStringLiteral("COM0 (device server %1:%2)").arg(iAddress_).arg(int(uint16_t(iPort_)));
        if (!ok) {
            portErrorCode_ = channel_->Net().connectResult ? channel_->Net().connectResult : EIO;
            portError_ = where + ": " + NetReason(portErrorCode_, 3000);
        }
        return;
    }
    const CJComm::OpenReport& r = channel_->LastOpen();
    const QString where =
        r.path.isEmpty() || r.path == name ? name : QStringLiteral("%1 (%2)").arg(name, r.path);
    if (!ok) {
        portErrorCode_ = r.err ? r.err : EIO;
        portError_ = where + ": " + SerialReason(r);
        return;
    }
    QStringList notes;
    if (!r.sharedWith.isEmpty())
        notes << QStringLiteral("%1 is also open in %2, which may take replies meant for us")
                     .arg(where, r.sharedWith);
    if (channel_->RefusedFields())
        notes << QStringLiteral("%1 refused %2").arg(where, channel_->RefusedText());
    portWarning_ = notes.join('\n');
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
    const std::string frame =
        rnet::BuildFrame(std::string_view(text.constData(), size_t(text.size())), tChkSum);

    const bool outerBusy = rnetBusy_;
    rnetBusy_ = true;
    channel_->SetQuiet(true);

    channel_->ClearTx();
    channel_->ClearRx();
    const uint32_t drops = channel_->RxDrops();
    // A closed port, or one that goes away meanwhile, ends the exchange at once: nothing can
    // answer. The monitor shows what really went out.
    const uint32_t losses = channel_->LossCount();
    auto lost = [&] { return channel_->LossCount() != losses || !channel_->IsOpen(); };
    const int written =
        lost() ? 0
               : channel_->Write(reinterpret_cast<const uint8_t*>(frame.data()), int(frame.size()));
    if (written > 0)
        emit RnetMonitor(RNET_MSG_APP, QString::fromLatin1(frame.data(), qsizetype(written)));

    // The wait ends at the reply's CR, or on a CR before any STX that is the last byte of a
    // pass (the reader's bare line end): an empty reply.
    rnet::ReplyCollector collector(rnet::CollectorOptions{});
    const uint32_t start = GetTickCount();
    while (int32_t(GetTickCount() - start) < int32_t(rnetTimeout_)) {
        // Checked before the event loop runs: a lost connection is not waited for while it
        // is being made again.
        if (channel_->InCount() == 0 && lost()) break;
        const uint64_t seq = channel_->RxSeq();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        const int n = channel_->InCount();
        if (n > 0) {
            bool lastWasCr = false;
            for (int i = 0; i < n; ++i) {
                uint8_t c = 0;
                if (channel_->Read(&c, 1) != 1) break;
                lastWasCr = c == uint8_t(rnet::CR);
                collector.Feed(char(c));
                if (collector.Complete()) break; // the rest stays queued
            }
            if (lastWasCr) break;
            continue;
        }
        if (commPort_ == 0 && channel_->NetConnected()) {
            // Network data comes through the socket: look at it directly, sleeping in the
            // socket layer until bytes come (at most one slice).
            channel_->PollNetwork(kWaitSliceMs);
        } else {
            // Sleep until the reader thread queues bytes, but never so long that the host's
            // timers and events wait noticeably.
            channel_->WaitForRx(seq, kWaitSliceMs);
        }
    }

    // A reply the time-out cut off before its CR is no reply. Nor is one taken while the
    // receive queue overflowed: bytes are missing from it, and what was collected may be
    // stitched together from several frames (CommError reports ERROR_RXOVER).
    const bool overrun = channel_->RxDrops() != drops;
    QByteArray reply;
    if (collector.Complete() && !overrun)
        reply = QByteArray(collector.Text().data(), qsizetype(collector.Text().size()));
    QString result = QString::fromLatin1(reply);
    if (!collector.Complete() && lost())
        emit RnetMonitor(RNET_MSG_DRV, LossNote(channel_->LastLoss()));
    else if (overrun)
        emit RnetMonitor(RNET_MSG_DRV, QStringLiteral("$OVERRUN"));
    else if (result.isEmpty())
        emit RnetMonitor(RNET_MSG_DRV, QStringLiteral("$TIMEOUT"));
    else
        emit RnetMonitor(RNET_MSG_DEV, result);

    if (!reply.isEmpty() && rChkSum) {
        std::string r(reply.constData(), size_t(reply.size()));
        if (!rnet::StripReplyChecksum(r)) {
            result.clear();
            emit RnetMonitor(RNET_MSG_DRV, QStringLiteral("$CHKSUM ERROR"));
        } else {
            result = QString::fromLatin1(r.data(), qsizetype(r.size()));
        }
    }
    rnetBusy_ = outerBusy;
    channel_->SetQuiet(outerBusy);
    return result;
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
