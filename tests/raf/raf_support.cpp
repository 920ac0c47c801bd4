#include "raf_support.h"

#include "platform/qapp/zemtra_object.h"

namespace apptest {
template <>
RafBoard* BoardFixture<RafBoard>::MakeBoard()
{
    return new RafBoard(*m_app, m_bmc.get());
}
} // namespace apptest

namespace raftest {

mci::ClientAccess RafFixture::Tree(const std::string& object)
{
    RafBoard& board = m_built ? Board() : Build();
    m_built = true;
    for (qapp::ZemtraObject* child : board.GetChildren()) {
        if (child->GetName() == object) {
            mci::TreeNodePtr node = qapp::MakeBranchNode(object, child->GetRegistryFlags());
            child->OnRegistryAdd(node);
            return mci::ClientAccess(node);
        }
    }
    throw std::runtime_error("no object " + object);
}

} // namespace raftest
