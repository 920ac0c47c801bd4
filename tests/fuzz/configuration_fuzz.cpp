// Fuzzes the configuration file loader: any text applied to a small tree of
// persistent nodes of every value type must be refused line by line or
// applied, never crash, hang or leave a value the node's type refuses.

#include "platform/qapp/configuration_store.h"
#include "platform/qapp/fnc_node.h"
#include "platform/qapp/zemtra_object.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

struct Values {
    bool on = false;
    unsigned count = 0;
    unsigned long long lmt = 0;
    double gain = 0;
    std::string name;
};

template <typename T> mci::TreeNodePtr Persistent(const std::string& name, T& value)
{
    return qapp::MakeFncNode<T>(
        name, 14,
        [&value](T& v) {
            v = value;
            return true;
        },
        [&value](const T& v) {
            value = v;
            return true;
        });
}

mci::TreeNodePtr Tree(Values& v)
{
    mci::TreeNodePtr root = qapp::MakeBranchNode("root", 0);
    mci::TreeNodePtr board = root->Add(qapp::MakeBranchNode("raf3", 0));
    board->Add(Persistent<bool>("on", v.on));
    board->Add(Persistent<unsigned>("count", v.count));
    board->Add(Persistent<unsigned long long>("lmt", v.lmt));
    board->Add(Persistent<double>("gain", v.gain));
    root->Add(Persistent<std::string>("name", v.name));
    return root;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Values values;
    static const mci::TreeNodePtr root = [] {
        qstd::Log::m_enabled = false;
        qstd::TraceFile::m_enabled = false;
        return Tree(values);
    }();
    qapp::ConfigurationStore store(root, "/nonexistent/fuzz.conf");
    const std::string text(reinterpret_cast<const char*>(data), size);
    store.Apply(text, "fuzz");
    if (!std::isfinite(values.gain)) {
        std::abort(); // a node took what no node may take
    }
    return 0;
}
