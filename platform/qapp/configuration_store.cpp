#include "platform/qapp/configuration_store.h"

#include "platform/qstd/file.h"

#include "platform/mci/client_access.h"
#include "platform/qreg/reg_node.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "platform/qstd/util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

namespace qapp {
namespace {

// Every persistent value is kept, also those that clients may not write: the
// stored values go back through the owner's write path.
constexpr unsigned long long c_storedFlags = mci::enums::ePersistent;

// Values stored in place of a node's own, by path and position.
using Replacements = std::map<std::pair<std::string, size_t>, std::string>;

void Collect(const mci::ClientAccess& access, const mci::TreeNodePtr& node, const std::string& path,
             const Replacements& replacements, std::ostringstream& out, unsigned& count)
{
    for (const mci::TreeNodePtr& child : node->GetChildren()) {
        const std::string childPath = path.empty() ? child->GetName() : path + "/" + child->GetName();
        const bool isRegister = dynamic_cast<qreg::RegNode*>(child.get()) != nullptr;
        if (isRegister && (child->GetFlags() & c_storedFlags) == c_storedFlags) {
            try {
                const size_t size = access.GetSize(childPath);
                const std::vector<std::string> values = access.GetTexts(childPath, 0, size);
                for (size_t pos = 0; pos < values.size(); ++pos) {
                    const auto replaced =
                        replacements.empty() ? replacements.end() : replacements.find(std::make_pair(childPath, pos));
                    const std::string& value = replaced != replacements.end() ? replaced->second : values[pos];
                    if (value.find('\n') != std::string::npos) {
                        qstd::LogWarning("Configuration value of " + childPath + " not stored: it spans lines.");
                        continue;
                    }
                    out << childPath << '\t' << pos << '\t' << value << '\n';
                    ++count;
                }
            } catch (const std::exception& e) {
                qstd::LogWarning("Configuration value of " + childPath + " not stored: " + e.what());
            }
        }
        Collect(access, child, childPath, replacements, out, count);
    }
}

std::string Reason()
{
    return std::strerror(errno);
}

// Writes all of text to fd; false with errno set on failure.
bool WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// The directory part of a file path, for syncing the rename.
std::string DirectoryOf(const std::string& file)
{
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : file.substr(0, slash);
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

// The time stamp and number that order the damaged copies of a file:
// "<file>.damaged-YYYYMMDD-HHMMSS", then "-N" for further ones.
using DamagedKey = std::pair<std::string, size_t>;

bool ParseDamagedName(const std::string& base, const std::string& name, DamagedKey& key)
{
    const std::string prefix = base + ".damaged-";
    constexpr size_t c_stampLength = 15;
    if (name.size() < prefix.size() + c_stampLength || name.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    const std::string stamp = name.substr(prefix.size(), c_stampLength);
    for (size_t i = 0; i < stamp.size(); ++i) {
        if (i == 8 ? stamp[i] != '-' : !std::isdigit(static_cast<unsigned char>(stamp[i]))) {
            return false;
        }
    }
    const std::string rest = name.substr(prefix.size() + c_stampLength);
    size_t number = 0;
    if (!rest.empty() && (rest[0] != '-' || !ParsePosition(rest.substr(1), number))) {
        return false;
    }
    key = DamagedKey(stamp, number);
    return true;
}

// True when both are regular files of the same bytes.
bool SameContents(const std::string& a, const std::string& b)
{
    qstd::InputFile fa;
    qstd::InputFile fb;
    struct stat sa {};
    struct stat sb {};
    if (::lstat(a.c_str(), &sa) != 0 || ::lstat(b.c_str(), &sb) != 0 || !S_ISREG(sa.st_mode) || !S_ISREG(sb.st_mode) ||
        sa.st_size != sb.st_size || fa.Open(a) != 0 || fb.Open(b) != 0) {
        return false;
    }
    std::vector<char> bufferA(64 * 1024);
    std::vector<char> bufferB(bufferA.size());
    for (;;) {
        const long na = fa.Read(bufferA.data(), bufferA.size());
        const long nb = fb.Read(bufferB.data(), bufferB.size());
        if (na < 0 || na != nb || std::memcmp(bufferA.data(), bufferB.data(), static_cast<size_t>(na)) != 0) {
            return false;
        }
        if (static_cast<size_t>(na) < bufferA.size()) {
            return true;
        }
    }
}

} // namespace

ConfigurationStore::ConfigurationStore(mci::TreeNodePtr root, std::string file)
    : m_root(std::move(root)), m_file(std::move(file))
{
}

ConfigurationStore::~ConfigurationStore()
{
    StopWatching();
}

ConfigurationStore::Result ConfigurationStore::Load()
{
    QSTD_TRACE_FNC();
    std::string path;
    std::string problem;
    if (!StoredFile(m_file, path, problem)) {
        // Defaults in the place of the stored values would be stored over
        // them at the first change.
        throw qstd::Exception(problem + ": the values stored there cannot be loaded, and the start is refused.", true);
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            qstd::LogInfo("No configuration file " + path + ": first start.");
        } else {
            qstd::LogError("Configuration file " + path + " not loaded: " + Reason() + ".");
            std::lock_guard<std::mutex> lock(m_saveMutex);
            m_damaged = true;
        }
        return Result();
    }
    // A FIFO or a device would block or never end; a folder reads as empty.
    // The file is read line by line, each line bounded, so that neither its
    // size nor one huge line costs the other lines.
    qstd::InputFile file;
    if (file.Open(path) != 0) {
        qstd::LogError("Configuration file " + path + " not loaded: " + file.Reason() + ".");
        std::lock_guard<std::mutex> lock(m_saveMutex);
        m_damaged = true;
        return Result();
    }
    Result result =
        ApplyLines([&file](std::string& line, bool& complete,
                           bool& tooLong) { return file.ReadLine(c_maxLineLength, line, complete, tooLong); },
                   path);
    if (file.Error() != 0) {
        qstd::LogError("Configuration file " + path + " not read to its end: " + file.Reason() + ".");
        std::lock_guard<std::mutex> lock(m_saveMutex);
        m_damaged = true;
    }
    return result;
}

bool ConfigurationStore::StoredFile(const std::string& file, std::string& path, std::string& problem)
{
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
        path = file;
        return true;
    }
    char target[PATH_MAX + 1] = {};
    const ssize_t length = ::readlink(file.c_str(), target, PATH_MAX);
    const std::string link =
        "Configuration file " + file + " is a symbolic link to " +
        qstd::EscapeControls(length >= 0 ? std::string(target, static_cast<size_t>(length)) : std::string("?")) + ", ";
    char* resolved = ::realpath(file.c_str(), nullptr);
    if (resolved == nullptr) {
        problem =
            link + (errno == ENOENT ? std::string("which does not exist") : "which cannot be reached: " + Reason());
        return false;
    }
    path = resolved;
    std::free(resolved);
    if (::stat(path.c_str(), &st) != 0) {
        problem = link + "which cannot be reached: " + Reason();
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        problem = link + "which is not a regular file";
        return false;
    }
    return true;
}

ConfigurationStore::Result ConfigurationStore::Apply(const std::string& text, const std::string& origin)
{
    size_t begin = 0;
    return ApplyLines(
        [&text, &begin](std::string& line, bool& complete, bool& tooLong) {
            if (begin >= text.size()) {
                return false;
            }
            const size_t newline = text.find('\n', begin);
            complete = newline != std::string::npos;
            const size_t end = complete ? newline : text.size();
            tooLong = end - begin > c_maxLineLength;
            line = tooLong ? std::string() : text.substr(begin, end - begin);
            begin = complete ? newline + 1 : text.size();
            return true;
        },
        origin);
}

// The values read and not yet applied (the lines of one node together),
// the counts, and the messages of the first lines skipped or kept.
class ConfigurationStore::LinePass {
public:
    LinePass(ConfigurationStore& store, const std::string& origin) : m_store(store), m_origin(origin) {}
    // Takes the next line of the file.
    void Take(std::string& line, bool complete, bool tooLong);
    // Applies what still waits and logs the counts.
    Result Finish();

private:
    // One value to apply.
    struct Entry {
        std::string where;
        size_t position;
        std::string value;
    };

