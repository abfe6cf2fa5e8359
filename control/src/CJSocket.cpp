#include "CJSocket.h"

#include "CWinSock.h"
#include "dorlin/DispIds.h"

CJSocket::CJSocket() : net_(std::make_unique<CWinSock>(this)) {}

CJSocket::~CJSocket() {
    CloseAny();
    net_->SetOwner(nullptr);
}

bool CJSocket::Open(const QString& name) {
    CloseAny();
    busy_.fetch_add(1);
    const bool ok = name == QLatin1String("COM0") ? Connect() : OpenSerial(name);
    busy_.fetch_sub(1);
    return ok;
}

void CJSocket::Close(bool keepHandle) {
    if (CJComm::IsOpen() || dev_)
        CJComm::Close(keepHandle);
    else
        net_->CloseAll();
}

void CJSocket::CloseAny() {
    CJComm::Close();
    net_->CloseAll();
}

bool CJSocket::IsOpen() const {
    return CJComm::IsOpen() || NetConnected();
}

bool CJSocket::NetConnected() const {
    return net_->Connected();
}

int CJSocket::Write(const uint8_t* data, int n) {
    if (CJComm::IsOpen()) return CJComm::Write(data, n);
    if (!NetConnected() || n <= 0) return 0;
    DiscardUnasked();
    busy_.fetch_add(1);
    const int w = net_->Send(data, n);
    busy_.fetch_sub(1);
    return w;
}

void CJSocket::ClearRx() {
    if (NetConnected()) net_->DiscardPending();
    CJComm::ClearRx();
}

QString CJSocket::SettingFailure() const {
    if (CJComm::IsOpen())
        return RefusedText().isEmpty() ? QString() : "the port refused " + RefusedText();
    if (NetConnected()) return net_->lastConfigError;
    return QString();
}

bool CJSocket::SetLineParams(int parity, int dataBits, int stopBits) {
    net_->parity = parity;
    net_->dataBits = dataBits;
    if (CJComm::SetLineParams(parity, dataBits, stopBits)) return true;
    return net_->SetLineParams(parity, dataBits, stopBits);
}

bool CJSocket::SetBaud(long rate) {
    net_->baudRate = rate;
    if (CJComm::SetBaud(rate)) return true;
    return net_->SetBaud(rate);
}

bool CJSocket::SetHandshaking(int flags) {
    net_->flowControl = flags;
    if (CJComm::SetHandshaking(flags)) return true;
    return net_->SetFlow(flags);
}

int CJSocket::PollNetwork(int waitMs) {
    return net_->Poll(waitMs);
}

void CJSocket::SetTarget(const QString& address, int port) {
    net_->address = address;
    net_->port = port;
}

void CJSocket::SetCommandTimeout(int ms) {
    net_->commandTimeout = ms;
}

void CJSocket::WaitRx(uint64_t seenSeq, int ms) {
    if (RxSeq() != seenSeq) return;
    if (NetConnected())
        PollNetwork(ms);
    else
        WaitForRx(seenSeq, ms);
}

void CJSocket::NetFresh() {
    lastLoss_ = 0;
    CJComm::ClearRx(); // what an earlier connection left
    KeepUnasked();
}

void CJSocket::NetReceived(const uint8_t* data, int n) {
    std::lock_guard<std::mutex> lk(rxMu_);
    const int kept = queue_.PushMany(data, n);
    // Line events belong to serial ports: network data raises no OnComm.
    if (kept < n) {
        extraErrors_.fetch_or(dorlin::ERROR_RXOVER);
        rxDrops_.fetch_add(1);
    }
}

bool CJSocket::Connect() {
    busy_.fetch_add(1);
    const bool ok = net_->Connect();
    busy_.fetch_sub(1);
    if (!ok) lastError_ = net_->connectResult;
    return ok;
}
