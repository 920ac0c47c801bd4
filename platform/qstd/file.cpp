#include "platform/qstd/file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#if defined(SYS_openat2) && __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#define QSTD_HAVE_OPENAT2 1
#endif

namespace qstd {
namespace {

std::atomic<bool> g_walk{false};
// Set once the kernel has refused openat2 as unknown.
std::atomic<bool> g_noOpenat2{false};

// A path is resolved to a descriptor that refers to the file without opening
// it (O_PATH): opening a FIFO or a device node alone can act (a FIFO's writer
// wakes, a watchdog starts). Only a regular file is then opened for reading.
constexpr int c_resolveFlags = O_PATH | O_CLOEXEC;
constexpr int c_readFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
// Links followed in one resolution, as the kernel allows.
constexpr unsigned c_maxLinks = 40;
constexpr std::size_t c_bufferSize = 64 * 1024;

// Closes the descriptor it holds.
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() { Reset(-1); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return m_fd; }
    int Release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Reset(int fd)
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd;
};

// Which folder a descriptor refers to.
struct FolderId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator!=(const FolderId& other) const { return device != other.device || inode != other.inode; }
};

bool Identify(int fd, FolderId& id)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    id.device = st.st_dev;
    id.inode = st.st_ino;
    return true;
}

void Append(std::deque<std::string>& parts, const std::string& path, bool front)
{
    std::deque<std::string> split;
    for (std::size_t begin = 0; begin <= path.size();) {
        std::size_t slash = path.find('/', begin);
        if (slash == std::string::npos) {
            slash = path.size();
        }
        if (slash > begin) {
            split.push_back(path.substr(begin, slash - begin));
        }
        begin = slash + 1;
    }
    // A trailing slash names a folder: what precedes it must be one.
    if (!path.empty() && path.back() == '/') {
        split.push_back(".");
    }
    parts.insert(front ? parts.begin() : parts.end(), split.begin(), split.end());
}

