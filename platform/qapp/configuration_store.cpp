#include "platform/qapp/configuration_store.h"

#include "platform/mci/client_access.h"
#include "platform/qreg/reg_node.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

namespace qapp {
namespace {

// Only nodes that clients may write are kept: the stored values go back
// through the client write path, which refuses the others.
constexpr unsigned long long c_storedFlags = mci::enums::ePersistent | mci::enums::eWritable;

void Collect(const mci::ClientAccess& access, const mci::TreeNodePtr& node, const std::string& path,
             std::ostringstream& out, unsigned& count)
{
    for (const mci::TreeNodePtr& child : node->GetChildren()) {
        const std::string childPath = path.empty() ? child->GetName() : path + "/" + child->GetName();
        const bool isRegister = dynamic_cast<qreg::RegNode*>(child.get()) != nullptr;
        if (isRegister && (child->GetFlags() & c_storedFlags) == c_storedFlags) {
            try {
                const size_t size = access.GetSize(childPath);
                const std::vector<std::string> values = access.GetTexts(childPath, 0, size);
                for (size_t pos = 0; pos < values.size(); ++pos) {
                    if (values[pos].find('\n') != std::string::npos) {
                        qstd::LogWarning("Configuration value of " + childPath + " not stored: it spans lines.");
                        continue;
                    }
                    out << childPath << '\t' << pos << '\t' << values[pos] << '\n';
                    ++count;
                }
            } catch (const std::exception& e) {
                qstd::LogWarning("Configuration value of " + childPath + " not stored: " + e.what());
            }
        }
        Collect(access, child, childPath, out, count);
    }
}

bool ParsePosition(const std::string& text, size_t& pos)
{
    if (text.empty() || text.size() > 9) {
        return false;
    }
    pos = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        pos = pos * 10 + static_cast<size_t>(c - '0');
    }
    return true;
}

} // namespace

ConfigurationStore::Result ConfigurationStore::Load(const mci::TreeNodePtr& root, const std::string& file)
{
    QSTD_TRACE_FNC();
    Result result;
    mci::ClientAccess access(root);
    std::ifstream in(file);
    if (!in) {
        qstd::LogInfo("No configuration file " + file + ": first start.");
        return result;
    }
    // One value to apply; the lines of one node are applied together.
    struct Entry {
        std::string where;
        std::string path;
        size_t position;
        std::string value;
    };
    std::vector<std::pair<mci::TreeNodePtr, std::vector<Entry>>> nodes;

    std::string line;
    unsigned number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const size_t tab1 = line.find('\t');
        const size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
        const std::string where = file + ":" + std::to_string(number) + ": ";
        size_t pos = 0;
        if (tab2 == std::string::npos || !ParsePosition(line.substr(tab1 + 1, tab2 - tab1 - 1), pos)) {
            qstd::LogError("Configuration line skipped: " + where + "malformed line.");
            ++result.skipped;
            continue;
        }
        const std::string path = line.substr(0, tab1);
        mci::TreeNodePtr node = path.empty() ? mci::TreeNodePtr() : root->Find(path);
        if (!node) {
            qstd::LogError("Configuration line skipped: " + where + "no node " + path + ".");
            ++result.skipped;
            continue;
        }
        if ((node->GetFlags() & mci::enums::ePersistent) == 0) {
            qstd::LogError("Configuration line skipped: " + where + "node " + path + " is not persistent.");
            ++result.skipped;
            continue;
        }
        auto it = std::find_if(nodes.begin(), nodes.end(), [&](const auto& n) { return n.first == node; });
        if (it == nodes.end()) {
            nodes.emplace_back(node, std::vector<Entry>());
            it = nodes.end() - 1;
        }
        it->second.push_back(Entry{where, path, pos, line.substr(tab2 + 1)});
    }

    for (auto& n : nodes) {
        auto* reg = dynamic_cast<qreg::RegNode*>(n.first.get());
        if (reg) {
            reg->OnPreConfigLoad();
        }
        for (const Entry& e : n.second) {
            try {
                access.SetText(e.path, e.value, e.position);
                ++result.applied;
            } catch (const std::exception& ex) {
                qstd::LogError("Configuration line skipped: " + e.where + ex.what());
                ++result.skipped;
            }
        }
        if (reg) {
            reg->OnPostConfigLoad();
        }
    }
    qstd::LogInfo("Configuration loaded from " + file + ": " + std::to_string(result.applied) + " values applied, " +
                  std::to_string(result.skipped) + " lines skipped.");
    return result;
}

bool ConfigurationStore::Save(const mci::TreeNodePtr& root, const std::string& file)
{
    QSTD_TRACE_FNC();
    std::ostringstream out;
    out << "# Persistent register values: path, position, value (tab separated).\n";
    unsigned count = 0;
    mci::ClientAccess access(root);
    Collect(access, root, std::string(), out, count);
    const std::string temporary = file + ".tmp";
    {
        std::ofstream f(temporary, std::ios::trunc);
        if (!f || !(f << out.str()) || !f.flush()) {
            qstd::LogError("Could not write configuration file " + temporary + ".");
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), file.c_str()) != 0) {
        qstd::LogError("Could not replace configuration file " + file + ".");
        std::remove(temporary.c_str());
        return false;
    }
    qstd::LogInfo("Configuration stored to " + file + ": " + std::to_string(count) + " values.");
    return true;
}

} // namespace qapp
