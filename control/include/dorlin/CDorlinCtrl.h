// The reader link control: an embeddable widget that owns one channel (serial port, or the
// TCP path to a device server) and speaks Rnet over it. Hosts drive it through properties,
// methods and events, directly or late-bound by DISPID (see DispIds.h).
//
// Strings that cross the control carry bytes: characters U+0000..U+00FF stand for the bytes on
// the wire (Latin-1). Hosts convert to and from their own code page.
#pragma once
#include <QString>
#include <QVariant>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include "dorlin/DispIds.h"
#include "dorlin/Rnet.h" // DORLIN_EXPORT

class CJXmodem;
namespace dorlin {
class RnetLink;
}

class DORLIN_EXPORT CDorlinCtrl : public QWidget {
    Q_OBJECT
public:
    // loadSaved: take the saved properties from the settings store (group "Dorlin"); false
    // starts from the defaults.
    explicit CDorlinCtrl(QWidget* parent = nullptr, bool loadSaved = true);
    ~CDorlinCtrl() override;

    // Properties: getter = property name, setter = "Set" + name.
    long BaudRate() const;
    void SetBaudRate(long);
    short Handshaking() const;
    void SetHandshaking(short);
    bool RTSEnable() const;
    void SetRTSEnable(bool);
    QString Settings() const;
    void SetSettings(const QString&);
    bool DTREnable() const;
    void SetDTREnable(bool);
    short TxQueue() const;
    void SetTxQueue(short);
    short RxQueue() const;
    void SetRxQueue(short);
    long EventMask() const;
    void SetEventMask(long);
    bool Break() const;
    void SetBreak(bool);
    short CommPort() const;
    void SetCommPort(short);
    long RnetTimeout() const;
    void SetRnetTimeout(long);
    short iPort() const;
    void SetiPort(short);
    QString iAddress() const;
    void SetiAddress(const QString&);
    QString ExtPort() const;
    void SetExtPort(const QString&);
    short RxCount() const;
    short TxSpace() const;
    QString Text();
    void SetText(const QString&);
    short Char();
    void SetChar(short);
    bool CTSHolding() const;
    bool DSRHolding() const;
    long CommID() const;
    short CommEvent();
    short CommError();
    bool RLSDHolding() const;
    bool Busy() const;
    QString LastPassword() const;
    bool RINGHolding() const;
    bool ExtPortOpen() const;
    void SetExtPortOpen(bool);
    bool PortOpen() const;
    void SetPortOpen(bool);
    long ReadyState() const { return 4; } // complete

    // Why the last PortOpen/ExtPortOpen = TRUE failed: the port, the system's reason and a
    // hint where one helps ("COM7 (/dev/ttyUSB0): Permission denied: /dev/ttyUSB0 belongs to
    // the group "dialout". Join it with ...", "COM0 (device server 10.0.0.5:1001): Connection
    // refused"). Empty after a successful open. PortErrorCode is the system error (EBUSY: another
    // program holds the port), 0 after a success.
    QString PortErrorText() const;
    int PortErrorCode() const;
    // What a successful open found worth a warning, one line each: another program that has
    // the port open without a lock, line settings the port refused. Empty when nothing.
    QString PortWarning() const;
    // Why the last BaudRate/Handshaking/Settings change was not applied to the open port (the
    // fields the port refused, or the device server's failed configuration exchange); empty
    // when it was, or when the port is closed (the value is kept for the next open). A put
    // through Invoke that leaves this non-empty fails with CTL_E_INVALIDPROPERTYVALUE.
    QString SettingError() const;

    // The link under the control: its channel and its one exchange (dorlin/RnetLink.h).
    dorlin::RnetLink& Link() { return *link_; }

    // Rnet
    QString SendRnetCmd(const QString& sData, bool tChkSum, bool rChkSum);
    QString Polling(short ID);
    bool SetID(short ID);
    bool Login(const QString& Password);
    bool LoginX(const QString& psw, short HiCode, short LoCode);
    bool Logout();
    bool SetPassword(const QString& Password);
    QString GetTime();
    bool SetTime(short Year, short Month, short Day, short Hour, short Minute, short Second,
                 short Week);
    QString GetVersion();
    bool Reset();
    QString GetRecord(short Number);
    long GetRecordCount();
    bool EraseRecord(short Number);
    bool WriteRecord(short Number, const QString& sData);
    QString GetRegister(short Addr);
    bool SetRegister(short Addr, const QString& Param);
    QString GetFileInfo(short Index);
    short GetFileCount(const QString& szPath);
    bool SendFileReq(const QString& szFileName, short nProtocol);
    bool RecvFileReq(const QString& szFileName, short nProtocol);
    bool DelFile(const QString& szFileName);
    bool MkDir(const QString& szPath);
    bool DelDir(const QString& szPath);
    // Modem and ports
    bool Dial(const QString& PhonNumber);
    QString EnumCommPort(short Index);
    // Channel
    bool ClareTxBuffer();
    bool ClearRxBuffer();
    bool Cancel();
    bool PostFile(const QString& FileName);
    bool RecvFile(const QString& FileName);
    // bAppend is accepted and has no effect: the file is always created anew.
    bool RecvFile(const QString& szFileName, bool bAppend);
    // True when the control sits in a visible host window (transfers then show a progress
    // window).
    bool HasWidgetHost() const;
    void AboutBox();

