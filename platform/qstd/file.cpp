#include "platform/qstd/file.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qstd {

int ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string& text, std::string& reason)
{
    text.clear();
    reason.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        reason = std::strerror(error);
        return error;
    }
    int failure = 0;
    auto fail = [&](int error, std::string why) {
        failure = error;
        reason = std::move(why);
    };
    const std::string tooLarge = "larger than " + std::to_string(maxBytes) + " bytes";
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        fail(errno, std::strerror(errno));
    } else if (!S_ISREG(st.st_mode)) {
        fail(EINVAL, "not a regular file");
    } else if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
        fail(EFBIG, tooLarge);
    } else {
        char buffer[8192];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof(buffer));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                fail(errno, std::strerror(errno));
                break;
            }
            if (n == 0) {
                break;
            }
            // The file may grow while it is read.
            if (text.size() + static_cast<std::size_t>(n) > maxBytes) {
                fail(EFBIG, tooLarge);
                break;
            }
            text.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    if (failure != 0) {
        text.clear();
    }
    return failure;
}

} // namespace qstd
