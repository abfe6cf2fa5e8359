// The control's properties: the property table (name, DISPID, type, default, saved or not,
// accessors), the loops that load, save and reset the saved ones, and the setters that apply
// each value to the channel.
#include <QSettings>
#include <algorithm>

#include "CJXmodem.h"
#include "dorlin/CDorlinCtrl.h"
#include "dorlin/RnetLink.h"

using namespace dorlin;

namespace {

QSettings Store() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Lorvane", "Lorvane");
}

short S(const QVariant& v) {
    return short(v.toInt());
}
int L(const QVariant& v) {
    return v.toInt();
}
bool B(const QVariant& v) {
    return v.toBool();
}
QString T(const QVariant& v) {
    return v.toString();
}

// The settings store writes numbers as plain text ("19200") only when they come as int or
// qlonglong; a short or long would be written as a serialized variant.
QVariant AsStored(const QVariant& v) {
    switch (v.typeId()) {
    case QMetaType::Short:
    case QMetaType::Int:
    case QMetaType::Long:
        return QVariant(v.toLongLong());
    default:
        return v;
    }
}

} // namespace

#define GET(NAME) [](CDorlinCtrl* c) { return QVariant::fromValue(c->NAME()); }
#define PUT(NAME, CONV) [](CDorlinCtrl* c, const QVariant& v) { c->Set##NAME(CONV(v)); }
// A saved property: LOAD is its place in the run of setters a load makes.
#define SAVED(NAME, TYPE, ARG, CONV, LOAD, DEF)                                                    \
    Property {                                                                                     \
        DISPID_##NAME, #NAME, TYPE, ARG, LOAD, QVariant(DEF), GET(NAME), PUT(NAME, CONV)           \
    }
#define RW(NAME, TYPE, ARG, CONV)                                                                  \
    Property {                                                                                     \
        DISPID_##NAME, #NAME, TYPE, ARG, 0, QVariant(), GET(NAME), PUT(NAME, CONV)                 \
    }
#define RO(NAME, TYPE, ARG)                                                                        \
    Property {                                                                                     \
        DISPID_##NAME, #NAME, TYPE, ARG, 0, QVariant(), GET(NAME), nullptr                         \
    }

const std::vector<CDorlinCtrl::Property>& CDorlinCtrl::Properties() {
    static const std::vector<Property> table = {
        SAVED(BaudRate, "long", 'l', L, 2, 19200),
        SAVED(Handshaking, "FLOWCTRL", 'h', S, 3, 0),
        SAVED(RTSEnable, "BOOL", 'b', B, 4, true),
        SAVED(Settings, "string", 's', T, 6, QStringLiteral("N,8,1")),
        SAVED(DTREnable, "BOOL", 'b', B, 5, true),
        SAVED(TxQueue, "short", 'h', S, 7, 256),
        SAVED(RxQueue, "short", 'h', S, 8, 256),
        SAVED(EventMask, "MSKEVENT", 'l', L, 9, 1),
        RW(Break, "BOOL", 'b', B),
        SAVED(CommPort, "COMPORT", 'h', S, 1, 1),
        SAVED(RnetTimeout, "long", 'l', L, 10, 3000),
        SAVED(iPort, "short", 'p', S, 11, 1001),
        SAVED(iAddress, "string", 's', T, 12, QStringLiteral("127.0.0.1")),
        RW(ExtPort, "string", 's', T),
        RO(RxCount, "short", 'h'),
        RO(TxSpace, "short", 'h'),
        RW(Text, "string", 's', T),
        RW(Char, "short", 'h', S),
        RO(CTSHolding, "BOOL", 'b'),
        RO(DSRHolding, "BOOL", 'b'),
        RO(CommID, "long", 'l'),
        RO(CommEvent, "MSKEVENT", 'h'),
        RO(CommError, "COMERROR", 'h'),
        RO(RLSDHolding, "BOOL", 'b'),
        RO(Busy, "BOOL", 'b'),
        RO(LastPassword, "string", 's'),
        RO(RINGHolding, "BOOL", 'b'),
        RW(ExtPortOpen, "BOOL", 'b', B),
        RW(PortOpen, "BOOL", 'b', B),
        RO(ReadyState, "long", 'l'),
        Property{DISPID_Enabled, "Enabled", "BOOL", 'b', 0, QVariant(),
                 [](CDorlinCtrl* c) { return QVariant(c->isEnabled()); },
                 [](CDorlinCtrl* c, const QVariant& v) { c->setEnabled(v.toBool()); }},
    };
    return table;
}

#undef GET
#undef PUT
#undef SAVED
#undef RW
#undef RO

namespace {

// The saved properties in the order a load sets them.
const std::vector<const CDorlinCtrl::Property*>& SavedInLoadOrder() {
    static const std::vector<const CDorlinCtrl::Property*> saved = [] {
        std::vector<const CDorlinCtrl::Property*> v;
        for (const CDorlinCtrl::Property& p : CDorlinCtrl::Properties())
            if (p.loadOrder > 0) v.push_back(&p);
        std::sort(v.begin(), v.end(),
                  [](const auto* a, const auto* b) { return a->loadOrder < b->loadOrder; });
        return v;
    }();
    return saved;
}

} // namespace

