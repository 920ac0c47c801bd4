#include "platform/qapp/instrument_path.h"

#include <mutex>

namespace qapp {
namespace {
std::mutex g_mutex;
std::string g_root = "/";
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

} // namespace qapp
