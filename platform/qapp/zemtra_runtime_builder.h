#pragma once
// Builds register nodes over an FPGA window from an XML register map.
//
// Format (file paths are instrument paths, read inside the instrument root;
// a map is at most c_maxMapBytes long):
//
//   <registers>
//     <register name="version" offset="0x0"/>                       whole word, read-write
//     <branch name="status">
//       <register name="link_up" offset="0x10" bit="3" width="1" type="bool" access="ro"/>
//       <register name="mode" offset="0x14" bit="4" width="4" persistent="true"/>
//     </branch>
//   </registers>
//
// <register>: name (required), offset (byte offset in the window, a multiple
// of 4, decimal or "0x" hexadecimal; required), bit (first bit, 0 by
// default), width (bits, 1 to 32, 32 by default), type "uint" (default) or
// "bool" (width 1 only), access "rw" (default) or "ro", persistent "true" or
// "false" (default). <branch>: name, children as above. Names must be unique
// among siblings. A read gives the field, a write of a value wider than the
// field is refused; the other bits of the word are kept. The nodes of one
// map read and write their words under one lock (a leaf lock), so fields of
// a word set at once keep each other.

#include "platform/mci/tree_node.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

namespace pugi {
class xml_node;
}

namespace qapp {

class ZemtraRuntimeBuilder {
public:
    static constexpr std::size_t c_maxMapBytes = 4u << 20;

    // writeFlags: the flags that read-write registers carry besides the value
    // flag (0x4 makes them writable for clients).
    ZemtraRuntimeBuilder(mci::TreeNodePtr& parent, void* block, unsigned size, const std::string& file,
                         unsigned writeFlags);

    // Adds the map's nodes under the parent, each as soon as it is built.
    // Throws qstd::Exception on a missing window, an unreadable file,
    // malformed XML or an invalid entry (naming file and entry); the nodes
    // built before the failure stay.
    void BuildRegistry();

    unsigned NodesBuilt() const { return m_built; }

private:
    void Build(const pugi::xml_node& xml, const mci::TreeNodePtr& parent, const std::string& path);
    void BuildRegister(const pugi::xml_node& xml, const mci::TreeNodePtr& parent, const std::string& path);

    mci::TreeNodePtr m_parent;
    void* m_block;
    unsigned m_size;
    std::string m_file;
    unsigned m_writeFlags;
    unsigned m_built = 0;
    // Serialises the accesses of the map's nodes to the window.
    std::shared_ptr<std::mutex> m_lock;
};

} // namespace qapp
