#pragma once
// The configuration step: the values of the register nodes that carry the
// persistence flag (0x8), whether clients may write them (0x4) or not, are
// kept in one text file. Each line holds one element: the node's path below
// the root, a tab, the element's position, a tab and the value as text:
//   raf3/conditioning/att<TAB>0<TAB>12
// Lines starting with '#' and empty lines are ignored; every line ends with
// a newline (a last line without one was cut short and is refused).
//
// Loading writes every value through the owner's write path of the node, the
// client's without its writable check (the value is parsed whole in the
// node's type; validators and setters run), the values of one node together
// between its OnPreConfigLoad and OnPostConfigLoad, and the values of
// consecutive positions of a node in one write. A line that cannot be applied
// is logged and skipped, except that the lines of nodes this run does not
// have (a chassis without one of the boards) are kept as they are and written
// back by every store; a node name with a control character makes a line
// malformed, never the line of an absent node. A value that names a file
// missing now (a path on a mount not made yet, as its node tells) is not
// applied: the node keeps its value, one warning names the node and the file,
// and every store writes the stored value in the node's place until the node
// is written (a client sets it); a start that finds the file applies it. A
// value that its node refuses while it holds that value already is logged
// only: the next store writes the same line. The file is read line by line:
// a line longer than c_maxLineLength is skipped unread, and a file of any
// size costs no other line (values are applied in parts when very many wait).
// A file with lines that could not be applied, or that is no regular file,
// is kept aside (renamed, logged) before the first store replaces it; the
// last c_maxDamagedCopies such copies stay, and a file identical to the
// copy kept last is not kept again.
//
// Storing writes a temporary file, flushes it to disk and renames it over
// the file, so that a failed or interrupted store keeps the former file.
//
// A configuration file that is a symbolic link is followed: the values are
// loaded from the regular file it leads to, wherever the user keeps it, and
// stored there (the temporary file beside it, renamed over it; a damaged
// one kept aside beside it); the link stays as it is. A link that leads to
// nothing or to no regular file makes the load throw, naming the link, and
// every store fail: its values are never replaced by defaults unnoticed.
// While changes are watched, a store follows shortly after a persistent
// node changes; changes that come close together make one store.

#include "platform/mci/tree_node.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qapp {

class ConfigurationStore {
public:
    struct Result {
        unsigned applied = 0;
        unsigned skipped = 0;
        unsigned kept = 0;    // lines of absent nodes
        unsigned held = 0;    // values refused by a node that holds them
        unsigned missing = 0; // values naming a missing file, kept
    };
    // Longest line read (a value of this store is at most a path of 4095
    // characters); longer ones are skipped.
    static constexpr std::size_t c_maxLineLength = 64u << 10;
    // Values read but not yet applied: beyond this, those read are applied.
    static constexpr std::size_t c_maxPendingBytes = 4u << 20;
    // Lines of absent nodes kept; further ones are skipped.
    static constexpr std::size_t c_maxKeptBytes = 4u << 20;
    // Lines skipped or kept that a load logs one by one; one message
    // counts the further ones.
    static constexpr unsigned c_maxLineMessages = 100;
    // Damaged files kept aside at most (the oldest are removed).
    static constexpr std::size_t c_maxDamagedCopies = 3;
    // Delay between a change and the store that follows it.
    static constexpr std::chrono::milliseconds c_storeDelay{500};

    ConfigurationStore(mci::TreeNodePtr root, std::string file);
    ~ConfigurationStore();
    ConfigurationStore(const ConfigurationStore&) = delete;
    ConfigurationStore& operator=(const ConfigurationStore&) = delete;

    // Reads the file and applies it. A missing file is a first start:
    // nothing is applied, nothing logged but an information line. Throws
    // qstd::Exception (one line naming the link) for a link that leads to
    // nothing or to no regular file.
    Result Load();
    // Applies the text of a configuration file; origin names it in messages.
    Result Apply(const std::string& text, const std::string& origin);
    // Writes every persistent node under root (not the root itself) and the
    // kept lines; false (logged with the reason) when the file cannot be
    // written or a damaged file cannot be kept aside.
    bool Save();

    // Stores delay after a persistent node changes, until StopWatching.
    void WatchChanges(std::chrono::milliseconds delay = c_storeDelay);
    void StopWatching();

    // Where a damaged file went ("" when none was kept aside).
    std::string DamagedCopy() const;

    // The file that holds the values of the configuration file `file`: file
    // itself, or the regular file it is a symbolic link to. False, with why
    // in problem, for a link to nothing, to no regular file or that cannot
    // be followed.
    static bool StoredFile(const std::string& file, std::string& path, std::string& problem);

private:
    // Gives the next line: false at the end; complete false for a last line
    // without a newline; tooLong for a line longer than c_maxLineLength
    // (line then empty).
    using LineSource = std::function<bool(std::string& line, bool& complete, bool& tooLong)>;
    Result ApplyLines(const LineSource& next, const std::string& origin);
    // One application of the lines of a file.
    class LinePass;
    // The damaged copies of the file at path kept aside, oldest first.
    std::vector<std::string> DamagedCopies(const std::string& path) const;
    bool KeepDamagedAside(const std::string& path);
    void StoreLoop(std::chrono::milliseconds delay);

    const mci::TreeNodePtr m_root;
    const std::string m_file;

    // A stored value that named a missing file, stored in place of the
    // node's own until the node is written.
    struct MissingFile {
        mci::TreeNodePtr node;
        std::string path;
        std::size_t position;
        std::string value;
        unsigned long long writes; // the node's writes when it was kept
    };

    mutable std::mutex m_saveMutex; // one store at a time
    std::vector<std::string> m_keptLines;
    std::size_t m_keptBytes = 0;
    std::vector<MissingFile> m_missingFiles;
    bool m_damaged = false;
    std::string m_damagedCopy;

    std::mutex m_watchMutex;
    std::condition_variable m_watchChanged;
    bool m_changed = false;
    bool m_stopWatching = false;
    std::unique_ptr<mci::NotificationClient> m_notifications;
    std::thread m_storeThread;
};

} // namespace qapp
