#include "platform/qsig/random_access_zemtra.h"

#include "platform/qstd/exception.h"

#include <mutex>

namespace qsig {

namespace {

std::shared_ptr<sim::HistoryMemory> OpenDevice(const std::string& device)
{
    // Serialises find-or-create so two buffers of one device share a memory.
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    auto memory = sim::HistoryMemory::Find(device);
    if (!memory) {
        memory = std::make_shared<sim::HistoryMemory>(RandomAccessZemtra::c_defaultByteSize);
        sim::HistoryMemory::Register(device, memory);
    }
    return memory;
}

} // namespace

RandomAccessZemtra::RandomAccessZemtra(const std::string& device, const std::string& name)
    : m_name(device.empty() ? device : name), m_memory(OpenDevice(device.empty() ? name : device))
{
}

RandomAccessZemtra::RandomAccessZemtra(std::shared_ptr<sim::HistoryMemory> memory, const std::string& name)
    : m_name(name), m_memory(std::move(memory))
{
    if (!m_memory) {
        throw qstd::Exception("RandomAccessZemtra: no history memory");
    }
}

size_t RandomAccessZemtra::GetByteSize() const
{
    return m_memory->ByteSize();
}

bool RandomAccessZemtra::Open()
{
    return !m_open.exchange(true);
}

bool RandomAccessZemtra::Close()
{
    return m_open.exchange(false);
}

size_t RandomAccessZemtra::Read(void* destination, size_t bytes, size_t byteOffset, RequestPriorityLevel_e)
{
    // The priority orders requests on the real device; the memory serves
    // every request at once.
    return m_memory->Read(destination, bytes, byteOffset);
}

} // namespace qsig
