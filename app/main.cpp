// Entry point of the zemtra-vuna application server.
#include "app/vuna_application.h"
#include "platform/remote/remote_memory.h"

#include <memory>

int main(int argc, char** argv)
{
    // Before any thread starts: the allocator's arenas are bounded only then.
    remote::RemoteMemory::BoundAllocatorCaches();
    auto application = std::make_shared<VunaApplication>();
    return application->Run(argc, argv) ? 0 : 1;
}
