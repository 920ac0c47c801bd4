// Commands of the RAF history buffer on its control words.
#include "acquisition/history_buffer.h"

#include "platform/fpga/fpga_access.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qstd/exception.h"
#include "tests/common/simulated_board.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

// Records every 64-bit control word write of the block (as pairs of halves).
class WriteLog : public fpga::RegisterModel {
public:
    bool Read32(size_t offset, uint32_t& value) override
    {
        value = m_words[offset / 4];
        return true;
    }
    bool Write32(size_t offset, uint32_t value) override
    {
        m_words[offset / 4] = value;
        if (offset % 8 == 4) {
            m_writes.push_back({offset - 4, (static_cast<uint64_t>(value) << 32) | m_words[(offset - 4) / 4]});
        }
        return true;
    }
    struct Write {
        size_t offset;
        uint64_t value;
        bool operator==(const Write& o) const { return offset == o.offset && value == o.value; }
    };
    std::vector<Write> m_writes;

private:
    uint32_t m_words[tHB::c_size / 4] = {};
};

class HbFixture : public ::testing::Test {
protected:
    qapp::ZemtraApplication m_app{"hb-test", false, false};
    zvtest::SimulatedBoard m_raf{m_app, sim::c_typeRaf, "raf3", "3", {}, 1e6};
    WriteLog* m_log = &m_raf.Plug<WriteLog>(0x400000, tHB::c_size);
    qapp::ZemtraBoard* m_board = &m_raf.Board();
    volatile tHB* m_block = reinterpret_cast<volatile tHB*>(m_raf.Block(0x400000, tHB::c_size));
};

using W = WriteLog::Write;

TEST_F(HbFixture, AdcStartsAtOnceAfterAStop)
{
    HistoryBuffer hb(*m_board, m_block, "hb");
    hb.StartAdcImmediately();
    EXPECT_EQ((std::vector<W>{{0xA0, 2}, {0xA0, 1}}), m_log->m_writes);
    hb.StopAdc();
    EXPECT_EQ((W{0xA0, 2}), m_log->m_writes.back());
    EXPECT_EQ(3u, m_log->m_writes.size());
}

TEST_F(HbFixture, TbtWordsAreArmedForTheNextEvent)
{
    HistoryBuffer hb(*m_board, m_block, "hb");
    hb.StartTbtOnEvent();
    EXPECT_EQ((std::vector<W>{{0xC0, 2}, {0xC0, 4}, {0xE0, 2}, {0xE0, 4}}), m_log->m_writes);
    EXPECT_EQ(4u, fpga::Read64(m_block->bytes, tHB::c_tbt1_control));
    EXPECT_EQ(4u, fpga::Read64(m_block->bytes, tHB::c_tbt2_control));
}

TEST_F(HbFixture, HandsItsThreeControlWordsToTheFramework)
{
    HistoryBuffer hb(*m_board, m_block, "hb");
    const auto& controls = hb.GetControls();
    ASSERT_EQ(3u, controls.size());
    EXPECT_EQ(static_cast<volatile void*>(m_block->bytes + 0xA0), controls[0].word);
    EXPECT_EQ(qfeature::HistoryBuffer::eStartImmediately, controls[0].start);
    EXPECT_EQ(static_cast<volatile void*>(m_block->bytes + 0xC0), controls[1].word);
    EXPECT_EQ(qfeature::HistoryBuffer::eStartOnEvent, controls[1].start);
    EXPECT_EQ(static_cast<volatile void*>(m_block->bytes + 0xE0), controls[2].word);
    EXPECT_EQ(qfeature::HistoryBuffer::eStartOnEvent, controls[2].start);
}

TEST_F(HbFixture, RefusesAMissingBlock)
{
    try {
        HistoryBuffer hb(*m_board, nullptr, "hb");
        FAIL() << "no exception";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("Failure while mapping to FPGA memory registers", e.what());
    }
}

} // namespace
