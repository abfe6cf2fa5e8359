#include "SimReader.h"

#include <QFile>
#include <QRandomGenerator>

namespace lvtest {

SimReader::SimReader(const QStringList& args, Transport transport) {
    if (!dir_.isValid()) return;
    log_ = dir_.path() + QStringLiteral("/wire.log");
    if (transport == Transport::Pty) {
        link_ = dir_.path() + QStringLiteral("/reader");
        proc_ = std::make_unique<ChildProcess>(
            binPath(QStringLiteral("readersim")),
            QStringList{QStringLiteral("--pty"), link_, QStringLiteral("--log"), log_} + args);
        ok_ = proc_->started() && waitForPath(link_, 10000);
        return;
    }
    // A device server reports its address once it listens ("tcp ADDR:PORT config N"); when
    // the random address is taken it exits, and another address is tried.
    for (int attempt = 0; attempt < 5 && !ok_; ++attempt) {
        address_ = RandomLoopbackAddress();
        proc_ = std::make_unique<ChildProcess>(
            binPath(QStringLiteral("readersim")),
            QStringList{QStringLiteral("--tcp"), QString::number(kTcpPort),
                        QStringLiteral("--bind"), address_, QStringLiteral("--log"), log_} +
                args);
        if (!proc_->started()) return;
        bool ended = false;
        ok_ = waitFor(
                  [&] {
                      ended = proc_->wait(0) != -1;
                      return ended || proc_->readStdout().contains("tcp ");
                  },
                  10000) &&
              !ended;
    }
}

SimReader::~SimReader() = default;

QStringList SimReader::Log() const {
    QFile f(log_);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromLatin1(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

QStringList SimReader::Requests() const {
    QStringList out;
    for (const QString& l : Log())
        if (l.startsWith(QStringLiteral("RX "))) out << l.mid(3);
    return out;
}

QByteArray SimReader::Output() const {
    return proc_ ? proc_->readStdout() : QByteArray();
}

void SimReader::Stop() {
    if (proc_) proc_->terminate();
}

void SetPorts(const std::vector<std::pair<int, QString>>& ports) {
    QStringList items;
    for (const auto& [n, path] : ports)
        items << QStringLiteral("COM%1=%2").arg(n).arg(path);
    qputenv("DORLIN_PORTS", items.join(',').toLocal8Bit());
}

QString RandomLoopbackAddress() {
    auto* r = QRandomGenerator::global();
    return QStringLiteral("127.%1.%2.%3")
        .arg(r->bounded(1, 250))
        .arg(r->bounded(1, 250))
        .arg(r->bounded(2, 250));
}

} // namespace lvtest
