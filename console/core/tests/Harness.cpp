#include "Harness.h"

#include "dorlin/Rnet.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace pelmar::test {

ScriptedPeer::ScriptedPeer(Script script) : script_(std::move(script)) {
    if (pty_.ok()) thread_ = std::thread([this] { Run(); });
}

ScriptedPeer::~ScriptedPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

QByteArray ScriptedPeer::Received() {
    std::lock_guard<std::mutex> lk(mu_);
    return received_;
}

void ScriptedPeer::ClearReceived() {
    std::lock_guard<std::mutex> lk(mu_);
    received_.clear();
}

void ScriptedPeer::Run() {
    QByteArray frame;
    while (!stop_) {
        pollfd p{pty_.master(), POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) continue;
        char buf[512];
        ssize_t n = ::read(pty_.master(), buf, sizeof buf);
        if (n <= 0) continue;
        {
            std::lock_guard<std::mutex> lk(mu_);
            received_.append(buf, n);
        }
        for (ssize_t i = 0; i < n; ++i) {
            frame.append(buf[i]);
            if (buf[i] != '\r') continue;
            QByteArray answer = script_(frame);
            frame.clear();
            if (!answer.isEmpty()) pty_.write(answer);
        }
    }
}

QByteArray Reply(const QByteArray& text, bool withChecksum) {
    QByteArray t = text;
    if (withChecksum)
        t += QByteArray::fromStdString(
            rnet::CheckSumText(std::string_view(text.constData(), size_t(text.size()))));
    return QByteArray(1, '\x02') + t + QByteArray(1, '\r');
}

} // namespace pelmar::test