    void Report(void (*log)(const std::string&), const std::string& message);
    void Skip(const std::string& message);
    // A line that is neither empty nor a comment.
    void TakeValue(const std::string& line, const std::string& where);
    // A line of a node this run does not have.
    void Keep(const std::string& line, const std::string& where, const std::string& path);
    // The nodes with values waiting, with their paths.
    struct PendingNode {
        mci::TreeNodePtr node;
        std::string path;
        std::vector<Entry> entries;
    };

    void Queue(const mci::TreeNodePtr& node, const std::string& path, Entry entry, size_t lineSize);
    void ApplyPending();
    void ApplyNode(const PendingNode& pending);
    // A value that names a missing file, kept in place of the node's.
    void KeepMissingFile(const PendingNode& pending, const Entry& entry);
    // True when the node at path holds value at position, as a store would
    // write it.
    bool Holds(const std::string& path, size_t position, const std::string& value) const;
    // Entries [first, end), of consecutive positions, in one write; false
    // when the write is refused.
    bool ApplyRun(qreg::RegNode& reg, const std::vector<Entry>& entries, size_t first, size_t end);

    ConfigurationStore& m_store;
    const std::string& m_origin;
    Result m_result;
    std::vector<PendingNode> m_nodes;
    size_t m_pendingBytes = 0;
    unsigned long m_messages = 0;
    unsigned long m_number = 0;
};

ConfigurationStore::Result ConfigurationStore::ApplyLines(const LineSource& next, const std::string& origin)
{
    LinePass pass(*this, origin);
    std::string line;
    bool complete = false;
    bool tooLong = false;
    while (next(line, complete, tooLong)) {
        pass.Take(line, complete, tooLong);
    }
    return pass.Finish();
}

// One message for each of the first lines skipped or kept, so that a file
// of very many of them does not flood the log. A message may quote the
// file's text: its control characters are escaped so that it cannot forge a
// log line.
void ConfigurationStore::LinePass::Report(void (*log)(const std::string&), const std::string& message)
{
    if (m_messages++ < c_maxLineMessages) {
        log(qstd::EscapeControls(message));
    }
}

void ConfigurationStore::LinePass::Skip(const std::string& message)
{
    Report(qstd::LogError, "Configuration line skipped: " + message);
    ++m_result.skipped;
}

void ConfigurationStore::LinePass::Take(std::string& line, bool complete, bool tooLong)
{
    ++m_number;
    const std::string where = m_origin + ":" + std::to_string(m_number) + ": ";
    if (tooLong) {
        // Its text stays out of the log and out of the memory.
        Skip(where + "line longer than " + std::to_string(c_maxLineLength) + " bytes.");
        return;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (!complete) {
        // Every stored line ends with a newline: this one was cut short.
        Skip(where + "truncated line.");
        return;
    }
    if (line.empty() || line[0] == '#') {
        return;
    }
    TakeValue(line, where);
}

void ConfigurationStore::LinePass::TakeValue(const std::string& line, const std::string& where)
{
    const size_t tab1 = line.find('\t');
    const size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
    size_t pos = 0;
    if (tab2 == std::string::npos || !ParsePosition(line.substr(tab1 + 1, tab2 - tab1 - 1), pos)) {
        Skip(where + "malformed line.");
        return;
    }
    const std::string path = line.substr(0, tab1);
    // No node name holds a control character: such a line is damage, not
    // the line of a node this run lacks.
    const auto control = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; };
    if (path.empty() || std::any_of(path.begin(), path.end(), control)) {
        Skip(where + "malformed line.");
        return;
    }
    mci::TreeNodePtr node = m_store.m_root->Find(path);
    if (!node) {
        Keep(line, where, path);
        return;
    }
    if ((node->GetFlags() & mci::enums::ePersistent) == 0) {
        Skip(where + "node " + path + " is not persistent.");
        return;
    }
    if (!node->AsRegNode()) {
        Skip(where + "mci: Not a register node: " + path);
        return;
    }
    Queue(node, path, Entry{where, pos, line.substr(tab2 + 1)}, line.size());
}

// The value of a node of a board this chassis lacks stays stored, as far
// as such lines stay within their bound.
void ConfigurationStore::LinePass::Keep(const std::string& line, const std::string& where, const std::string& path)
{
    if (m_store.m_keptBytes + line.size() > c_maxKeptBytes) {
        Skip(where + "more lines of absent nodes than " + std::to_string(c_maxKeptBytes) + " bytes.");
        return;
    }
    Report(qstd::LogWarning, "Configuration line kept: " + where + "no node " + path + " in this run.");
    m_store.m_keptBytes += line.size();
    m_store.m_keptLines.push_back(line);
    ++m_result.kept;
}

// A file far larger than any this store writes is applied in parts, so
// that the values waiting to be applied stay within a bound.
void ConfigurationStore::LinePass::Queue(const mci::TreeNodePtr& node, const std::string& path, Entry entry,
                                         size_t lineSize)
{
    auto it = std::find_if(m_nodes.begin(), m_nodes.end(), [&](const PendingNode& n) { return n.node == node; });
    if (it == m_nodes.end()) {
        m_nodes.push_back(PendingNode{node, path, {}});
        it = m_nodes.end() - 1;
    }
    m_pendingBytes += sizeof(Entry) + entry.where.size() + lineSize;
    it->entries.push_back(std::move(entry));
    if (m_pendingBytes > c_maxPendingBytes) {
        ApplyPending();
    }
}

void ConfigurationStore::LinePass::ApplyPending()
{
    for (const PendingNode& n : m_nodes) {
        qreg::RegNode& reg = *n.node->AsRegNode();
        reg.OnPreConfigLoad();
        ApplyNode(n);
        reg.OnPostConfigLoad();
    }
    m_nodes.clear();
    m_pendingBytes = 0;
}

// Lines of consecutive positions go in one write: a table whose every write
// loads the whole table into the FPGA is then loaded once, not once per
// element. A run that is refused is applied line by line, so that only its
// bad lines are skipped.
//
// A value that names a missing file is not applied and ends a run.
//
// A value that the node refuses while it holds that very value loses
// nothing: the next store writes the same line. It is logged, not taken for
// damage.
void ConfigurationStore::LinePass::ApplyNode(const PendingNode& pending)
{
    qreg::RegNode& reg = *pending.node->AsRegNode();
    const std::string& path = pending.path;
    const std::vector<Entry>& entries = pending.entries;
    std::vector<bool> missing(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        missing[i] = reg.NamesMissingFile(entries[i].value);
    }
    for (size_t first = 0; first < entries.size();) {
        if (missing[first]) {
            KeepMissingFile(pending, entries[first++]);
            continue;
        }
        size_t end = first + 1;
        while (end < entries.size() && !missing[end] && entries[end].position == entries[end - 1].position + 1) {
            ++end;
        }
        if (end - first > 1 && ApplyRun(reg, entries, first, end)) {
            first = end;
            continue;
        }
        for (; first < end; ++first) {
            const Entry& e = entries[first];
            try {
                mci::SetNodeTexts(reg, {e.value}, e.position);
                ++m_result.applied;
            } catch (const std::exception& ex) {
                if (Holds(path, e.position, e.value)) {
                    Report(qstd::LogWarning,
                           "Configuration value not applied: " + e.where + ex.what() + " (the node holds it still).");
                    ++m_result.held;
                } else {
                    Skip(e.where + ex.what());
                }
            }
        }
    }
}

// The file may come later (a mount not made yet): the node keeps the value
// it has, and the stored value stays, written by every store in the node's
// place, until the node is written. A later line of the same element is
// applied over it as any later line.
void ConfigurationStore::LinePass::KeepMissingFile(const PendingNode& pending, const Entry& entry)
{
    Report(qstd::LogWarning, "Configuration value kept: " + entry.where + pending.path + " names the missing file " +
                                 entry.value +
                                 "; the node keeps its value, and the stored one stays until a start finds the file "
                                 "or a client sets the node.");
    ++m_result.missing;
    std::lock_guard<std::mutex> lock(m_store.m_saveMutex);
    std::vector<MissingFile>& files = m_store.m_missingFiles;
    files.erase(
        std::remove_if(files.begin(), files.end(),
                       [&](const MissingFile& f) { return f.node == pending.node && f.position == entry.position; }),
        files.end());
    files.push_back(
        MissingFile{pending.node, pending.path, entry.position, entry.value, pending.node->AsRegNode()->Writes()});
}

bool ConfigurationStore::LinePass::Holds(const std::string& path, size_t position, const std::string& value) const
{
    try {
        const std::vector<std::string> held = mci::ClientAccess(m_store.m_root).GetTexts(path, position, 1);
        return held.size() == 1 && held[0] == value;
    } catch (const std::exception&) {
        return false;
    }
}

bool ConfigurationStore::LinePass::ApplyRun(qreg::RegNode& reg, const std::vector<Entry>& entries, size_t first,
                                            size_t end)
{
    std::vector<std::string> values;
    values.reserve(end - first);
    for (size_t i = first; i < end; ++i) {
        values.push_back(entries[i].value);
    }
    try {
        mci::SetNodeTexts(reg, values, entries[first].position);
    } catch (const std::exception&) {
        return false;
    }
    m_result.applied += static_cast<unsigned>(end - first);
    return true;
}

ConfigurationStore::Result ConfigurationStore::LinePass::Finish()
{
    ApplyPending();
    if (m_messages > c_maxLineMessages) {
        qstd::LogWarning("Configuration file " + m_origin + ": " + std::to_string(m_messages - c_maxLineMessages) +
                         " further lines skipped or kept without a message.");
    }
    if (m_result.skipped > 0) {
        std::lock_guard<std::mutex> lock(m_store.m_saveMutex);
        m_store.m_damaged = true;
    }
    qstd::LogInfo(
        "Configuration loaded from " + m_origin + ": " + std::to_string(m_result.applied) + " values applied, " +
        std::to_string(m_result.skipped) + " lines skipped, " + std::to_string(m_result.kept) +
        " lines of absent nodes kept" +
        (m_result.held != 0 ? ", " + std::to_string(m_result.held) + " values refused but held" : "") +
        (m_result.missing != 0 ? ", " + std::to_string(m_result.missing) + " values naming a missing file kept" : "") +
        ".");
    return m_result;
}

std::vector<std::string> ConfigurationStore::DamagedCopies(const std::string& path) const
{
    const std::string directory = DirectoryOf(path);
    const std::string base = path.substr(path.rfind('/') + 1);
    std::vector<std::pair<DamagedKey, std::string>> found;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            DamagedKey key;
            if (ParseDamagedName(base, e->d_name, key)) {
                found.emplace_back(key, directory + "/" + e->d_name);
            }
        }
        ::closedir(dir);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> copies;
    for (const auto& f : found) {
        copies.push_back(f.second);
    }
    return copies;
}

