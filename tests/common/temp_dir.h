#pragma once
// A temporary directory under /tmp, removed with its contents at
// destruction, for tests that write files or run a server under a root of
// their own.

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace zvtest {

class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/zv-test-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (made == nullptr) {
            throw std::runtime_error("cannot make a temporary directory");
        }
        m_path = made;
    }
    ~TempDir()
    {
        if (std::system(("rm -rf '" + m_path + "'").c_str()) != 0) {
            // A directory left in /tmp harms no later test.
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    // Writes a file of that name with the contents; returns its path.
    std::string File(const std::string& name, const std::string& contents) const
    {
        const std::string path = m_path + "/" + name;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
        return path;
    }

private:
    std::string m_path;
};

} // namespace zvtest
