#include "CJXmodem.h"

CJXmodem::~CJXmodem() = default;

void CJXmodem::Init(QObject* owner, int timeoutMs) {
    SetOwner(owner);
    timeoutMs_ = timeoutMs;
}

bool CJXmodem::SendFile(const QString&) {
    return false;
}

bool CJXmodem::RecvFile(const QString&) {
    return false;
}

void CJXmodem::SendCancel() {
    if (!CJComm::IsOpen()) return;
    static const uint8_t seq[] = {0x18, 0x18, 0x18, 0x08, 0x08, 0x08};
    for (uint8_t b : seq)
        WriteByte(b);
}

void CJXmodem::Notify(int code, long value, bool quiet) {
    if (transferActive_) return; // the transfer loop reads the queue itself
    CJSocket::Notify(code, value, quiet);
}
