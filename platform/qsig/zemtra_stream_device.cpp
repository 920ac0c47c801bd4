#include "platform/qsig/zemtra_stream_device.h"

#include "sim/stream_device.h"

#include <map>
#include <memory>
#include <mutex>

namespace qsig {

namespace {

struct OpenDevice {
    std::shared_ptr<sim::StreamDevice> device;
    unsigned atomSize = 0;
    unsigned groupSize = 0;
};

struct DescriptorTable {
    std::mutex mutex;
    std::map<int, OpenDevice> open;
    int next = 3;
};

DescriptorTable& Table()
{
    static DescriptorTable table;
    return table;
}

std::shared_ptr<sim::StreamDevice> Lookup(int descriptor)
{
    DescriptorTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.open.find(descriptor);
    return it == table.open.end() ? nullptr : it->second.device;
}

} // namespace

int OpenZemtraStreamDevice(const std::string& path, unsigned atomSize, unsigned groupSize)
{
    std::shared_ptr<sim::StreamDevice> device = sim::StreamDevice::Find(path);
    if (!device) {
        return -1;
    }
    device->Open(static_cast<std::size_t>(atomSize) * groupSize);
    DescriptorTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    const int descriptor = table.next++;
    table.open[descriptor] = OpenDevice{device, atomSize, groupSize};
    return descriptor;
}

SuccessCode_e ZemtraStreamRead(int descriptor, void* storage, std::size_t bytes, unsigned atomSize, unsigned& count)
{
    uint64_t dropped = 0;
    return ZemtraStreamRead(descriptor, storage, bytes, atomSize, count, dropped);
}

SuccessCode_e ZemtraStreamRead(int descriptor, void* storage, std::size_t bytes, unsigned atomSize, unsigned& count,
                               uint64_t& dropped)
{
    count = 0;
    dropped = 0;
    if (bytes == 0 || atomSize == 0) {
        return eBadRequest;
    }
    std::shared_ptr<sim::StreamDevice> device = Lookup(descriptor);
    if (!device) {
        return eBadRequest;
    }
    std::size_t got = 0;
    uint64_t droppedBytes = 0;
    if (device->Read(storage, bytes, atomSize, got, droppedBytes) == sim::StreamDevice::c_readOk) {
        count = static_cast<unsigned>(got / atomSize);
        dropped = droppedBytes / atomSize;
        return eSuccess;
    }
    // Woken by a close: our own close removed the descriptor first.
    return Lookup(descriptor) ? eNotOpen : eSuccess;
}

int CloseZemtraStreamDevice(int descriptor)
{
    std::shared_ptr<sim::StreamDevice> device;
    {
        DescriptorTable& table = Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.open.find(descriptor);
        if (it == table.open.end()) {
            return -1;
        }
        device = it->second.device;
        table.open.erase(it);
    }
    device->Close();
    return 0;
}

int GetZemtraDeviceStatistics(int descriptor, unsigned atomSize, SignalStats& rows)
{
    std::shared_ptr<sim::StreamDevice> device = Lookup(descriptor);
    if (!device || atomSize == 0) {
        return -1;
    }
    rows.push_back(
        SignalStatItem{device->Path(), device->BytesRead() / atomSize, device->BytesDropped() / atomSize, atomSize});
    return 0;
}

} // namespace qsig
