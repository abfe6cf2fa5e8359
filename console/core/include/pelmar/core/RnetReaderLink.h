// IReaderLink on the bare link (dorlin::RnetLink), without the link control's widget: what the
// headless commands use, on QCoreApplication or in a worker thread with its own event loop.
// The command texts are those of the link control's command methods.
#pragma once
#include "pelmar/core/IReaderLink.h"

#include <memory>

namespace pelmar {

class RnetReaderLink : public IReaderLink {
public:
    RnetReaderLink();
    ~RnetReaderLink() override;
    dorlin::RnetLink& Link() { return *link_; }

    // The line speed (19200 until set); false when the open port refused it.
    bool SetBaudRate(long rate);

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
    dorlin::RnetResult Exchange(const dorlin::RnetRequest& request) override;
    void Settle() override;
    void Owe(uint32_t sentAt) override;
    QString SendRnetCmd(const QString& sData, bool tChkSum, bool rChkSum) override;
    bool Login(const QString& password) override;
    bool Logout() override;
    QString GetVersion() override;
    QString GetRegister(short addr) override;
    bool SetRegister(short addr, const QString& param) override;
    bool EraseRecord(short number) override;
    void SetMonitor(Monitor m) override;

private:
    void Open(const QString& name);

    std::unique_ptr<dorlin::RnetLink> link_;
    Monitor monitor_;
    short commPort_ = 1;
    QString address_ = QStringLiteral("127.0.0.1");
    int port_ = 1001;
    QString extPort_;
    long baud_ = 19200;
    long timeout_ = 3000;
};

} // namespace pelmar
