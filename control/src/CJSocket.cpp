#include "CJSocket.h"

#include <cerrno>

CJSocket::~CJSocket() {
    CloseAny();
}

bool CJSocket::Open(const QString& name) {
    CloseAny();
    busy_.fetch_add(1);
    const bool ok = name == QLatin1String("COM0") ? Connect() : OpenSerial(name);
    busy_.fetch_sub(1);
    return ok;
}

void CJSocket::Close(bool keepHandle) {
    CJComm::Close(keepHandle);
}

void CJSocket::CloseAny() {
    CJComm::Close();
}

bool CJSocket::IsOpen() const {
    return CJComm::IsOpen() || NetConnected();
}

int CJSocket::Write(const uint8_t* data, int n) {
    return CJComm::Write(data, n);
}

bool CJSocket::SetLineParams(int parity, int dataBits, int stopBits) {
    return CJComm::SetLineParams(parity, dataBits, stopBits);
}

bool CJSocket::SetBaud(long rate) {
    return CJComm::SetBaud(rate);
}

bool CJSocket::SetHandshaking(int flags) {
    return CJComm::SetHandshaking(flags);
}

void CJSocket::SetTarget(const QString& address, int port) {
    address_ = address;
    port_ = port;
}

void CJSocket::SetCommandTimeout(int ms) {
    commandTimeout_ = ms;
}

bool CJSocket::Connect() {
    lastError_ = ECONNREFUSED; // the network path is not available in this build
    return false;
}