bool ConfigurationStore::KeepDamagedAside(const std::string& path)
{
    // Called with m_saveMutex held.
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        m_damaged = errno != ENOENT;
        if (m_damaged) {
            qstd::LogError("Configuration file " + path + " not replaced: " + Reason() + ".");
        }
        return !m_damaged;
    }
    // The same file again (the same damage at every start) is not kept
    // twice: the copy kept last already holds it.
    std::vector<std::string> copies = DamagedCopies(path);
    if (!copies.empty() && SameContents(path, copies.back())) {
        qstd::LogWarning("Configuration file " + path +
                         " held lines that could not be applied: the same file is kept aside as " + copies.back() +
                         ".");
        m_damagedCopy = copies.back();
        m_damaged = false;
        return true;
    }
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    std::strftime(stamp, sizeof(stamp), "%Y%m%d-%H%M%S", &local);
    // The new copy sorts after every other one, also when the clock is
    // behind their stamps.
    const std::string base = path.substr(path.rfind('/') + 1);
    DamagedKey newest;
    if (!copies.empty()) {
        ParseDamagedName(base, copies.back().substr(copies.back().rfind('/') + 1), newest);
    }
    std::string copy = path + ".damaged-" + stamp;
    DamagedKey key{stamp, 0};
    for (size_t i = 1; ::lstat(copy.c_str(), &st) == 0 || (!copies.empty() && !(newest < key)); ++i) {
        key = newest.first > stamp ? DamagedKey{newest.first, newest.second + i} : DamagedKey{stamp, i};
        copy = path + ".damaged-" + key.first + "-" + std::to_string(key.second);
    }
    if (std::rename(path.c_str(), copy.c_str()) != 0) {
        qstd::LogError("Configuration file " + path + " not replaced: could not keep the damaged file aside as " +
                       copy + ": " + Reason() + ".");
        return false;
    }
    qstd::LogWarning("Configuration file " + path + " held lines that could not be applied: kept aside as " + copy +
                     ".");
    m_damagedCopy = copy;
    m_damaged = false;
    // Only the latest copies stay, the oldest go first.
    copies = DamagedCopies(path);
    for (size_t i = 0; i + c_maxDamagedCopies < copies.size(); ++i) {
        if (copies[i] != copy) {
            std::remove(copies[i].c_str());
        }
    }
    return true;
}

