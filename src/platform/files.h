// Files that others name to the library (the configuration, profiles, certificates): only a
// regular file is read, and opening one never waits. A FIFO or device named in its place would
// otherwise hold the calling thread, and with it the API lock, until someone wrote to it; it is
// not even opened, since opening a device may already act on it.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace platform {

// What tells one state of a file from another: which file it is, its size and when it last
// changed. The status change time (ctime) is the one no user can set back: every write,
// truncation, rename onto the name or touch sets it to the system's time.
struct FileStamp {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t mtime_ns = 0;
    time_t changed = 0;  // ctime, whole seconds
    int64_t changed_ns = 0;
    bool operator==(const FileStamp&) const = default;
};
// The stamp of what the name (links followed) or the descriptor stands for; none when it cannot
// be had.
std::optional<FileStamp> file_stamp(const std::string& path);
std::optional<FileStamp> file_stamp(int fd);

class RegularFile {
  public:
    explicit RegularFile(const std::string& path);
    ~RegularFile();
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    explicit operator bool() const { return fd_ >= 0; }
    // errno of a failed open; EINVAL when the name is no regular file.
    int error() const { return error_; }
    // The name is there but is a directory, FIFO, device or socket: said as such to an
    // administrator, which errno's "Invalid argument" does not.
    bool not_regular() const { return not_regular_; }
    // The name has no directory entry at all. A dangling symbolic link is there: it names a
    // file that cannot be read, which is not the same as no file.
    bool missing() const { return missing_; }
    // The descriptor, now the caller's to close.
    int release();
    // The whole file, read from where the descriptor stands: 0, or an errno (EFBIG when the
    // file holds more than `limit` bytes; out is then empty).
    [[nodiscard]] int read_all(std::string& out, size_t limit);
    // A name of the very file that was opened, for readers that only take names: what they open
    // is this file even if the path has meanwhile been pointed elsewhere.
    std::string name() const;
    // The opened file's stamp now.
    std::optional<FileStamp> stamp() const { return file_stamp(fd_); }

  private:
    int fd_ = -1;
    int error_ = 0;
    bool missing_ = false;
    bool not_regular_ = false;
    std::string path_;
};

}  // namespace platform