// ---- saved properties ----------------------------------------------------------------------

void CDorlinCtrl::ApplyDefaults() {
    for (const Property* p : SavedInLoadOrder())
        p->put(this, p->def);
}

void CDorlinCtrl::LoadProperties() {
    QSettings s = Store();
    s.beginGroup("Dorlin");
    for (const Property* p : SavedInLoadOrder())
        p->put(this, s.value(QLatin1String(p->name), p->def));
    s.endGroup();
}

void CDorlinCtrl::SaveProperties() const {
    // The saved properties' getters only read the control.
    auto* self = const_cast<CDorlinCtrl*>(this);
    QSettings s = Store();
    s.beginGroup("Dorlin");
    for (const Property* p : SavedInLoadOrder())
        s.setValue(QLatin1String(p->name), AsStored(p->get(self)));
    s.endGroup();
}

void CDorlinCtrl::ResetState() {
    ApplyDefaults();
    resize(48, 48);
}

// ---- setters: each applies its value to the channel and reports the change ----------------

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

void CDorlinCtrl::SetBaudRate(long v) {
    baudRate_ = v;
    NoteSetting(channel_->SetBaud(baudRate_));
    Changed(DISPID_BaudRate);
}

void CDorlinCtrl::SetHandshaking(short v) {
    handshaking_ = v;
    NoteSetting(channel_->SetHandshaking(handshaking_));
    Changed(DISPID_Handshaking);
}

void CDorlinCtrl::SetRTSEnable(bool v) {
    rtsEnable_ = v;
    channel_->SetRTS(rtsEnable_);
    Changed(DISPID_RTSEnable);
}

void CDorlinCtrl::SetDTREnable(bool v) {
    dtrEnable_ = v;
    channel_->SetDTR(dtrEnable_);
    Changed(DISPID_DTREnable);
}

void CDorlinCtrl::SetSettings(const QString& v) {
    settings_ = v;
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

void CDorlinCtrl::SetTxQueue(short v) {
    txQueue_ = v;
    channel_->SetTxSize(txQueue_);
    Changed(DISPID_TxQueue);
}

void CDorlinCtrl::SetRxQueue(short v) {
    rxQueue_ = v;
    channel_->SetRxSize(rxQueue_);
    Changed(DISPID_RxQueue);
}

void CDorlinCtrl::SetEventMask(long v) {
    eventMask_ = v;
    channel_->SetEventMask(int(eventMask_));
    Changed(DISPID_EventMask);
}

void CDorlinCtrl::SetBreak(bool v) {
    break_ = v;
    if (v)
        channel_->SetBreak();
    else
        channel_->ClearBreak();
    Changed(DISPID_Break);
}

void CDorlinCtrl::SetCommPort(short v) {
    commPort_ = v;
    channel_->CloseAny();
    portName_ = QStringLiteral("COM%1").arg(commPort_);
    Changed(DISPID_CommPort);
}

void CDorlinCtrl::SetRnetTimeout(long v) {
    rnetTimeout_ = v;
    link_->SetTimeoutMs(int(rnetTimeout_));
    Changed(DISPID_RnetTimeout);
}

void CDorlinCtrl::SetiPort(short v) {
    iPort_ = v;
    channel_->SetTarget(iAddress_, int(uint16_t(iPort_))); // ports above 32767 come negative
    Changed(DISPID_iPort);
}

void CDorlinCtrl::SetiAddress(const QString& v) {
    iAddress_ = v;
    channel_->SetTarget(iAddress_, int(uint16_t(iPort_))); // ports above 32767 come negative
    Changed(DISPID_iAddress);
}

void CDorlinCtrl::SetExtPort(const QString& v) {
    extPort_ = v;
    Changed(DISPID_ExtPort);
}

// ---- getters of the stored properties ------------------------------------------------------

long CDorlinCtrl::BaudRate() const {
    return baudRate_;
}
short CDorlinCtrl::Handshaking() const {
    return handshaking_;
}
bool CDorlinCtrl::RTSEnable() const {
    return rtsEnable_;
}
QString CDorlinCtrl::Settings() const {
    return settings_;
}
bool CDorlinCtrl::DTREnable() const {
    return dtrEnable_;
}
short CDorlinCtrl::TxQueue() const {
    return txQueue_;
}
short CDorlinCtrl::RxQueue() const {
    return rxQueue_;
}
long CDorlinCtrl::EventMask() const {
    return eventMask_;
}
bool CDorlinCtrl::Break() const {
    return break_;
}
short CDorlinCtrl::CommPort() const {
    return commPort_;
}
long CDorlinCtrl::RnetTimeout() const {
    return rnetTimeout_;
}
short CDorlinCtrl::iPort() const {
    return iPort_;
}
QString CDorlinCtrl::iAddress() const {
    return iAddress_;
}
QString CDorlinCtrl::ExtPort() const {
    return extPort_;
}
