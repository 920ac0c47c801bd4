#include "platform/fpga/fpga_access.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// A data port at offset 8 that returns a running count, and a status word at
// offset 12 whose written bits clear themselves.
class PortModel : public fpga::RegisterModel {
public:
    bool Read32(size_t offset, uint32_t& value) override
    {
        if (offset == 8) {
            value = m_count++;
            return true;
        }
        return false;
    }
    bool Write32(size_t offset, uint32_t value) override
    {
        if (offset == 12) {
            m_lastCommand = value;
            return true; // nothing is stored: the bits clear themselves
        }
        return false;
    }
    uint32_t m_count = 100;
    uint32_t m_lastCommand = 0;
};

TEST(FpgaAccess, PlainWordsAndSixtyFourBitHalves)
{
    alignas(8) FPGAMem_t mem[32] = {};
    fpga::Write32(mem, 4, 0xA5A5A5A5u);
    EXPECT_EQ(fpga::Read32(mem, 4), 0xA5A5A5A5u);
    fpga::Write64(mem, 16, 0x0123456789ABCDEFull);
    // Low half first, at the lower address.
    EXPECT_EQ(fpga::Read32(mem, 16), 0x89ABCDEFu);
    EXPECT_EQ(fpga::Read32(mem, 20), 0x01234567u);
    EXPECT_EQ(fpga::Read64(mem, 16), 0x0123456789ABCDEFull);
}

TEST(FpgaAccess, ModelledRegistersDifferFromMemoryOnlyWhileRegistered)
{
    alignas(8) FPGAMem_t mem[32] = {};
    PortModel model;
    fpga::RegisterRegion(mem, sizeof mem, &model);
    EXPECT_EQ(fpga::Read32(mem, 8), 100u);
    EXPECT_EQ(fpga::Read32(mem, 8), 101u);
    fpga::Write32(mem, 12, 0x3);
    EXPECT_EQ(model.m_lastCommand, 3u);
    EXPECT_EQ(fpga::Read32(mem, 12), 0u);
    // Unmodelled offsets are plain memory.
    fpga::Write32(mem, 0, 7);
    EXPECT_EQ(fpga::Read32(mem, 0), 7u);
    fpga::UnregisterRegion(mem);
    EXPECT_EQ(fpga::Read32(mem, 8), 0u);
}

TEST(FpgaAccess, AddressesOutsideEveryRegionArePlain)
{
    alignas(8) FPGAMem_t modelled[16] = {};
    alignas(8) FPGAMem_t other[16] = {};
    PortModel model;
    fpga::RegisterRegion(modelled, sizeof modelled, &model);
    fpga::Write32(other, 8, 55);
    EXPECT_EQ(fpga::Read32(other, 8), 55u);
    fpga::UnregisterRegion(modelled);
}

TEST(FpgaAccessConcurrency, RegistrationWhileOtherThreadsAccess)
{
    alignas(8) FPGAMem_t mem[64] = {};
    std::atomic<bool> stop{false};
    uint32_t accesses = 0;
    std::thread reader([&] {
        alignas(8) FPGAMem_t own[8] = {};
        do {
            fpga::Write32(own, 0, fpga::Read32(own, 0) + 1);
        } while (!stop.load());
        accesses = fpga::Read32(own, 0);
    });
    class Silent : public fpga::RegisterModel {
        bool Read32(size_t, uint32_t&) override { return false; }
        bool Write32(size_t, uint32_t) override { return false; }
    } model;
    for (int i = 0; i < 200; ++i) {
        fpga::RegisterRegion(mem, sizeof mem, &model);
        fpga::UnregisterRegion(mem);
    }
    stop = true;
    reader.join();
    // Every increment of the other thread's word survived the registrations.
    EXPECT_GT(accesses, 0u);
    fpga::Write32(mem, 0, 9);
    EXPECT_EQ(fpga::Read32(mem, 0), 9u);
}

} // namespace
