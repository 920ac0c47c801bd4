#pragma once
// A simulated GDX board of a given userblock with the framework's board
// object over it, for the feedback-board objects, which are built on it the
// way the GDX board builds them; its models are reached by their offsets.

#include "platform/bmc/board.h"
#include "platform/mci/client_access.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qapp/zemtra_board.h"
#include "platform/qsig/zemtra_event_stream.h"
#include "sim/board.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace gdxtest {

class GdxFixture {
public:
    explicit GdxFixture(unsigned userblock, std::vector<sim::RegisterInit> registers = {})
        : m_app("gdx-test", false, false)
    {
        sim::BoardDesc d;
        d.type = sim::c_typeGdx;
        d.name = "gdx";
        d.slot = "7";
        d.registers = {{0xF80000, userblock, 32}};
        d.registers.insert(d.registers.end(), registers.begin(), registers.end());
        m_sim = std::make_unique<sim::Board>(d, 117440043.0);
        m_desc = std::make_unique<bmc::Board>(bmc::eBoardGdx, "gdx", bmc::Uri("localhost", "7"), m_sim.get());
        m_board = std::make_unique<qapp::ZemtraBoard>(m_app, m_desc.get());
    }
    // The objects (and their threads) go before the event stream they read.
    ~GdxFixture()
    {
        m_nodes.clear();
        m_board.reset();
        m_events.reset();
    }

    qapp::ZemtraBoard& Board() { return *m_board; }
    sim::Board& Sim() { return *m_sim; }
    volatile FPGAMem_t* Block(size_t offset, size_t size) { return m_board->MapRegisters(offset, size); }

    template <typename M> M& Model(size_t offset)
    {
        auto* model = dynamic_cast<M*>(m_sim->ModelAt(offset));
        if (model == nullptr) {
            throw std::logic_error("no model of that kind at the offset");
        }
        return *model;
    }

    // The object's register tree under a node of its own, as a client sees it.
    mci::ClientAccess Tree(qapp::ZemtraObject& object)
    {
        mci::TreeNodePtr node = qapp::MakeBranchNode(object.GetName(), 0);
        object.OnRegistryAdd(node);
        m_nodes.push_back(node);
        return mci::ClientAccess(node);
    }

    // An event stream over the board's event device (made on first use).
    qsig::ZemtraEventStream& Events()
    {
        if (!m_events) {
            m_events = std::make_unique<qsig::ZemtraEventStream>("gdx.event", m_sim->DeviceName(2, 0), true, "gdx");
        }
        return *m_events;
    }

private:
    qapp::ZemtraApplication m_app;
    std::unique_ptr<sim::Board> m_sim;
    std::unique_ptr<bmc::Board> m_desc;
    std::unique_ptr<qapp::ZemtraBoard> m_board;
    std::unique_ptr<qsig::ZemtraEventStream> m_events;
    std::vector<mci::TreeNodePtr> m_nodes;
};

} // namespace gdxtest
