#include "raf_fixture.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace apptest {
template <> RafBoard* BoardFixture<RafBoard>::MakeBoard()
{
    return new RafBoard(*m_app, m_bmc.get());
}
} // namespace apptest

namespace acqtest {

Files::Files()
{
    char pattern[] = "/tmp/zv-acq-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) {
        throw std::runtime_error("cannot make a temporary directory");
    }
    m_dir = made;
}

Files::~Files()
{
    if (std::system(("rm -rf '" + m_dir + "'").c_str()) != 0) {
        // A directory left in /tmp harms no later test.
    }
}

std::string Files::Write(const std::string& name, const std::string& text) const
{
    const std::string path = Path(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

} // namespace acqtest
