#include "gdx/gdx_feature.h"

#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/fpga/fpga_access.h"
#include "platform/qstd/enum_map.h"
#include "platform/qstd/trace.h"
#include "qreg/reg_reference_enum_bit_node.h"

template <>
qstd::BiMap<eGDXUserblockType_e> qstd::EnumMap<eGDXUserblockType_e>::items = {
    {eUbAlpha, "alpha"}, {eUbTest, "test"}, {eUbBeta, "beta"}, {eUbGamma, "gamma"}, {eUbDelta, "delta"}};

GdxFeature::GdxFeature(qapp::ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name)
    : qapp::ZemtraFpgaObject(board, block, name), m_block(block)
{
    QSTD_TRACE_FNC();
}

GdxFeature::~GdxFeature()
{
    QSTD_TRACE_FNC();
}

eGDXUserblockType_e GdxFeature::GetUserblock() const
{
    return static_cast<eGDXUserblockType_e>(fpga::Read32(m_block, 0) & ((1u << c_feature_bits) - 1));
}

void GdxFeature::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using Node = qreg::RegReferenceEnumBitNode<eGDXUserblockType_e, volatile unsigned>;
    volatile unsigned& word = *reinterpret_cast<volatile unsigned*>(m_block);
    node->Add(mci::factory::Create<Node>("userblock", word, 0ll, static_cast<long long>(c_feature_bits), c_readOnly));
}