// Resolves path inside the folder baseFd by components: ".." stops at the
// folder, each component is looked at without following it, and a link's
// target (an absolute one from the folder) takes its place. Only the folder
// looked in is held open, so that a deep path costs no more descriptors than
// a short one: ".." opens the parent and goes on only when that is the
// folder the walk came from (EAGAIN when a folder was moved meanwhile).
// The descriptor, or -1 with errno set.
int OpenByWalk(int baseFd, const std::string& path, int flags)
{
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    Descriptor folder(::fcntl(baseFd, F_DUPFD_CLOEXEC, 0));
    // The folders from baseFd down to the one held.
    std::vector<FolderId> trail(1);
    if (folder.Get() < 0 || !Identify(folder.Get(), trail.back())) {
        return -1;
    }
    std::deque<std::string> pending;
    Append(pending, path, false);
    unsigned links = 0;
    while (!pending.empty()) {
        const std::string name = pending.front();
        pending.pop_front();
        if (name == ".") {
            continue;
        }
        if (name == "..") {
            if (trail.size() > 1) {
                Descriptor parent(::openat(folder.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
                FolderId id;
                if (parent.Get() < 0 || !Identify(parent.Get(), id)) {
                    return -1;
                }
                if (id != trail[trail.size() - 2]) {
                    errno = EAGAIN;
                    return -1;
                }
                trail.pop_back();
                folder.Reset(parent.Release());
            }
            continue;
        }
        struct stat st {};
        if (::fstatat(folder.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return -1;
        }
        if (S_ISLNK(st.st_mode)) {
            if (++links > c_maxLinks) {
                errno = ELOOP;
                return -1;
            }
            char target[PATH_MAX];
            const ssize_t n = ::readlinkat(folder.Get(), name.c_str(), target, sizeof(target));
            if (n < 0) {
                return -1;
            }
            if (n == 0 || static_cast<std::size_t>(n) >= sizeof(target)) {
                errno = n == 0 ? ENOENT : ENAMETOOLONG;
                return -1;
            }
            const std::string link(target, static_cast<std::size_t>(n));
            if (link[0] == '/') {
                folder.Reset(::fcntl(baseFd, F_DUPFD_CLOEXEC, 0));
                if (folder.Get() < 0) {
                    return -1;
                }
                trail.resize(1);
            }
            Append(pending, link, true);
            continue;
        }
        if (pending.empty()) {
            return ::openat(folder.Get(), name.c_str(), flags | O_NOFOLLOW);
        }
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return -1;
        }
        Descriptor next(::openat(folder.Get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        FolderId id;
        if (next.Get() < 0 || !Identify(next.Get(), id)) {
            return -1;
        }
        trail.push_back(id);
        folder.Reset(next.Release());
    }
    // The path names a folder.
    return ::openat(folder.Get(), ".", flags);
}

// The kernel's resolution of path inside baseFd; -1 with errno set, ENOSYS
// when the kernel lacks it.
int OpenByKernel(int baseFd, const std::string& path, int flags)
{
#ifdef QSTD_HAVE_OPENAT2
    struct open_how how {};
    how.flags = static_cast<unsigned long long>(flags);
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0;; ++attempt) {
        const long fd = ::syscall(SYS_openat2, baseFd, path.c_str(), &how, sizeof(how));
        // EAGAIN: a rename raced the resolution of "..".
        if (fd >= 0 || (errno != EAGAIN && errno != EINTR) || attempt == 8) {
            return static_cast<int>(fd);
        }
    }
#else
    (void)baseFd;
    (void)path;
    (void)flags;
    errno = ENOSYS;
    return -1;
#endif
}

int OpenInside(int baseFd, const std::string& path, int flags)
{
    if (!g_walk.load() && !g_noOpenat2.load()) {
        const int fd = OpenByKernel(baseFd, path, flags);
        // A sandbox that does not know the call refuses it with EPERM.
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) {
            return fd;
        }
        g_noOpenat2.store(true);
    }
    return OpenByWalk(baseFd, path, flags);
}

// Opens the regular file that the O_PATH descriptor refers to for reading:
// through its entry in /proc, which leads to that very file whatever has
// been renamed meanwhile. Without /proc the path is resolved again and the
// file taken only when it is the one checked. -1 with errno set.
int ReopenForReading(int pathFd, const struct stat& checked, int baseFd, const std::string& path)
{
    const std::string self = "/proc/self/fd/" + std::to_string(pathFd);
    const int fd = ::open(self.c_str(), c_readFlags);
    if (fd >= 0 || errno != ENOENT) {
        return fd;
    }
    Descriptor again(OpenInside(baseFd, path, c_readFlags));
    struct stat st {};
    if (again.Get() < 0 || ::fstat(again.Get(), &st) != 0) {
        return -1;
    }
    if (st.st_dev != checked.st_dev || st.st_ino != checked.st_ino) {
        errno = EAGAIN;
        return -1;
    }
    return again.Release();
}

} // namespace

InputFile::~InputFile()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void InputFile::UseComponentWalk(bool walk)
{
    g_walk.store(walk);
}

int InputFile::Fail(int error, const std::string& reason)
{
    m_error = error;
    m_reason = reason;
    return error;
}

int InputFile::Open(const std::string& base, const std::string& path)
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_error = 0;
    m_reason.clear();
    m_begin = m_end = 0;
    m_atEnd = false;
    if (path.find('\0') != std::string::npos) {
        return Fail(EINVAL, "NUL character in the name");
    }
    const int baseFd = ::open(base.empty() ? "." : base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (baseFd < 0) {
        const int error = errno;
        return Fail(error, std::strerror(error));
    }
    Descriptor folder(baseFd);
    // Resolved without being opened, looked at, and opened for reading only
    // when it is a regular file.
    Descriptor resolved(OpenInside(folder.Get(), path, c_resolveFlags));
    if (resolved.Get() < 0) {
        const int error = errno;
        return Fail(error, std::strerror(error));
    }
    struct stat st {};
    if (::fstat(resolved.Get(), &st) != 0) {
        const int error = errno;
        return Fail(error, std::strerror(error));
    }
    if (!S_ISREG(st.st_mode)) {
        return Fail(EINVAL, "not a regular file");
    }
    const int fd = ReopenForReading(resolved.Get(), st, folder.Get(), path);
    if (fd < 0) {
        const int error = errno;
        return Fail(error, std::strerror(error));
    }
    m_fd = fd;
    return 0;
}

int InputFile::Open(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return Open(".", path);
    }
    return Open(slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(slash + 1));
}

