#include "gdx/gdx_fa_filter.h"

#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/fpga/fpga_access.h"
#include "platform/qstd/enum_map.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "qreg/reg_reference_enum_bit_node.h"
#include "qreg/register_word.h"

#include <mutex>

template <>
qstd::BiMap<GdxFaFilter::State_e> qstd::EnumMap<GdxFaFilter::State_e>::items = {{GdxFaFilter::enable, "enable"},
                                                                                {GdxFaFilter::disable, "disable"}};

GdxFaFilter::GdxFaFilter(qapp::ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name)
    : qapp::ZemtraFpgaObject(board, block, name), m_block(block)
{
    QSTD_TRACE_FNC();
    Reset();
}

GdxFaFilter::~GdxFaFilter()
{
    QSTD_TRACE_FNC();
}

void GdxFaFilter::WriteSelector(uint32_t value)
{
    std::lock_guard<std::mutex> lock(qreg::RegisterWordLock(m_block + c_selector));
    fpga::Write32(m_block, c_selector, value);
}

void GdxFaFilter::SetLvdsSerializer(uint32_t a_val)
{
    QSTD_ASSERT(a_val <= 0xf);
    m_selector.store(a_val);
    WriteSelector(a_val);
}

void GdxFaFilter::Reset()
{
    WriteSelector(0);
    fpga::Write32(m_block, c_config, 0);
    fpga::Write32(m_block, c_config, m_config);
    WriteSelector(m_selector.load());
}

void GdxFaFilter::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using Node = qreg::RegReferenceEnumBitNode<State_e, volatile unsigned>;
    volatile unsigned& word = *reinterpret_cast<volatile unsigned*>(m_block + c_selector);
    const char* const names[] = {"raf3", "raf4", "raf5", "raf6"};
    for (long long bit = 0; bit < 4; ++bit) {
        node->Add(mci::factory::Create<Node>(names[bit], word, bit, 1ll, c_writable));
    }
}

void GdxFaFilter::OnPostConfig()
{
    QSTD_TRACE_FNC();
}
