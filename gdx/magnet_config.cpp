#include "gdx/magnet_config.h"

#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/qstd/enum_map.h"
#include "platform/qstd/trace.h"
#include "qreg/expr.h"
#include "qreg/reg_reference_bit_node.h"
#include "qreg/reg_reference_enum_bit_node.h"

template <>
qstd::BiMap<SourceSelector_e> qstd::EnumMap<SourceSelector_e>::items = {
    {eSourceOff, "off"},
    {eSourceFofb, "fofb"},
    {eSourceManual, "manual"},
};

namespace {

constexpr long long c_id_bits = 8;
constexpr long long c_source_bits = 3;
// Value word: bits 15..0 the manual value, 31..16 the feedback's, both signed.
constexpr long long c_value_bits = 16;
constexpr long long c_manual_pos = 0;
constexpr long long c_fofb_pos = 16;

} // namespace

MagnetConfig::MagnetConfig(const std::string& name, volatile uint64_t& value, volatile uint32_t& idWord,
                           const unsigned& idPos, volatile uint32_t& enableWord, const unsigned& enablePos,
                           volatile uint32_t& sourceWord, const unsigned& sourcePos)
    : m_name(name), m_value(value), m_id_word(idWord), m_id_pos(idPos), m_enable_word(enableWord),
      m_enable_pos(enablePos), m_source_word(sourceWord), m_source_pos(sourcePos)
{
}

void MagnetConfig::DefineRegistry(mci::TreeNodePtr& parent)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using Word = volatile uint32_t;
    using Value = volatile uint64_t;
    mci::TreeNodePtr branch = mci::factory::Create<mci::LocalNodeStructure, qreg::RegNode>(m_name, c_branch);
    parent->Add(branch);
    branch->Add(mci::factory::Create<qreg::RegReferenceBitNode<unsigned, Word>>("id", m_id_word, m_id_pos, c_id_bits,
                                                                                c_setting));
    branch->Add(mci::factory::Create<qreg::RegReferenceBitNode<bool, Word>>("enable", m_enable_word, m_enable_pos, 1ll,
                                                                            c_writable));
    branch->Add(mci::factory::Create<qreg::RegReferenceEnumBitNode<SourceSelector_e, Word>>(
        "output_value", m_source_word, m_source_pos, c_source_bits, c_readOnly));
    mci::TreeNodePtr values = mci::factory::Create<qreg::RegNode>("values", c_branch);
    branch->Add(values);
    values->Add(mci::factory::Create<qreg::RegReferenceBitNode<int, Value>>(
        qreg::Expr<qreg::expr::Range<int, int>>(-32768, 32767), "manual", m_value, c_manual_pos, c_value_bits,
        c_writable));
    values->Add(mci::factory::Create<qreg::RegReferenceBitNode<int, Value>>("fofb", m_value, c_fofb_pos, c_value_bits,
                                                                            c_readOnly));
}
