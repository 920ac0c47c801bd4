// Fuzzes the paths that clients name for instrument files (the FIR file,
// register maps): whatever the path, in the kernel's resolution and in the
// walk of components alike, only files inside the instrument root are read,
// never one outside it through "..", a link or an absolute name.

#include "platform/qapp/instrument_path.h"
#include "platform/qstd/file.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string g_dir;

void RemoveDir()
{
    if (std::system(("rm -rf '" + g_dir + "'").c_str()) != 0) {
        // Left in /tmp; harms nothing.
    }
}

// <dir>/secret outside the root <dir>/root, which holds cfg/f and links
// that try to lead out.
void MakeRoot()
{
    char pattern[] = "/tmp/zv-fuzz-path-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::abort();
    }
    g_dir = pattern;
    std::atexit(RemoveDir);
    ::mkdir((g_dir + "/root").c_str(), 0755);
    ::mkdir((g_dir + "/root/cfg").c_str(), 0755);
    std::ofstream(g_dir + "/secret") << "secret";
    std::ofstream(g_dir + "/root/cfg/f") << "inside";
    const std::string links[][2] = {{"../../secret", "up"}, {g_dir + "/secret", "out"}, {"f", "rel"},
                                    {"/cfg/f", "abs"},      {"..", "parent"},           {"loop", "loop"}};
    for (const auto& link : links) {
        if (::symlink(link[0].c_str(), (g_dir + "/root/cfg/" + link[1]).c_str()) != 0) {
            std::abort();
        }
    }
    qapp::SetInstrumentRoot(g_dir + "/root");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (g_dir.empty()) {
        MakeRoot();
    }
    const std::string path(reinterpret_cast<const char*>(data), size);
    for (const bool walk : {false, true}) {
        qstd::InputFile::UseComponentWalk(walk);
        std::string text;
        std::string reason;
        const int error = qapp::ReadInstrumentFile(path, 64, text, reason);
        // The only file the root holds says "inside".
        if ((error == 0 && text != "inside") || (error != 0 && !text.empty())) {
            std::abort();
        }
    }
    return 0;
}
