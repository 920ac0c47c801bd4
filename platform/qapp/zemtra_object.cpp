#include "platform/qapp/zemtra_object.h"

#include "platform/qapp/zemtra_application.h"
#include "platform/qstd/trace.h"

#include <algorithm>

namespace qapp {

ZemtraObject::ZemtraObject(ZemtraObject* parent, const std::string& name) : m_name(name), m_parent(parent) {}

ZemtraObject::~ZemtraObject()
{
    DeleteChildren();
}

void ZemtraObject::OnRegistryAdd(mci::TreeNodePtr&) {}
void ZemtraObject::OnPreInit() {}
void ZemtraObject::OnPostInit() {}
void ZemtraObject::OnPreConfig() {}
void ZemtraObject::OnPostConfig() {}
void ZemtraObject::OnStartRunning() {}
void ZemtraObject::OnAcceptRequests() {}
void ZemtraObject::OnShutdown() {}
void ZemtraObject::OnQueryChild(ZemtraObject*) {}

std::string ZemtraObject::OnGetName() const
{
    return m_name;
}

ZemtraObject* ZemtraObject::QueryChild(ZemtraObject* child)
{
    if (child == nullptr) {
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& c : m_children) {
            if (c.get() == child) {
                return child;
            }
        }
        child->m_parent = this;
        child->m_adopted = true;
        m_children.emplace_back(child);
    }
    QSTD_TRACE(4, "Adopted " << child->GetName() << " under " << m_name);
    OnQueryChild(child);
    return child;
}

std::vector<ZemtraObject*> ZemtraObject::GetChildren() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<ZemtraObject*> out;
    out.reserve(m_children.size());
    for (const auto& c : m_children) {
        out.push_back(c.get());
    }
    return out;
}

std::string ZemtraObject::GetDecoratedName(const std::string& name) const
{
    std::string prefix;
    for (const ZemtraObject* o = this; o != nullptr && o->m_parent != nullptr; o = o->m_parent) {
        prefix = o->m_name + "." + prefix;
    }
    return prefix + name;
}

void ZemtraObject::SetRegistryFlags(unsigned long long flags)
{
    mci::TreeNodePtr node;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_registryFlags = flags;
        node = m_node;
    }
    if (node) {
        node->OnSetFlags(flags, mci::c_noRelPath);
    }
}

unsigned long long ZemtraObject::GetRegistryFlags() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_registryFlags;
}

mci::TreeNodePtr MakeBranchNode(const std::string& name, unsigned long long flags)
{
    auto node = std::make_shared<mci::TreeNode>(name, flags);
    node->SetNodeStructure(new mci::LocalNodeStructure(node.get()));
    node->Init();
    return node;
}

void ZemtraObject::SetTreeNode(const mci::TreeNodePtr& node)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_node = node;
}

mci::TreeNodePtr ZemtraObject::GetTreeNode()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_node) {
            return m_node;
        }
    }
    mci::TreeNodePtr node;
    if (m_parent == nullptr) {
        node = MakeBranchNode(m_name, GetRegistryFlags());
    } else {
        mci::TreeNodePtr parentNode = m_parent->GetTreeNode();
        // Objects of one name under one parent share one node.
        auto lock = parentNode->Lock();
        node = parentNode->GetChild(m_name);
        if (!node) {
            node = parentNode->Add(MakeBranchNode(m_name, GetRegistryFlags()));
        } else {
            node->OnSetFlags(GetRegistryFlags(), mci::c_noRelPath);
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_node) {
        m_node = node;
    }
    return m_node;
}

int ZemtraObject::GetApplicationState() const
{
    ZemtraApplication* app = ZemtraApplication::InstancePtr();
    return app ? app->GetState() : 0;
}

void ZemtraObject::DeleteChildren()
{
    for (;;) {
        std::unique_ptr<ZemtraObject> last;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_children.empty()) {
                return;
            }
            last = std::move(m_children.back());
            m_children.pop_back();
        }
        last->DeleteChildren();
        last.reset();
    }
}

} // namespace qapp
