// The post-mortem trigger of the simulated RAF board's machine-protection
// region: a beam that leaves the post-mortem window raises one event per
// departure.

#include "sim/raf_interlock_model.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Model = sim::RafInterlockModel;

// Writes a 64-bit register as the software does, a 32-bit word at a time.
void Write(Model& model, size_t offset, int64_t value)
{
    model.Write32(offset, static_cast<uint32_t>(value));
    model.Write32(offset + 4, static_cast<uint32_t>(static_cast<uint64_t>(value) >> 32));
}

// The window's right edge moved left of the beam raises a post-mortem event
// at the next sample; moved back and left again, the beam leaves it anew
// and raises another, however few samples the model saw in between (it sees
// one every 150 ms without readers, the software writes within
// milliseconds; the FPGA sees every turn).
TEST(SimRafInterlockModel, EachDepartureFromThePostMortemWindowRaisesAnEvent)
{
    std::vector<FPGAMem_t> region(Model::c_size, 0);
    std::vector<uint64_t> raised;
    Model model(region.data(), [&](uint64_t id, uint64_t, uint64_t) { raised.push_back(id); });
    Write(model, Model::c_pmXMin, -1000000);
    Write(model, Model::c_pmYMin, -1000000);
    Write(model, Model::c_pmYMax, 1000000);
    Write(model, Model::c_pmSource, Model::c_pmLimits);
    const sim::BeamSample onAxis{};
    Write(model, Model::c_pmXMax, 1000000);
    model.Evaluate(onAxis, 1);
    uint64_t lmt = 2;
    size_t events = 0;
    // Samples taken inside between the window's restore and its next move.
    for (const int samplesBetween : {1, 0, 0, 2}) {
        SCOPED_TRACE(samplesBetween);
        Write(model, Model::c_pmXMax, -1000);
        model.Evaluate(onAxis, lmt++);
        EXPECT_EQ(++events, raised.size());
        model.Evaluate(onAxis, lmt++); // still outside: no new event
        EXPECT_EQ(events, raised.size());
        Write(model, Model::c_pmXMax, 1000000);
        for (int i = 0; i < samplesBetween; ++i) {
            model.Evaluate(onAxis, lmt++);
        }
        EXPECT_EQ(events, raised.size());
    }
    for (const uint64_t id : raised) {
        EXPECT_EQ(Model::c_eventPostMortem, id);
    }
}

} // namespace
