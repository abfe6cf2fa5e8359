#include "XlsxPackage.h"

#include <cstdlib>
#include <cstring>
#include <list>
#include <zip.h>

namespace pelmar::xlsx {

struct Package::Impl {
    std::list<QByteArray> added; // data of put() parts, alive until the archive is closed
    zip_source_t* source = nullptr;
    zip_t* archive = nullptr;

    ~Impl() {
        if (archive) zip_discard(archive);
        if (source) zip_source_free(source);
    }
};

Package::Package() : d(std::make_unique<Impl>()) {}
Package::~Package() = default;

bool Package::open(const QByteArray& bytes) {
    d = std::make_unique<Impl>();
    zip_error_t err;
    zip_error_init(&err);
    // The source gets its own malloc'd copy to free: this libzip version may free the
    // initial buffer of a source that has been written to, whatever it was told.
    void* copy = nullptr;
    if (!bytes.isEmpty()) {
        copy = malloc(static_cast<size_t>(bytes.size()));
        if (!copy) {
            error_ = QStringLiteral("out of memory");
            return false;
        }
        memcpy(copy, bytes.constData(), static_cast<size_t>(bytes.size()));
    }
    d->source = zip_source_buffer_create(copy, static_cast<zip_uint64_t>(bytes.size()), 1, &err);
    if (!d->source) {
        free(copy);
        error_ = QString::fromUtf8(zip_error_strerror(&err));
        zip_error_fini(&err);
        return false;
    }
    const int flags = bytes.isEmpty() ? (ZIP_CREATE | ZIP_TRUNCATE) : ZIP_CHECKCONS;
    d->archive = zip_open_from_source(d->source, flags, &err);
    if (!d->archive) {
        error_ = QString::fromUtf8(zip_error_strerror(&err));
        zip_error_fini(&err);
        return false;
    }
    // The archive owns a reference now; keep ours so the written bytes can be read back.
    zip_source_keep(d->source);
    zip_error_fini(&err);
    return true;
}

bool Package::has(const QString& name) const {
    return d->archive && zip_name_locate(d->archive, name.toUtf8().constData(), ZIP_FL_NOCASE) >= 0;
}

bool Package::read(const QString& name, QByteArray* out) const {
    if (!d->archive) return false;
    const zip_int64_t idx = zip_name_locate(d->archive, name.toUtf8().constData(), ZIP_FL_NOCASE);
    if (idx < 0) return false;
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(d->archive, static_cast<zip_uint64_t>(idx), 0, &st) != 0 ||
        !(st.valid & ZIP_STAT_SIZE) || st.size > static_cast<zip_uint64_t>(kMaxPartBytes))
        return false;
    zip_file_t* f = zip_fopen_index(d->archive, static_cast<zip_uint64_t>(idx), 0);
    if (!f) return false;
    QByteArray data(static_cast<qsizetype>(st.size), Qt::Uninitialized);
    zip_int64_t got = 0;
    while (got < static_cast<zip_int64_t>(st.size)) {
        const zip_int64_t n = zip_fread(f, data.data() + got, st.size - got);
        if (n <= 0) break;
        got += n;
    }
    zip_fclose(f);
    if (got != static_cast<zip_int64_t>(st.size)) return false;
    *out = data;
    return true;
}

bool Package::put(const QString& name, const QByteArray& bytes) {
    if (!d->archive) return false;
    d->added.push_back(bytes);
    const QByteArray& kept = d->added.back();
    zip_source_t* src =
        zip_source_buffer(d->archive, kept.constData(), static_cast<zip_uint64_t>(kept.size()), 0);
    if (!src) {
        error_ = QString::fromUtf8(zip_strerror(d->archive));
        return false;
    }
    const QByteArray utf8 = name.toUtf8();
    const zip_int64_t idx = zip_name_locate(d->archive, utf8.constData(), ZIP_FL_NOCASE);
    zip_int64_t at = idx;
    if (idx >= 0) {
        if (zip_file_replace(d->archive, static_cast<zip_uint64_t>(idx), src, 0) != 0) at = -1;
    } else {
        at = zip_file_add(d->archive, utf8.constData(), src, ZIP_FL_ENC_UTF_8);
    }
    if (at < 0) {
        error_ = QString::fromUtf8(zip_strerror(d->archive));
        zip_source_free(src);
        return false;
    }
    // The fastest deflate level: a sheet of repetitive XML still shrinks about tenfold, in a
    // fraction of the default level's time.
    zip_set_file_compression(d->archive, static_cast<zip_uint64_t>(at), ZIP_CM_DEFLATE, 1);
    return true;
}

bool Package::finish(QByteArray* out) {
    if (!d->archive) return false;
    if (zip_close(d->archive) != 0) {
        error_ = QString::fromUtf8(zip_strerror(d->archive));
        return false;
    }
    d->archive = nullptr;
    zip_source_t* src = d->source;
    if (zip_source_open(src) != 0) {
        error_ = QString::fromUtf8(zip_error_strerror(zip_source_error(src)));
        return false;
    }
    zip_source_seek(src, 0, SEEK_END);
    const zip_int64_t size = zip_source_tell(src);
    zip_source_seek(src, 0, SEEK_SET);
    QByteArray data(size > 0 ? static_cast<qsizetype>(size) : 0, Qt::Uninitialized);
    zip_int64_t got = 0;
    while (got < size) {
        const zip_int64_t n =
            zip_source_read(src, data.data() + got, static_cast<zip_uint64_t>(size - got));
        if (n <= 0) break;
        got += n;
    }
    zip_source_close(src);
    if (got != size) {
        error_ = QStringLiteral("could not read the finished package back");
        return false;
    }
    *out = data;
    return true;
}

} // namespace pelmar::xlsx
