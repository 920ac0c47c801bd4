#pragma once
// A board object of the system over a simulated board of its own, built
// outside a running chassis (nothing answers the board's requests).

#include "app/vuna_application.h"
#include "platform/bmc/board.h"
#include "sim/board.h"
#include "sim/scenario.h"

#include <memory>
#include <string>

namespace apptest {

template <typename B>
class BoardFixture {
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

    // Builds the simulated board and then the board object.
    B& Build()
    {
        m_sim = std::make_unique<sim::Board>(m_desc, 117440043.0);
        m_bmc = std::make_unique<bmc::Board>(static_cast<bmc::BoardType_e>(m_desc.type), m_desc.name,
                                             bmc::Uri("localhost", m_desc.slot), m_sim.get());
        m_board.reset(MakeBoard());
        return *m_board;
    }

    // Builds the simulated board only (for constructors that must fail).
    const bmc::Board* Description()
    {
        m_sim = std::make_unique<sim::Board>(m_desc, 117440043.0);
        m_bmc = std::make_unique<bmc::Board>(static_cast<bmc::BoardType_e>(m_desc.type), m_desc.name,
                                             bmc::Uri("localhost", m_desc.slot), m_sim.get());
        return m_bmc.get();
    }

    VunaApplication& App() { return *m_app; }
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

    std::shared_ptr<VunaApplication> m_app = std::make_shared<VunaApplication>();
    sim::BoardDesc m_desc;
    std::unique_ptr<sim::Board> m_sim;
    std::unique_ptr<bmc::Board> m_bmc;
    std::unique_ptr<B> m_board;
};

} // namespace apptest
