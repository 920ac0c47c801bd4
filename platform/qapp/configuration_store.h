#pragma once
// The configuration step: the values of the register nodes that carry the
// persistence flag (0x8) and that clients may write (0x4) are kept in one
// text file. Each line holds one
// element: the node's path below the root, a tab, the element's position, a
// tab and the value as text:
//   raf3/conditioning/att<TAB>0<TAB>12
// Lines starting with '#' and empty lines are ignored. Loading writes every
// value through the client write path of the node (validators and setters
// run), the values of one node together between its OnPreConfigLoad and
// OnPostConfigLoad; a line that cannot be applied is logged and skipped.

#include "platform/mci/tree_node.h"

#include <string>

namespace qapp {

class ConfigurationStore {
public:
    struct Result {
        unsigned applied = 0;
        unsigned skipped = 0;
    };

    // A missing file is a first start: nothing is applied, nothing logged
    // but an information line.
    static Result Load(const mci::TreeNodePtr& root, const std::string& file);
    // Writes every persistent node under root (not the root itself); false
    // when the file cannot be written (logged). Writes to a temporary file
    // first and renames it, so a failed write keeps the former file.
    static bool Save(const mci::TreeNodePtr& root, const std::string& file);
};

} // namespace qapp
