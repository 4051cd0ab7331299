#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

namespace {

bool no_entry(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

FileStamp stamp_of(const struct stat& st) {
    FileStamp s;
    s.device = st.st_dev;
    s.inode = st.st_ino;
    s.size = st.st_size;
    s.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.changed = st.st_ctim.tv_sec;
    s.changed_ns = st.st_ctim.tv_nsec;
    return s;
}

}  // namespace

std::optional<FileStamp> file_stamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return stamp_of(st);
}

std::optional<FileStamp> file_stamp(int fd) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return std::nullopt;
    return stamp_of(st);
}

RegularFile::RegularFile(const std::string& path) : path_(path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error_ = errno;
        missing_ = (error_ == ENOENT || error_ == ENOTDIR) && no_entry(path);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        error_ = EINVAL;
        not_regular_ = true;
        return;
    }
    // The name may have been pointed elsewhere since: O_NONBLOCK makes opening a FIFO return at
    // once (reading a regular file ignores it), and the descriptor's own type is checked again.
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = errno;
        missing_ = (error_ == ENOENT || error_ == ENOTDIR) && no_entry(path);
        return;
    }
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        error_ = EINVAL;
        not_regular_ = true;
        ::close(fd_);
        fd_ = -1;
    }
}

RegularFile::~RegularFile() {
    if (fd_ >= 0) ::close(fd_);
}

int RegularFile::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

int RegularFile::read_all(std::string& out, size_t limit) {
    out.clear();
    if (fd_ < 0) return error_ ? error_ : EBADF;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            out.clear();
            return err;
        }
        if (static_cast<size_t>(n) > limit - out.size()) {
            out.clear();
            return EFBIG;
        }
        out.append(buf, static_cast<size_t>(n));
    }
}

std::string RegularFile::name() const {
    const std::string own = "/proc/self/fd/" + std::to_string(fd_);
    return fd_ >= 0 && ::access(own.c_str(), R_OK) == 0 ? own : path_;
}

}  // namespace platform
