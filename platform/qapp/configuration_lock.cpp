#include "platform/qapp/configuration_lock.h"

#include "platform/qstd/exception.h"
#include "platform/qstd/util.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace qapp {

namespace {

// The process that holds an flock on the file open as fd, as the kernel
// lists it in /proc/locks ("1: FLOCK  ADVISORY  WRITE PID MAJ:MIN:INODE 0
// EOF", device numbers in hex; a waiter's line has "->" before the type);
// 0 when none is listed. The device is matched where it can be: on some
// file systems the listed one is not the one stat gives, and then an inode
// that only one lock has will do.
long LockHolder(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return 0;
    }
    std::ifstream locks("/proc/locks");
    long sameInode = 0;
    int sameInodeCount = 0;
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, type, mode, access, device;
        long pid = 0;
        if (!(fields >> number >> type) || type != "FLOCK" || !(fields >> mode >> access >> pid >> device)) {
            continue;
        }
        unsigned major = 0;
        unsigned minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(device.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3 || inode != st.st_ino) {
            continue;
        }
        if (major == ::major(st.st_dev) && minor == ::minor(st.st_dev)) {
            return pid;
        }
        sameInode = pid;
        ++sameInodeCount;
    }
    return sameInodeCount == 1 ? sameInode : 0;
}

// Whether path is a symbolic link, and where it leads.
bool LinkTarget(const std::string& path, std::string& target)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
        return false;
    }
    char text[4096];
    const ssize_t n = ::readlink(path.c_str(), text, sizeof(text));
    target = n < 0 ? std::string("?") : std::string(text, static_cast<size_t>(n));
    return true;
}

} // namespace

std::string ConfigurationLock::LockFile(const std::string& storedFile)
{
    const size_t slash = storedFile.rfind('/');
    const size_t name = slash == std::string::npos ? 0 : slash + 1;
    return storedFile.substr(0, name) + "." + storedFile.substr(name) + ".lock";
}

ConfigurationLock::ConfigurationLock(const std::string& file, const std::string& storedFile)
{
    const std::string lockFile = LockFile(storedFile);
    // Read-only suffices for flock; not followed when it is a link, and not
    // passed on to a program the server starts (which would hold it on).
    m_fd = ::open(lockFile.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    // flock, not fcntl: its lock belongs to this open file, so that a second
    // lock is refused within one process too, and the kernel drops it with
    // the last descriptor of the file. Not waiting, it is not interrupted.
    if (m_fd >= 0 && ::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
        return;
    }
    const int error = errno;
    const bool held = m_fd >= 0 && error == EWOULDBLOCK;
    const long holder = held ? LockHolder(m_fd) : 0;
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    const std::string named = "Configuration file " + qstd::EscapeControls(file);
    const std::string lock = qstd::EscapeControls(lockFile);
    if (held) {
        throw qstd::Exception(named + " is in use by " +
                                  (holder > 0 ? "process " + std::to_string(holder) : std::string("another process")) +
                                  ", which holds its lock " + lock + "; the start is refused.",
                              true);
    }
    // A link is not followed (the kernel's word for it, "Too many levels of
    // symbolic links", would not name it).
    std::string target;
    if (error == ELOOP && LinkTarget(lockFile, target)) {
        throw qstd::Exception(named + " cannot be locked: its lock file " + lock + " is a symbolic link (to " +
                                  qstd::EscapeControls(target) +
                                  "), which the lock does not follow (remove the link); the start is refused.",
                              true);
    }
    throw qstd::Exception(
        named + " cannot be locked: " + lock + ": " + std::strerror(error) + "; the start is refused.", true);
}

ConfigurationLock::~ConfigurationLock()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

} // namespace qapp
