// The zip container of a workbook, held in memory: read parts, replace or add parts, and
// write the whole package out. Parts that are not replaced keep their compressed bytes.
#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>

namespace pelmar::xlsx {

// Parts read from a workbook are refused above this size (a zip bomb guard).
inline constexpr qint64 kMaxPartBytes = 128ll * 1024 * 1024;

class Package {
public:
    Package();
    ~Package();
    Package(const Package&) = delete;
    Package& operator=(const Package&) = delete;

    // Opens package bytes (empty: a new, empty package). False with error() when the bytes
    // are not a zip archive.
    bool open(const QByteArray& bytes);
    bool has(const QString& name) const;
    // The uncompressed bytes of a part; false when it is missing, too large or unreadable.
    bool read(const QString& name, QByteArray* out) const;
    // Adds a part or replaces the one of that name.
    bool put(const QString& name, const QByteArray& bytes);
    // Finishes the archive; the package bytes land in *out.
    bool finish(QByteArray* out);
    QString error() const { return error_; }

private:
    struct Impl;
    std::unique_ptr<Impl> d;
    QString error_;
};

} // namespace pelmar::xlsx
