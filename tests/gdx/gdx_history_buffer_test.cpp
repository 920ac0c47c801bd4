// GDX history buffer: memory detection, geometry and capacity, the check
// against the SPD EEPROM and the arming on the next event.
#include "gdx/gdx_history_buffer.h"

#include "platform/fpga/fpga_access.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qstd/capture.h"
#include "platform/qstd/exception.h"
#include "tests/common/simulated_board.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

// Column 10, row 14, bank 3, rank 1, width factor 2: 2048 MiB.
constexpr uint64_t c_geometry = 0x27EA;

class ControlLog : public fpga::RegisterModel {
public:
    bool Read32(size_t offset, uint32_t& value) override
    {
        value = m_words[offset / 4];
        return true;
    }
    bool Write32(size_t offset, uint32_t value) override
    {
        m_words[offset / 4] = value;
        if (offset == tGdxHB::c_control + 4) {
            m_controls.push_back((static_cast<uint64_t>(value) << 32) | m_words[tGdxHB::c_control / 4]);
        }
        return true;
    }
    std::vector<uint64_t> m_controls;

private:
    uint32_t m_words[tGdxHB::c_size / 4] = {};
};

class GdxHbFixture : public ::testing::Test {
protected:
    void Fit(uint64_t geometry, uint64_t info1 = 1, uint64_t info2 = 1)
    {
        fpga::Write64(m_block->bytes, tGdxHB::c_ram_info, geometry);
        fpga::Write64(m_block->bytes, tGdxHB::c_ram_info1, info1);
        fpga::Write64(m_block->bytes, tGdxHB::c_ram_info2, info2);
        m_log->m_controls.clear();
    }

    std::unique_ptr<GdxHistoryBuffer> Make()
    {
        return std::make_unique<GdxHistoryBuffer>(*m_board, m_block, "gdx_history_buf");
    }

    static qapp::tRamCtrlPar Spd(unsigned capacity, unsigned rank, unsigned bank, unsigned row, unsigned col)
    {
        qapp::tRamCtrlPar p;
        p.capacity = capacity;
        p.widthFactor = 2;
        p.rankWidth = rank;
        p.bankWidth = bank;
        p.rowWidth = row;
        p.colWidth = col;
        return p;
    }

    qapp::ZemtraApplication m_app{"gdx-hb-test", false, false};
    zvtest::SimulatedBoard m_gdx{m_app, sim::c_typeGdx, "gdx", "7", {}, 1e6};
    ControlLog* m_log = &m_gdx.Plug<ControlLog>(0x400000, tGdxHB::c_size);
    qapp::ZemtraBoard* m_board = &m_gdx.Board();
    volatile tGdxHB* m_block = reinterpret_cast<volatile tGdxHB*>(m_gdx.Block(0x400000, tGdxHB::c_size));
};

TEST_F(GdxHbFixture, DecodesGeometryAndCapacity)
{
    Fit(c_geometry);
    auto hb = Make();
    EXPECT_TRUE(hb->IsMemoryPresent());
    EXPECT_EQ(10u, hb->GetColumnWidth());
    EXPECT_EQ(14u, hb->GetRowWidth());
    EXPECT_EQ(3u, hb->GetBankWidth());
    EXPECT_EQ(1u, hb->GetRankWidth());
    EXPECT_EQ(2u, hb->GetWidthFactor());
    EXPECT_EQ(2048u, hb->GetCapacity());

    // Rank width 0 gives no capacity; bits above 13 are not part of the fields.
    Fit((c_geometry & ~0xC00ull) | 0xFFFF0000ull);
    auto noRank = Make();
    EXPECT_EQ(0u, noRank->GetRankWidth());
    EXPECT_EQ(0u, noRank->GetCapacity());
    EXPECT_EQ(2u, noRank->GetWidthFactor());
}

TEST_F(GdxHbFixture, MemoryCountsAsFittedOnlyWithAllThreeWords)
{
    Fit(c_geometry, 1, 0);
    auto hb = Make();
    EXPECT_FALSE(hb->IsMemoryPresent());
    EXPECT_FALSE(hb->DetectIsEnabled());
    // Whatever the SPD says, a board without memory passes the check.
    EXPECT_TRUE(hb->RamParMatchingCheck(Spd(1, 2, 1, 1, 1)));
    // And the buffer is not armed.
    hb->StartDodOnEvent();
    EXPECT_TRUE(m_log->m_controls.empty());

    Fit(0, 1, 1);
    EXPECT_FALSE(Make()->IsMemoryPresent());
}

TEST_F(GdxHbFixture, ChecksFiveFieldsAgainstTheSpd)
{
    Fit(c_geometry);
    auto hb = Make();
    qstd::CaptureScope capture(false, true, 1);
    EXPECT_TRUE(hb->RamParMatchingCheck(Spd(2048, 1, 3, 14, 10)));
    EXPECT_TRUE(capture.Sink().Records().empty());

    // The width factor is not compared.
    qapp::tRamCtrlPar other = Spd(2048, 1, 3, 14, 10);
    other.widthFactor = 7;
    EXPECT_TRUE(hb->RamParMatchingCheck(other));

    // Two mismatches: two traces, own value first, no blanks around "!=".
    EXPECT_FALSE(hb->RamParMatchingCheck(Spd(4096, 1, 3, 13, 10)));
    EXPECT_TRUE(capture.Traced("Memory ctrl. par. mismatch: Capacity 2048!=4096"));
    EXPECT_TRUE(capture.Traced("Memory ctrl. par. mismatch: RowWidth 14!=13"));
    EXPECT_FALSE(capture.TracedSubstring("RankWidth"));
    EXPECT_FALSE(hb->RamParMatchingCheck(Spd(2048, 2, 2, 14, 11)));
    EXPECT_TRUE(capture.Traced("Memory ctrl. par. mismatch: RankWidth 1!=2"));
    EXPECT_TRUE(capture.Traced("Memory ctrl. par. mismatch: BankWidth 3!=2"));
    EXPECT_TRUE(capture.Traced("Memory ctrl. par. mismatch: ColumnWidth 10!=11"));
}

TEST_F(GdxHbFixture, ArmsOnTheNextEventWithExactlyTwoWrites)
{
    Fit(c_geometry);
    auto hb = Make();
    hb->StartDodOnEvent();
    EXPECT_EQ((std::vector<uint64_t>{2, 4}), m_log->m_controls);
    ASSERT_EQ(1u, hb->GetControls().size());
    EXPECT_EQ(static_cast<volatile void*>(m_block->bytes + 0xA0), hb->GetControls()[0].word);
    EXPECT_EQ(qfeature::HistoryBuffer::eStartOnEvent, hb->GetControls()[0].start);
}

TEST_F(GdxHbFixture, RefusesAMissingBlock)
{
    try {
        GdxHistoryBuffer hb(*m_board, nullptr, "gdx_history_buf");
        FAIL() << "no exception";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("Failure while mapping to FPGA memory registers", e.what());
    }
}

} // namespace
