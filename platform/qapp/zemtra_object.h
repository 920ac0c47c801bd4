#pragma once
// Base of every object of the framework: a name, a tree node in the register
// tree, a parent and the children it owns, and the hooks through which the
// framework drives it from start-up to shutdown.

#include "platform/mci/tree_node.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qapp {

class ZemtraApplication;

class ZemtraObject {
public:
    // Tree-node flags of an object that gives none.
    static constexpr unsigned long long c_defaultRegistryFlags = 0;

    // parent may be null (the application, a board before its adoption).
    ZemtraObject(ZemtraObject* parent, const std::string& name);
    virtual ~ZemtraObject();
    ZemtraObject(const ZemtraObject&) = delete;
    ZemtraObject& operator=(const ZemtraObject&) = delete;

    // Object hooks, called by the framework in the order of the run loop;
    // they do nothing unless a class overrides them.
    virtual void OnRegistryAdd(mci::TreeNodePtr& node);
    virtual void OnPreInit();
    virtual void OnPostInit();
    virtual void OnPreConfig();
    virtual void OnPostConfig();
    virtual void OnStartRunning();
    virtual void OnAcceptRequests();
    virtual void OnShutdown();
    // Called when a child has been adopted.
    virtual void OnQueryChild(ZemtraObject* child);
    // The name the object reports; its construction name by default.
    virtual std::string OnGetName() const;

    // Adopts a new object: from now on this object owns and destroys it.
    // Returns the child. A null child is ignored.
    ZemtraObject* QueryChild(ZemtraObject* child);

    const std::string& GetName() const { return m_name; }
    ZemtraObject* GetParent() const { return m_parent; }
    // Adopted children in the order of adoption.
    std::vector<ZemtraObject*> GetChildren() const;
    bool IsAdopted() const { return m_adopted; }

    // The name made unique for this object: the names of the object's
    // ancestors below the application and its own, then the given name,
    // joined by '.' ("raf3.event"; the application gives the name unchanged).
    std::string GetDecoratedName(const std::string& name) const;

    // Flags of the object's tree node (applied when the node is made, ORed in
    // afterwards).
    void SetRegistryFlags(unsigned long long flags);
    unsigned long long GetRegistryFlags() const;

    // The object's tree node: a child named after the object under the
    // parent's node; objects of one name under one parent share it. Made on
    // first use (the root is the application's node).
    mci::TreeNodePtr GetTreeNode();

    // State of the running application (0 when there is none).
    int GetApplicationState() const;

    // Destroys the children, last adopted first, each after its own children.
    void DeleteChildren();

protected:
    // The application's root node is made by the application itself.
    void SetTreeNode(const mci::TreeNodePtr& node);

private:
    std::string m_name;
    ZemtraObject* m_parent;
    bool m_adopted = false;
    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<ZemtraObject>> m_children;
    unsigned long long m_registryFlags = c_defaultRegistryFlags;
    mci::TreeNodePtr m_node;
};

// Makes a branch node of the register tree with its node structure.
mci::TreeNodePtr MakeBranchNode(const std::string& name, unsigned long long flags);

} // namespace qapp
