#pragma once
// A board object of the system over a simulated board of its own, built
// outside a running chassis (nothing answers the board's requests). The
// instrument's paths lie under a temporary root holding the configuration
// files that the simulated board provides.

#include "app/vuna_application.h"
#include "platform/bmc/board.h"
#include "platform/qapp/instrument_path.h"
#include "sim/board.h"
#include "sim/scenario.h"

#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace apptest {

// A temporary instrument root with the configuration directory and "/tmp/"
// below it, for the life of the object.
class TemporaryRoot {
public:
    TemporaryRoot() : m_former(qapp::InstrumentRoot())
    {
        char pattern[] = "/tmp/zv-board-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("cannot make a temporary directory");
        }
        m_path = pattern;
        for (const char* dir : {"/var", "/var/opt", "/var/opt/zemtra", "/var/opt/zemtra/cfg", "/tmp"}) {
            ::mkdir((m_path + dir).c_str(), 0755);
        }
        qapp::SetInstrumentRoot(m_path);
    }
    ~TemporaryRoot()
    {
        qapp::SetInstrumentRoot(m_former);
        const std::string command = "rm -rf '" + m_path + "'";
        if (std::system(command.c_str()) != 0) {
            // A directory left in /tmp harms no later test.
        }
    }
    TemporaryRoot(const TemporaryRoot&) = delete;
    TemporaryRoot& operator=(const TemporaryRoot&) = delete;

    // The configuration directory and the RAM directory under the root.
    std::string ConfDir() const { return qapp::InstrumentPath("/var/opt/zemtra/cfg/"); }
    std::string TmpDir() const { return qapp::InstrumentPath("/tmp/"); }

private:
    std::string m_former;
    std::string m_path;
};

// A temporary directory in the instrument's "/tmp/" (under the root of the
// moment), whose files are named by the paths the board objects resolve.
class InstrumentTempDir {
public:
    InstrumentTempDir()
    {
        std::string pattern = qapp::InstrumentPath("/tmp/") + "zv-files-XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr) {
            throw std::runtime_error("cannot make a temporary directory");
        }
        m_real = pattern;
        m_path = "/tmp/" + m_real.substr(m_real.rfind('/') + 1);
    }
    ~InstrumentTempDir()
    {
        if (std::system(("rm -rf '" + m_real + "'").c_str()) != 0) {
            // A directory left in /tmp harms no later test.
        }
    }
    InstrumentTempDir(const InstrumentTempDir&) = delete;
    InstrumentTempDir& operator=(const InstrumentTempDir&) = delete;

    // The directory as the instrument names it.
    const std::string& Path() const { return m_path; }
    // Writes a file of that name with the contents; returns its instrument path.
    std::string File(const std::string& name, const std::string& contents) const
    {
        std::ofstream(m_real + "/" + name, std::ios::binary | std::ios::trunc) << contents;
        return m_path + "/" + name;
    }

private:
    std::string m_real;
    std::string m_path;
};

template <typename B> class BoardFixture {
public:
    // type: sim board type; faults and registers adjust the default board.
    BoardFixture(unsigned type, const std::string& name, const std::string& slot)
    {
        m_desc.type = type;
        m_desc.name = name;
        m_desc.slot = slot;
        m_desc.registers = sim::DefaultRegisters(type);
    }

    sim::BoardDesc& Desc() { return m_desc; }

    // Builds the simulated board (unless Description made it) and then the
    // board object.
    B& Build()
    {
        Description();
        m_board.reset(MakeBoard());
        return *m_board;
    }

    // Builds the simulated board only (for constructors that must fail, or
    // to change the instrument's files first).
    const bmc::Board* Description()
    {
        if (!m_sim) {
            m_sim = std::make_unique<sim::Board>(m_desc, 117440043.0);
            m_sim->InstallConfiguration(m_root.ConfDir());
            m_bmc = std::make_unique<bmc::Board>(static_cast<bmc::BoardType_e>(m_desc.type), m_desc.name,
                                                 bmc::Uri("localhost", m_desc.slot), m_sim.get());
        }
        return m_bmc.get();
    }

    VunaApplication& App() { return *m_app; }
    const TemporaryRoot& Root() const { return m_root; }
    sim::Board& Sim() { return *m_sim; }
    B& Board() { return *m_board; }
    // Destroys the board object; the simulated board stays.
    void DestroyBoard() { m_board.reset(); }

    ~BoardFixture()
    {
        m_board.reset();
        m_bmc.reset();
        m_sim.reset();
    }

private:
    B* MakeBoard();

    TemporaryRoot m_root;
    std::shared_ptr<VunaApplication> m_app = std::make_shared<VunaApplication>();
    sim::BoardDesc m_desc;
    std::unique_ptr<sim::Board> m_sim;
    std::unique_ptr<bmc::Board> m_bmc;
    std::unique_ptr<B> m_board;
};

} // namespace apptest
