#include "platform/qapp/zemtra_runtime_builder.h"

#include "platform/fpga/fpga_access.h"
#include "platform/qapp/fnc_node.h"
#include "platform/qapp/instrument_path.h"
#include "platform/qapp/zemtra_object.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/trace.h"

#include <pugixml.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qapp {

namespace {

bool ParseNumber(const char* text, unsigned long long& value)
{
    if (text == nullptr || *text == '\0' || *text == '-' || *text == '+') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    value = std::strtoull(text, &end, 0);
    return errno == 0 && end != text && *end == '\0';
}

} // namespace

ZemtraRuntimeBuilder::ZemtraRuntimeBuilder(mci::TreeNodePtr& parent, void* block, unsigned size,
                                           const std::string& file, unsigned writeFlags)
    : m_parent(parent), m_block(block), m_size(size), m_file(file), m_writeFlags(writeFlags),
      m_lock(std::make_shared<std::mutex>())
{
}

void ZemtraRuntimeBuilder::BuildRegistry()
{
    QSTD_TRACE_FNC();
    if (!m_parent) {
        throw qstd::Exception("Register map " + m_file + ": no parent node.", true);
    }
    if (m_block == nullptr || m_size == 0) {
        throw qstd::Exception("Register map " + m_file + ": no FPGA window.", true);
    }
    // The map is read inside the instrument's root, only from a regular
    // file, without blocking and up to a bound.
    std::string text;
    std::string reason;
    if (ReadInstrumentFile(m_file, c_maxMapBytes, text, reason) != 0) {
        throw qstd::Exception("Register map " + m_file + ": " + reason + ".", true);
    }
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed = doc.load_buffer(text.data(), text.size());
    if (!parsed) {
        throw qstd::Exception("Register map " + m_file + ": " + parsed.description() + " at offset " +
                                  std::to_string(parsed.offset) + ".",
                              true);
    }
    const pugi::xml_node root = doc.child("registers");
    if (!root) {
        throw qstd::Exception("Register map " + m_file + ": no <registers> element.", true);
    }
    Build(root, m_parent, std::string());
}

void ZemtraRuntimeBuilder::Build(const pugi::xml_node& xml, const mci::TreeNodePtr& parent, const std::string& path)
{
    for (const pugi::xml_node& child : xml.children()) {
        if (child.type() != pugi::node_element) {
            continue;
        }
        const std::string tag = child.name();
        const std::string name = child.attribute("name").as_string();
        const std::string where = "Register map " + m_file + ", " + (path.empty() ? name : path + "/" + name) + ": ";
        if (name.empty() || name.find('/') != std::string::npos) {
            throw qstd::Exception(
                "Register map " + m_file + ": <" + tag + "> without a valid name under \"" + path + "\".", true);
        }
        if (parent->GetChild(name)) {
            throw qstd::Exception(where + "duplicate name.", true);
        }
        if (tag == "branch") {
            mci::TreeNodePtr branch = parent->Add(MakeBranchNode(name, 0));
            ++m_built;
            Build(child, branch, path.empty() ? name : path + "/" + name);
        } else if (tag == "register") {
            BuildRegister(child, parent, path);
        } else {
            throw qstd::Exception(where + "unknown element <" + tag + ">.", true);
        }
    }
}

void ZemtraRuntimeBuilder::BuildRegister(const pugi::xml_node& xml, const mci::TreeNodePtr& parent,
                                         const std::string& path)
{
    const std::string name = xml.attribute("name").as_string();
    const std::string where = "Register map " + m_file + ", " + (path.empty() ? name : path + "/" + name) + ": ";
    unsigned long long offset = 0;
    if (!ParseNumber(xml.attribute("offset").value(), offset)) {
        throw qstd::Exception(where + "missing or bad offset.", true);
    }
    // Compared without a sum, which a huge offset would wrap past the bound.
    if (offset % 4 != 0 || offset >= m_size || m_size - offset < 4) {
        throw qstd::Exception(where + "offset outside the window or not word aligned.", true);
    }
    unsigned long long bit = 0;
    unsigned long long width = 32;
    if (xml.attribute("bit") && !ParseNumber(xml.attribute("bit").value(), bit)) {
        throw qstd::Exception(where + "bad bit.", true);
    }
    if (xml.attribute("width") && !ParseNumber(xml.attribute("width").value(), width)) {
        throw qstd::Exception(where + "bad width.", true);
    }
    if (width < 1 || width > 32 || bit > 31 || bit + width > 32) {
        throw qstd::Exception(where + "bit field outside the word.", true);
    }
    const std::string type = xml.attribute("type").as_string("uint");
    const std::string access = xml.attribute("access").as_string("rw");
    const std::string persistent = xml.attribute("persistent").as_string("false");
    if (type != "uint" && type != "bool") {
        throw qstd::Exception(where + "unknown type \"" + type + "\".", true);
    }
    if (type == "bool" && width != 1) {
        throw qstd::Exception(where + "a bool register is one bit wide.", true);
    }
    if (access != "rw" && access != "ro") {
        throw qstd::Exception(where + "access must be rw or ro.", true);
    }
    if (persistent != "true" && persistent != "false") {
        throw qstd::Exception(where + "persistent must be true or false.", true);
    }

    unsigned long long flags = mci::enums::eValue;
    if (access == "rw") {
        flags |= m_writeFlags;
    }
    if (persistent == "true") {
        flags |= mci::enums::ePersistent;
    }
    volatile FPGAMem_t* base = static_cast<volatile FPGAMem_t*>(m_block);
    const size_t off = static_cast<size_t>(offset);
    const unsigned shift = static_cast<unsigned>(bit);
    const uint32_t mask = width == 32 ? 0xFFFFFFFFu : ((1u << width) - 1u);
    // Fields of one word are read and read-modify-written under the
    // window's lock: two clients' writes of neighbouring fields keep each
    // other, and a read never meets a write.
    std::shared_ptr<std::mutex> lock = m_lock;
    auto read = [lock, base, off, shift, mask]() {
        std::lock_guard<std::mutex> guard(*lock);
        return (fpga::Read32(base, off) >> shift) & mask;
    };
    auto write = [lock, base, off, shift, mask](uint32_t v) {
        if ((v & ~mask) != 0) {
            return false;
        }
        std::lock_guard<std::mutex> guard(*lock);
        const uint32_t word = fpga::Read32(base, off);
        fpga::Write32(base, off, (word & ~(mask << shift)) | (v << shift));
        return true;
    };
    const bool writable = access == "rw";
    mci::TreeNodePtr node;
    if (type == "bool") {
        node = MakeFncNode<bool>(
            name, flags,
            [read](bool& v) {
                v = read() != 0;
                return true;
            },
            writable ? FncNode<bool>::Setter([write](const bool& v) { return write(v ? 1u : 0u); }) : nullptr);
    } else {
        node = MakeFncNode<unsigned>(
            name, flags,
            [read](unsigned& v) {
                v = read();
                return true;
            },
            writable ? FncNode<unsigned>::Setter([write](const unsigned& v) { return write(v); }) : nullptr);
    }
    if (!node) {
        throw qstd::Exception(where + "node could not be made.", true);
    }
    parent->Add(node);
    ++m_built;
}

} // namespace qapp
