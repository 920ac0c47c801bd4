#pragma once
// One server per configuration file: a server that stores its configuration
// holds this lock from before it loads the values until after it has stored
// them last, so that a second server on the same file is refused at start
// rather than the one that stops last writing over the values of the other.
//
// The lock is an flock on a file of its own beside the file the values are
// stored in (the target when the configuration file is a symbolic link), see
// LockFile: the stored file itself is replaced by every store, and a lock on
// it would stay with the replaced file. The lock file is never removed (a
// server that opened it just before would lock the removed file while the
// next one made a new one). The kernel drops the lock when the holder ends,
// however it ends, so a crash never blocks the next start.

#include <string>

namespace qapp {

class ConfigurationLock {
public:
    // Locks the configuration file `file` whose values are stored in
    // `storedFile` (file itself, or the regular file its link leads to).
    // Throws qstd::Exception, one line, when another process holds the lock
    // (naming file and that process) or the lock file cannot be opened.
    ConfigurationLock(const std::string& file, const std::string& storedFile);
    ~ConfigurationLock();
    ConfigurationLock(const ConfigurationLock&) = delete;
    ConfigurationLock& operator=(const ConfigurationLock&) = delete;

    // The lock file of a stored file: hidden beside it, ".NAME.lock".
    static std::string LockFile(const std::string& storedFile);

private:
    int m_fd = -1;
};

} // namespace qapp
