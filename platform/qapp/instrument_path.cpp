#include "platform/qapp/instrument_path.h"

#include "platform/qstd/file.h"

#include <cerrno>
#include <mutex>

namespace qapp {
namespace {
std::mutex g_mutex;
std::string g_root = "/";

// True when a ".." of the path climbs above the folder it starts from.
bool ClimbsOut(const std::string& path)
{
    std::size_t depth = 0;
    for (std::size_t begin = 0; begin < path.size();) {
        std::size_t slash = path.find('/', begin);
        if (slash == std::string::npos) {
            slash = path.size();
        }
        const std::string part = path.substr(begin, slash - begin);
        begin = slash + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        if (part != "..") {
            ++depth;
        } else if (depth == 0) {
            return true;
        } else {
            --depth;
        }
    }
    return false;
}

// 0 for a path that may be resolved inside the root, else the error number
// with why in reason.
int CheckPath(const std::string& path, std::string& reason)
{
    if (path.size() > c_maxInstrumentPath) {
        reason = "longer than " + std::to_string(c_maxInstrumentPath) + " characters";
        return ENAMETOOLONG;
    }
    if (path.empty() || path[0] != '/') {
        reason = "not an absolute path";
        return EINVAL;
    }
    if (ClimbsOut(path)) {
        reason = "leads out of the instrument root";
        return EACCES;
    }
    return 0;
}

} // namespace

void SetInstrumentRoot(const std::string& root)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_root = root.empty() ? std::string("/") : root;
}

std::string InstrumentRoot()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_root;
}

std::string InstrumentPath(const std::string& path)
{
    const std::string root = InstrumentRoot();
    if (path.empty() || path[0] != '/' || root == "/") {
        return path;
    }
    std::string base = root;
    while (base.size() > 1 && base.back() == '/') {
        base.pop_back();
    }
    return base + path;
}

int ReadInstrumentFile(const std::string& path, std::size_t maxBytes, std::string& text, std::string& reason)
{
    text.clear();
    if (const int error = CheckPath(path, reason)) {
        return error;
    }
    return qstd::ReadRegularFileIn(InstrumentRoot(), path, maxBytes, text, reason);
}

bool InstrumentFileMissing(const std::string& path)
{
    std::string reason;
    if (CheckPath(path, reason) != 0) {
        return false;
    }
    // Resolved as a read resolves it; only a regular file is opened.
    qstd::InputFile file;
    return file.Open(InstrumentRoot(), path) == ENOENT;
}

} // namespace qapp