    // Late-bound dispatch, as a scripting host calls it. On failure the result is invalid
    // and errCode/errText say why (CTL_E_SETNOTSUPPORTED for a put on a read-only property,
    // DISP_E_MEMBERNOTFOUND, DISP_E_BADPARAMCOUNT, DISP_E_TYPEMISMATCH, and
    // CTL_E_INVALIDPROPERTYVALUE for a line setting the open port or device server refused:
    // errText then says which, see SettingError). iPort takes 1..65535, or the same 16 bits
    // as a negative short.
    enum class DispKind { Get, Put, Method };
    QVariant Invoke(int dispid, DispKind kind, const QVariantList& args, int* errCode = nullptr,
                    QString* errText = nullptr);
    QVariant InvokeByName(const QString& name, DispKind kind, const QVariantList& args,
                          int* errCode = nullptr, QString* errText = nullptr);

    // One entry of the dispatch table: kind is "property", "method" or "event"; type is the
    // value type of a property or the signature of a method or event.
    struct DispInfo {
        int dispid;
        QString kind;
        QString name;
        QString type;
        bool readOnly;
    };
    static QList<DispInfo> DispatchTable();
    // DISPID of a property or method by name (case-insensitive), 0 when unknown.
    static int DispIdOf(const QString& name, bool* isProperty = nullptr);

    // The property table, in dispatch order: one row per property. One loop over it loads,
    // saves and resets the saved properties; the late-bound calls reach every property
    // through it (CDorlinProperties.cpp).
    struct Property {
        int dispid;
        const char* name;
        const char* type; // as the type library writes it
        char arg;         // what a put converts from: s string, h short, l long, b BOOL, p TCP port
        // 0: not saved. Otherwise saved under its name, and its place in the run of setters a
        // load or reset makes (CommPort first: it closes the port the others then configure).
        int loadOrder;
        QVariant def; // the default of a saved property
        QVariant (*get)(CDorlinCtrl*);
        void (*put)(CDorlinCtrl*, const QVariant&); // null: read-only
    };
    static const std::vector<Property>& Properties();

    // Saved properties: load (defaults for what is missing, then the change handlers) and save,
    // in the settings store group "Dorlin".
    void LoadProperties();
    void SaveProperties() const;
    // Back to the defaults, extent 48 x 48.
    void ResetState();
    bool IsModified() const { return modified_; }
    void SetModifiedFlag(bool on) { modified_ = on; }

    // The About box: tests and console tools may take it over instead of a modal dialog.
    using AboutHook = std::function<void(const QString& caption, const QString& text)>;
    static AboutHook SetAboutBoxHook(AboutHook hook);

    QSize sizeHint() const override { return QSize(32, 32); }

signals:
    void OnComm();
    void OnTransfer(short nCode, long lValue);
    void RnetMonitor(short Index, const QString& Message);
    void ReadyStateChange();
    // A property changed through its handler (the host's change notification).
    void PropertyChanged(int dispid);

protected:
    bool event(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;

private:
    void Changed(int dispid);
    // The saved properties at their defaults, through their setters in load order.
    void ApplyDefaults();
    bool TrueOnA(const QString& reply) const { return reply.startsWith('A'); }
    void PumpFor(int ms);
    void OpenChannel(const QString& name);
    void NoteSetting(bool applied);

    std::unique_ptr<dorlin::RnetLink> link_;
    CJXmodem* channel_; // the link's channel
    QString portName_ = QStringLiteral("COM1");
    bool rnetBusy_ = false;
    QString lastPassword_;
    bool modified_ = false;
    QString portError_, portWarning_, settingError_;
    int portErrorCode_ = 0;

    // The saved properties take their defaults from the property table as the control starts.
    long baudRate_ = 0;
    short handshaking_ = 0;
    bool rtsEnable_ = false;
    QString settings_;
    bool dtrEnable_ = false;
    short txQueue_ = 0;
    short rxQueue_ = 0;
    long eventMask_ = 0;
    bool break_ = false;
    short commPort_ = 0;
    long rnetTimeout_ = 0;
    short iPort_ = 0;
    QString iAddress_;
    QString extPort_;
};