bool ConfigurationStore::Save()
{
    QSTD_TRACE_FNC();
    // Held from reading the values to the rename: a later store never
    // writes older values over those of an earlier one.
    std::lock_guard<std::mutex> lock(m_saveMutex);
    std::string path;
    std::string problem;
    if (!StoredFile(m_file, path, problem)) {
        qstd::LogError("Configuration not stored: " + problem + ".");
        return false;
    }
    std::ostringstream out;
    out << "# Persistent register values: path, position, value (tab separated).\n";
    unsigned count = 0;
    // A value kept for a missing file stands for its node's until the node
    // is written.
    m_missingFiles.erase(std::remove_if(m_missingFiles.begin(), m_missingFiles.end(),
                                        [](const MissingFile& f) { return f.node->AsRegNode()->Writes() != f.writes; }),
                         m_missingFiles.end());
    Replacements replacements;
    for (const MissingFile& f : m_missingFiles) {
        replacements[std::make_pair(f.path, f.position)] = f.value;
    }
    mci::ClientAccess access(m_root);
    Collect(access, m_root, std::string(), replacements, out, count);
    for (const std::string& line : m_keptLines) {
        out << line << '\n';
    }
    const std::string temporary = path + ".tmp";
    // Made anew: a stale link is not written through, and a FIFO does not
    // make the store wait for a reader; what cannot be removed (a folder)
    // fails the store.
    ::unlink(temporary.c_str());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0) {
        qstd::LogError("Could not write configuration file " + temporary + ": " + Reason() + ".");
        return false;
    }
    std::string failure;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        failure = Reason();
    } else if (!S_ISREG(st.st_mode)) {
        failure = "not a regular file";
    } else if (!WriteAll(fd, out.str()) || ::fsync(fd) != 0) {
        failure = Reason();
    }
    if (::close(fd) != 0 && failure.empty()) {
        failure = Reason();
    }
    if (!failure.empty()) {
        qstd::LogError("Could not write configuration file " + temporary + ": " + failure + ".");
        std::remove(temporary.c_str());
        return false;
    }
    if (m_damaged && !KeepDamagedAside(path)) {
        std::remove(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        qstd::LogError("Could not replace configuration file " + path + ": " + Reason() + ".");
        std::remove(temporary.c_str());
        return false;
    }
    // The rename itself reaches the disk with its folder.
    const int dir = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    qstd::LogInfo("Configuration stored to " + path + (path == m_file ? std::string() : ", the target of " + m_file) +
                  ": " + std::to_string(count) + " values.");
    return true;
}

