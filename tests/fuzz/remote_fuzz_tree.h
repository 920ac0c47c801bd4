#pragma once
// The register tree that the remote request fuzz targets serve: a writable
// node of every value type a client can set by text or number, an array,
// a range-checked one and an enum, below a branch. Included by one source
// of each target (it defines the enum's names).

#include "platform/mci/tree_node.h"
#include "platform/qreg/reg_value_node.h"
#include "platform/qstd/enum_map.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_enum_node.h"
#include "qreg/reg_node.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace fuzztree {

enum Mode_e : int { eOff = 0, eOn = 1, eAuto = 2 };

struct Owner {
    Mode_e mode = eOff;
    bool SetMode(const Mode_e& v)
    {
        mode = v;
        return true;
    }
    bool GetMode(Mode_e& v) const
    {
        v = mode;
        return true;
    }
};

template <typename N> std::shared_ptr<N> Add(const mci::TreeNodePtr& parent, std::shared_ptr<N> node)
{
    node->SetNodeStructure(new mci::LocalNodeStructure(node.get()));
    if (!node->Init()) {
        std::abort();
    }
    parent->Add(node);
    return node;
}

// Paths ('/'-separated) of the value nodes, in the order of adding.
inline const std::vector<std::string>& ValuePaths()
{
    static const std::vector<std::string> paths = {"b/on",   "b/count", "b/offset", "b/lmt",    "b/gain",
                                                   "b/name", "b/mode",  "b/arr",    "b/limited"};
    return paths;
}

inline mci::TreeNodePtr Tree()
{
    using namespace qreg;
    qstd::Log::m_enabled = false;
    qstd::TraceFile::m_enabled = false;
    static Owner owner;
    auto root = std::make_shared<RegNode>("root", 0);
    root->SetNodeStructure(new mci::LocalNodeStructure(root.get()));
    auto b = Add(root, std::make_shared<RegNode>("b", 0));
    Add(b, std::make_shared<RegValueNode<bool>>("on", false, 6));
    Add(b, std::make_shared<RegValueNode<unsigned int>>("count", 0u, 6));
    Add(b, std::make_shared<RegValueNode<int>>("offset", 0, 6));
    Add(b, std::make_shared<RegValueNode<unsigned long long>>("lmt", 0ull, 6));
    Add(b, std::make_shared<RegValueNode<double>>("gain", 1.0, 6));
    Add(b, std::make_shared<RegValueNode<std::string>>("name", std::string("bpm"), 6));
    Add(b, std::make_shared<RegFncEnumNode<Mode_e>>("mode", &owner, &Owner::SetMode, &Owner::GetMode, 14));
    auto arr = Add(b, std::make_shared<RegValueNode<int>>("arr", 0, 0x206));
    arr->OnResize(4, mci::c_noRelPath);
    auto limited = Add(b, std::make_shared<RegValueNode<double>>("limited", 0.0, 6));
    limited->SetValidator(Expr<expr::Range<double, double>>(-1.5, 1000));
    return root;
}

} // namespace fuzztree

template <>
qstd::BiMap<fuzztree::Mode_e> qstd::EnumMap<fuzztree::Mode_e>::items = {
    {fuzztree::eOff, "off"}, {fuzztree::eOn, "on"}, {fuzztree::eAuto, "auto"}};
