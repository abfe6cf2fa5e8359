// POSIX side of the profile files: open/fstat/read, and replacement through a temporary file
// in the same folder followed by rename(2), so readers see either the old or the new file.
#include "FileIo.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace lvprofile::detail {
namespace {

std::string ErrnoText(int err) {
    return std::generic_category().message(err);
}

void SetError(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

bool WriteAll(int fd, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

} // namespace

ReadStatus ReadWholeFile(const std::string& path, std::size_t limit, std::string* bytes,
                         std::string* error) {
    bytes->clear();
    // O_NONBLOCK: a FIFO named like the profile must not hang the caller.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        int err = errno;
        if (err == ENOENT || err == ENOTDIR) {
            SetError(error, Quoted(path) + " does not exist");
            return ReadStatus::Missing;
        }
        SetError(error, "Cannot read " + Quoted(path) + ": " + ErrnoText(err));
        return ReadStatus::Failed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        SetError(error, Quoted(path) + " is not a regular file");
        return ReadStatus::Failed;
    }
    if (static_cast<unsigned long long>(st.st_size) > limit) {
        ::close(fd);
        SetError(error, Quoted(path) + " is larger than " + std::to_string(limit) + " bytes");
        return ReadStatus::Failed;
    }
    bytes->reserve(static_cast<std::size_t>(st.st_size));
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            bytes->clear();
            SetError(error, "Cannot read " + Quoted(path) + ": " + ErrnoText(err));
            return ReadStatus::Failed;
        }
        if (n == 0) break;
        if (bytes->size() + static_cast<std::size_t>(n) > limit) { // grew while we read
            ::close(fd);
            bytes->clear();
            SetError(error, Quoted(path) + " is larger than " + std::to_string(limit) + " bytes");
            return ReadStatus::Failed;
        }
        bytes->append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ReadStatus::Ok;
}

bool ReplaceFile(const std::string& path, std::string_view bytes, std::string* error) {
    if (path.empty()) {
        SetError(error, "The file name is empty");
        return false;
    }
    // Write through a symbolic link instead of replacing the link itself.
    std::string target = path;
    struct stat lst {};
    if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    bool exists = false;
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            SetError(error, Quoted(path) + " is not a regular file");
            return false;
        }
        exists = true;
        // A read-only profile stays untouched, as with the classic call.
        if (::access(target.c_str(), W_OK) != 0) {
            SetError(error, "Cannot write " + Quoted(path) + ": " + ErrnoText(errno));
            return false;
        }
    } else if (errno != ENOENT) {
        SetError(error, "Cannot write " + Quoted(path) + ": " + ErrnoText(errno));
        return false;
    }

    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = target + ".~" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        SetError(error,
                 "Cannot create a temporary file beside " + Quoted(path) + ": " + ErrnoText(errno));
        return false;
    }
    if (exists) {
        (void)::fchmod(fd, st.st_mode & 07777);
        (void)::fchown(fd, st.st_uid, st.st_gid); // best effort: only root may give files away
    }
    if (!WriteAll(fd, bytes) || ::fsync(fd) != 0) {
        int err = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        SetError(error, "Cannot write " + Quoted(path) + ": " + ErrnoText(err));
        return false;
    }
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        SetError(error, "Cannot write " + Quoted(path) + ": " + ErrnoText(err));
        return false;
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        SetError(error, "Cannot write " + Quoted(path) + ": " + ErrnoText(err));
        return false;
    }
    int dirFd = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        (void)::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

} // namespace lvprofile::detail
