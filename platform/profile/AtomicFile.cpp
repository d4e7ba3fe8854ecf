#include "platform/profile/AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Closes a descriptor on every path out of a function.
class TFd {
  public:
    explicit TFd(int fd) : FFd(fd) {}
    ~TFd() {
        if (FFd >= 0) ::close(FFd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return FFd; }
    // Closes now so that a deferred write error (NFS, quota) is seen; returns 0 or errno.
    int Close() {
        int fd = FFd;
        FFd = -1;
        return ::close(fd) == 0 ? 0 : errno;
    }

  private:
    int FFd;
};

std::string ParentDir(const std::string& path) {
    std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string TempName(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    static thread_local std::mt19937 rng{std::random_device{}()};
    std::string dir = ParentDir(target);
    std::string base =
        target.substr(target.find_last_of('/') == std::string::npos ? 0 : target.find_last_of('/') + 1);
    return dir + "/." + base + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
           std::to_string(rng());
}

int WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

} // namespace

int ReadWholeFile(const std::string& path, std::string& out) {
    out.clear();
    if (path.empty()) return ENOENT;
    // Non-blocking so that a FIFO in the file's place cannot hang the caller; it is refused below.
    TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.Get() < 0) return errno;
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) return errno;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd.Get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            out.clear();
            return err;
        }
        if (n == 0) break;
        if (out.size() + static_cast<std::size_t>(n) > MaxProfileFileSize) {
            out.clear();
            return EFBIG;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    return 0;
}

int WriteFileAtomically(const std::string& path, std::string_view data) {
    if (path.empty()) return ENOENT;
    std::string target = path;
    struct stat lst {};
    if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
        // Renaming over the link would replace the link itself; write where it points instead.
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved)) target = resolved;
    }

    struct stat st {};
    bool exists = ::stat(target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) return errno;
    if (exists) {
        if (S_ISDIR(st.st_mode)) return EISDIR;
        if (!S_ISREG(st.st_mode)) return EINVAL;
        // The rename would succeed even over a read-only file; honour the file's own protection.
        if (::access(target.c_str(), W_OK) != 0) return errno;
    }

    std::string temp = TempName(target);
    mode_t mode = exists ? (st.st_mode & 07777) : 0666;
    TFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (fd.Get() < 0) return errno;
    auto fail = [&](int err) {
        ::unlink(temp.c_str());
        return err;
    };
    if (exists) {
        // Best effort: a file shared with other users keeps its owner and exact mode.
        if (::fchown(fd.Get(), st.st_uid, st.st_gid) != 0) {
        }
        ::fchmod(fd.Get(), mode);
    }
    if (int err = WriteAll(fd.Get(), data)) return fail(err);
    if (::fsync(fd.Get()) != 0) return fail(errno);
    if (int err = fd.Close()) return fail(err);
    if (::rename(temp.c_str(), target.c_str()) != 0) return fail(errno);
    // Make the rename itself durable; failing here cannot undo it, so it is not an error.
    TFd dir(::open(ParentDir(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() >= 0) ::fsync(dir.Get());
    return 0;
}
