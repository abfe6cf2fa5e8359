// IReaderLink on the link control: the console's one control instance, owned by whoever
// hosts it (the main window, or the command line's hidden instance).
#pragma once
#include "pelmar/core/IReaderLink.h"

#include <QEventLoop>
#include <QMetaObject>
#include <QTimer>

class CDorlinCtrl;

namespace pelmar {

class DorlinLink : public IReaderLink {
public:
    explicit DorlinLink(CDorlinCtrl* ctrl);
    ~DorlinLink() override;
    CDorlinCtrl* Control() const { return ctrl_; }

    bool PortOpen() override;
    void SetPortOpen(bool open) override;
    void SetCommPort(short port) override;
    void SetiAddress(const QString& a) override;
    void SetiPort(short port) override;
    void SetExtPort(const QString& path) override;
    void SetExtPortOpen(bool open) override;
    QString PortErrorText() override;
    QString PortWarning() override;
    void SetRTSEnable(bool on) override;
    void SetDTREnable(bool on) override;
    long RnetTimeout() override;
    void SetRnetTimeout(long ms) override;
    QString EnumCommPort(short index) override;
    QString Text() override;
    void SetText(const QString& raw) override;
    int RxCount() override;
    bool ClearRxBuffer() override;
    void WaitForRx(uint32_t ms) override;
    QString SendRnetCmd(const QString& sData, bool tChkSum, bool rChkSum) override;
    dorlin::RnetResult Exchange(const dorlin::RnetRequest& request) override;
    void Settle() override;
    void Owe(uint32_t sentAt) override;
    bool Login(const QString& password) override;
    bool Logout() override;
    QString GetVersion() override;
    QString GetRegister(short addr) override;
    bool SetRegister(short addr, const QString& param) override;
    bool EraseRecord(short number) override;
    void SetMonitor(Monitor m) override;

private:
    CDorlinCtrl* ctrl_;
    Monitor monitor_;
    QMetaObject::Connection conn_;
    QEventLoop loop_; // the wait step's, reused
    QTimer timer_;
};

} // namespace pelmar
