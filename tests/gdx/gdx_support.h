#pragma once
// A simulated GDX board of a given userblock with the framework's board
// object over it, for the feedback-board objects, which are built on it the
// way the GDX board builds them; its models are reached by their offsets.

#include "platform/mci/client_access.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qapp/zemtra_board.h"
#include "platform/qsig/zemtra_event_stream.h"
#include "sim/board.h"
#include "tests/common/simulated_board.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace gdxtest {

class GdxFixture {
public:
    explicit GdxFixture(unsigned userblock, std::vector<sim::RegisterInit> registers = {})
        : m_app("gdx-test", false, false), m_gdx(m_app, sim::c_typeGdx, "gdx", "7", WithUserblock(userblock, registers))
    {
    }
    // The objects (and their threads) go before the event stream they read.
    ~GdxFixture()
    {
        m_nodes.clear();
        m_gdx.DestroyBoard();
        m_events.reset();
    }

    qapp::ZemtraBoard& Board() { return m_gdx.Board(); }
    sim::Board& Sim() { return m_gdx.Sim(); }
    volatile FPGAMem_t* Block(size_t offset, size_t size) { return m_gdx.Block(offset, size); }

    template <typename M> M& Model(size_t offset)
    {
        auto* model = dynamic_cast<M*>(Sim().ModelAt(offset));
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
            m_events = std::make_unique<qsig::ZemtraEventStream>("gdx.event", Sim().DeviceName(2, 0), true, "gdx");
        }
        return *m_events;
    }

private:
    // The userblock type word, then the registers given.
    static std::vector<sim::RegisterInit> WithUserblock(unsigned userblock, const std::vector<sim::RegisterInit>& more)
    {
        std::vector<sim::RegisterInit> registers = {{0xF80000, userblock, 32}};
        registers.insert(registers.end(), more.begin(), more.end());
        return registers;
    }

    qapp::ZemtraApplication m_app;
    zvtest::SimulatedBoard m_gdx;
    std::unique_ptr<qsig::ZemtraEventStream> m_events;
    std::vector<mci::TreeNodePtr> m_nodes;
};

} // namespace gdxtest
