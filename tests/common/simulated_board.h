#pragma once
// A plain board object over a simulated board of its own, outside a chassis,
// for the tests of objects built over one FPGA block: the board maps the block
// the way its RegisterObject does and the test hands it to the object. Models
// plugged before a block is mapped see the object's accesses.

#include "platform/bmc/board.h"
#include "platform/fpga/fpga_access.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qapp/zemtra_board.h"
#include "sim/board.h"

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zvtest {

class SimulatedBoard {
public:
    // A board object of app over a simulated board of that type, name and
    // slot with the registers set (no defaults); it reports the type too.
    SimulatedBoard(qapp::ZemtraApplication& app, unsigned type, const std::string& name, const std::string& slot,
                   std::vector<sim::RegisterInit> registers = {}, double adcHz = 117440043.0)
        : SimulatedBoard(app, Desc(type, name, slot, std::move(registers)), adcHz, static_cast<bmc::BoardType_e>(type))
    {
    }
    // A board object of app that reports type, over a simulated board as described.
    SimulatedBoard(qapp::ZemtraApplication& app, const sim::BoardDesc& desc, double adcHz, bmc::BoardType_e type)
        : m_sim(desc, adcHz), m_desc(type, desc.name, bmc::Uri("localhost", desc.slot), &m_sim),
          m_board(std::make_unique<qapp::ZemtraBoard>(app, &m_desc))
    {
    }
    // The board object and the objects it adopted go before the simulated board.
    ~SimulatedBoard() { DestroyBoard(); }
    SimulatedBoard(const SimulatedBoard&) = delete;
    SimulatedBoard& operator=(const SimulatedBoard&) = delete;

    qapp::ZemtraBoard& Board() { return *m_board; }
    sim::Board& Sim() { return m_sim; }

    // The block [offset, offset + size) as the board maps it (null when it
    // cannot be mapped).
    volatile FPGAMem_t* Block(size_t offset, size_t size)
    {
        return m_board->MapRegisters(static_cast<int>(offset), static_cast<int>(size));
    }

    // Plugs a model over [offset, offset + size) and returns it.
    template <typename M> M& Plug(size_t offset, size_t size, std::unique_ptr<M> model = std::make_unique<M>())
    {
        M& raw = *model;
        m_sim.PlugRegisters(offset, size, std::move(model));
        return raw;
    }

    // Destroys the board object (and what it adopted) before the rest, for
    // objects whose threads read something the test owns.
    void DestroyBoard() { m_board.reset(); }

private:
    static sim::BoardDesc Desc(unsigned type, const std::string& name, const std::string& slot,
                               std::vector<sim::RegisterInit> registers)
    {
        sim::BoardDesc d;
        d.type = type;
        d.name = name;
        d.slot = slot;
        d.registers = std::move(registers);
        return d;
    }

    sim::Board m_sim;
    bmc::Board m_desc;
    std::unique_ptr<qapp::ZemtraBoard> m_board;
};

} // namespace zvtest
