#include "platform/fpga/fpga_access.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace fpga {

namespace detail {
std::atomic<int> g_regions{0};
} // namespace detail

namespace {

struct Region {
    uintptr_t begin;
    uintptr_t end;
    RegisterModel* model;
};

std::shared_mutex& RegionMutex()
{
    static std::shared_mutex m;
    return m;
}

std::vector<Region>& Regions()
{
    static std::vector<Region> regions;
    return regions;
}

RegisterModel* Find(uintptr_t address, size_t& offset)
{
    for (const auto& r : Regions()) {
        if (address >= r.begin && address < r.end) {
            offset = address - r.begin;
            return r.model;
        }
    }
    return nullptr;
}

} // namespace

void RegisterRegion(volatile void* begin, size_t size, RegisterModel* model)
{
    std::unique_lock<std::shared_mutex> lock(RegionMutex());
    const auto b = reinterpret_cast<uintptr_t>(begin);
    Regions().push_back(Region{b, b + size, model});
    detail::g_regions.store(static_cast<int>(Regions().size()), std::memory_order_release);
}

void UnregisterRegion(volatile void* begin)
{
    std::unique_lock<std::shared_mutex> lock(RegionMutex());
    const auto b = reinterpret_cast<uintptr_t>(begin);
    auto& regions = Regions();
    regions.erase(std::remove_if(regions.begin(), regions.end(), [b](const Region& r) { return r.begin == b; }),
                  regions.end());
    detail::g_regions.store(static_cast<int>(regions.size()), std::memory_order_release);
}

namespace detail {

bool HookRead32(const volatile void* address, uint32_t& value)
{
    std::shared_lock<std::shared_mutex> lock(RegionMutex());
    size_t offset = 0;
    RegisterModel* model = Find(reinterpret_cast<uintptr_t>(address), offset);
    return model && model->Read32(offset, value);
}

bool HookWrite32(volatile void* address, uint32_t value)
{
    std::shared_lock<std::shared_mutex> lock(RegionMutex());
    size_t offset = 0;
    RegisterModel* model = Find(reinterpret_cast<uintptr_t>(address), offset);
    return model && model->Write32(offset, value);
}

} // namespace detail

} // namespace fpga