bool InputFile::Fill()
{
    if (m_buffer.empty()) {
        m_buffer.resize(c_bufferSize);
    }
    m_begin = m_end = 0;
    for (;;) {
        const ssize_t n = ::read(m_fd, m_buffer.data(), m_buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int error = errno;
            Fail(error, std::strerror(error));
        }
        if (n <= 0) {
            m_atEnd = true;
            return false;
        }
        m_end = static_cast<std::size_t>(n);
        return true;
    }
}

long InputFile::Read(void* data, std::size_t size)
{
    if (m_fd < 0 || m_error != 0) {
        return -1;
    }
    char* out = static_cast<char*>(data);
    std::size_t done = 0;
    while (done < size) {
        if (m_begin == m_end && (m_atEnd || !Fill())) {
            break;
        }
        const std::size_t n = std::min(size - done, m_end - m_begin);
        std::memcpy(out + done, m_buffer.data() + m_begin, n);
        m_begin += n;
        done += n;
    }
    return m_error != 0 ? -1 : static_cast<long>(done);
}

int InputFile::ReadAll(std::size_t maxBytes, std::string& text)
{
    text.clear();
    if (m_fd < 0 || m_error != 0) {
        return m_error != 0 ? m_error : Fail(EBADF, std::strerror(EBADF));
    }
    const std::string tooLarge = "larger than " + std::to_string(maxBytes) + " bytes";
    struct stat st {};
    if (::fstat(m_fd, &st) == 0 && static_cast<unsigned long long>(st.st_size) > maxBytes) {
        return Fail(EFBIG, tooLarge);
    }
    char chunk[8192];
    for (;;) {
        const long n = Read(chunk, sizeof(chunk));
        if (n < 0) {
            text.clear();
            return m_error;
        }
        // The file may grow while it is read.
        if (text.size() + static_cast<std::size_t>(n) > maxBytes) {
            text.clear();
            return Fail(EFBIG, tooLarge);
        }
        text.append(chunk, static_cast<std::size_t>(n));
        if (static_cast<std::size_t>(n) < sizeof(chunk)) {
            return 0;
        }
    }
}

bool InputFile::ReadLine(std::size_t maxLine, std::string& line, bool& complete, bool& tooLong)
{
    line.clear();
    complete = false;
    tooLong = false;
    if (m_fd < 0 || m_error != 0) {
        return false;
    }
    bool any = false;
    for (;;) {
        if (m_begin == m_end && (m_atEnd || !Fill())) {
            return any && m_error == 0;
        }
        any = true;
        const char* begin = m_buffer.data() + m_begin;
        const void* found = std::memchr(begin, '\n', m_end - m_begin);
        const std::size_t length =
            found ? static_cast<std::size_t>(static_cast<const char*>(found) - begin) : m_end - m_begin;
        if (!tooLong && line.size() + length > maxLine) {
            tooLong = true;
            line.clear();
            line.shrink_to_fit();
        }
        if (!tooLong) {
            line.append(begin, length);
        }
        m_begin += length;
        if (found) {
            ++m_begin;
            complete = true;
            return true;
        }
    }
}

int ReadRegularFileIn(const std::string& base, const std::string& path, std::size_t maxBytes, std::string& text,
                      std::string& reason)
{
    text.clear();
    InputFile file;
    const int error = file.Open(base, path) != 0 ? file.Error() : file.ReadAll(maxBytes, text);
    reason = file.Reason();
    return error;
}

int ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string& text, std::string& reason)
{
    text.clear();
    InputFile file;
    const int error = file.Open(path) != 0 ? file.Error() : file.ReadAll(maxBytes, text);
    reason = file.Reason();
    return error;
}

} // namespace qstd
