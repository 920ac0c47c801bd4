#include "raf_support.h"

#include "platform/qapp/zemtra_object.h"

namespace apptest {
template <> RafBoard* BoardFixture<RafBoard>::MakeBoard()
{
    return new RafBoard(*m_app, m_bmc.get());
}
} // namespace apptest

namespace raftest {

std::string Refusal(mci::ClientAccess& client, const std::string& path, long long value)
{
    try {
        client.SetInteger(path, value);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "taken";
}

WriteRecorder::WriteRecorder(volatile FPGAMem_t* begin, size_t size) : m_begin(begin)
{
    fpga::RegisterRegion(begin, size, this);
}

WriteRecorder::~WriteRecorder()
{
    fpga::UnregisterRegion(m_begin);
}

bool WriteRecorder::Write32(size_t offset, uint32_t value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_writes.emplace_back(offset, value);
    return false;
}

std::vector<std::pair<size_t, uint32_t>> WriteRecorder::Writes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_writes;
}

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
