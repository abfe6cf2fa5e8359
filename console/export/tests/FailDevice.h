// A device that writes through to another one and fails from its (N+1)-th write on, the way a
// disk that runs full does.
#pragma once
#include <QIODevice>

class FailDevice : public QIODevice {
public:
    FailDevice(QIODevice* inner, int okWrites, int* failedWrites = nullptr)
        : inner_(inner), okWrites_(okWrites), failed_(failedWrites) {
        open(QIODevice::WriteOnly);
    }
    int writes() const { return writes_; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 len) override {
        if (writes_++ >= okWrites_) {
            setErrorString(QStringLiteral("No space left on device"));
            if (failed_) ++*failed_;
            return -1;
        }
        return inner_->write(data, len);
    }

private:
    QIODevice* inner_;
    int okWrites_;
    int* failed_;
    int writes_ = 0;
};