std::string ConfigurationStore::DamagedCopy() const
{
    std::lock_guard<std::mutex> lock(m_saveMutex);
    return m_damagedCopy;
}

void ConfigurationStore::WatchChanges(std::chrono::milliseconds delay)
{
    StopWatching();
    {
        std::lock_guard<std::mutex> lock(m_watchMutex);
        m_changed = false;
        m_stopWatching = false;
    }
    m_notifications = std::make_unique<mci::NotificationClient>();
    // Runs on the emitting thread: it only marks the change, and wakes the
    // store's thread only when the store goes from unchanged to changed;
    // further changes within the delay join that store without a wake-up.
    const mci::Callback onChange([this](const mci::NotificationData&) {
        bool first = false;
        {
            std::lock_guard<std::mutex> lock(m_watchMutex);
            first = !m_changed;
            m_changed = true;
        }
        if (first) {
            m_watchChanged.notify_all();
        }
    });
    std::vector<mci::TreeNodePtr> pending{m_root};
    while (!pending.empty()) {
        mci::TreeNodePtr node = pending.back();
        pending.pop_back();
        for (const mci::TreeNodePtr& child : node->GetChildren()) {
            if (dynamic_cast<qreg::RegNode*>(child.get()) && (child->GetFlags() & c_storedFlags) == c_storedFlags) {
                m_notifications->Register(child, onChange);
            }
            pending.push_back(child);
        }
    }
    m_storeThread = std::thread(&ConfigurationStore::StoreLoop, this, delay);
}

void ConfigurationStore::StopWatching()
{
    if (m_notifications) {
        m_notifications->UnregisterAll();
    }
    {
        std::lock_guard<std::mutex> lock(m_watchMutex);
        m_stopWatching = true;
    }
    m_watchChanged.notify_all();
    if (m_storeThread.joinable()) {
        m_storeThread.join();
    }
    m_notifications.reset();
}

void ConfigurationStore::StoreLoop(std::chrono::milliseconds delay)
{
    std::unique_lock<std::mutex> lock(m_watchMutex);
    for (;;) {
        m_watchChanged.wait(lock, [this] { return m_stopWatching || m_changed; });
        if (m_stopWatching) {
            return; // the owner stores at the end itself
        }
        // Changes within the delay join this store.
        m_watchChanged.wait_for(lock, delay, [this] { return m_stopWatching; });
        if (m_stopWatching) {
            return;
        }
        m_changed = false;
        lock.unlock();
        Save();
        lock.lock();
    }
}

} // namespace qapp
