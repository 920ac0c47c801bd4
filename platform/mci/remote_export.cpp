#include "platform/mci/remote_export.h"

#include "platform/mci/remote_registry.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"

#include <omniORB4/CORBA.h>

namespace mci {

struct RemoteExport::Orb {
    CORBA::ORB_var orb;
    PortableServer::POA_var insPoa;  // fixed object key for corbaloc addresses
    PortableServer::POA_var rootPoa; // receiver relays
    PortableServer::ObjectId_var registryId;
};

RemoteExport::RemoteExport() = default;

RemoteExport::~RemoteExport()
{
    Stop();
}

void RemoteExport::Start(const TreeNodePtr& root, const std::string& bindAddress, unsigned short port)
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_orb) {
        throw qstd::Exception("Remote export is already running", true);
    }
    const std::string endpoint = "giop:tcp:" + bindAddress + ":" + std::to_string(port);
    auto orb = std::make_unique<Orb>();
    try {
        const char* options[][2] = {{"endPoint", endpoint.c_str()}, {nullptr, nullptr}};
        int argc = 0;
        char* argv[] = {nullptr};
        orb->orb = CORBA::ORB_init(argc, argv, "omniORB4", options);
        CORBA::Object_var obj = orb->orb->resolve_initial_references("omniINSPOA");
        orb->insPoa = PortableServer::POA::_narrow(obj);
        obj = orb->orb->resolve_initial_references("RootPOA");
        orb->rootPoa = PortableServer::POA::_narrow(obj);

        auto* registry = new RemoteRegistry(root, orb->rootPoa.in());
        orb->registryId = PortableServer::string_to_ObjectId(c_objectKey);
        orb->insPoa->activate_object_with_id(orb->registryId, registry);
        // The POA holds the servant from now on.
        registry->_remove_ref();
        m_registry = registry;

        PortableServer::POAManager_var insManager = orb->insPoa->the_POAManager();
        insManager->activate();
        PortableServer::POAManager_var rootManager = orb->rootPoa->the_POAManager();
        rootManager->activate();
    } catch (const CORBA::Exception& e) {
        m_registry = nullptr;
        if (!CORBA::is_nil(orb->orb)) {
            try {
                orb->orb->destroy();
            } catch (const CORBA::Exception&) {
            }
        }
        throw qstd::Exception("Remote export: can't serve on " + endpoint + ": " + e._name(), true);
    }
    m_orb = std::move(orb);
    m_uri = "corbaloc::" + bindAddress + ":" + std::to_string(port) + "/" + c_objectKey;
    qstd::LogInfo("Remote export serving on " + m_uri);
}

void RemoteExport::Stop(std::chrono::steady_clock::duration drainTimeout)
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_orb) {
        return;
    }
    // Keep the servant alive while it drains and closes, whatever the POA does.
    m_registry->_add_ref();
    if (!m_registry->Drain(drainTimeout)) {
        qstd::LogWarning("Remote export: requests still running after the drain time-out");
    }
    m_registry->CloseAll();
    try {
        m_orb->insPoa->deactivate_object(m_orb->registryId);
        // Waits for every call still inside the ORB.
        m_orb->orb->shutdown(true);
        m_orb->orb->destroy();
    } catch (const CORBA::Exception& e) {
        qstd::LogWarning(std::string("Remote export: ORB shutdown failed: ") + e._name());
    }
    m_registry->_remove_ref();
    m_registry = nullptr;
    m_orb.reset();
    m_uri.clear();
    qstd::LogInfo("Remote export stopped");
}

bool RemoteExport::IsRunning() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<bool>(m_orb);
}

std::string RemoteExport::GetUri() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_uri;
}

std::size_t RemoteExport::GetSignalSessionCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_registry ? m_registry->GetSignalSessionCount() : 0;
}

std::size_t RemoteExport::GetSubscriptionCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_registry ? m_registry->GetSubscriptionCount() : 0;
}

std::size_t RemoteExport::GetActiveRequestCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_registry ? m_registry->GetActiveRequestCount() : 0;
}

} // namespace mci
