#pragma once
// The flags words that the system's objects give their register nodes, one
// name per role a node plays, built from the bits of mci::enums::Flags_e.
// The number next to each name is the word that the node carries; clients
// see it, so a name never changes its number.
//
// A function node without a setter drops the writable bit, and a command
// node adds its own command flags (qreg::RegExecNode::execFlags_c) to the
// word it is given.

#include "platform/mci/tree_node.h"

namespace mci {
namespace flags {

// Branch that only groups its children (0).
constexpr unsigned long long c_branch = enums::eNone;
// Value that clients read only (2).
constexpr unsigned long long c_readOnly = enums::eValue;
// Value that clients may change; not saved with the configuration (6).
constexpr unsigned long long c_writable = enums::eValue | enums::eWritable;
// Value saved and restored with the configuration that clients read only (10).
constexpr unsigned long long c_persistentReadOnly = enums::eValue | enums::ePersistent;
// Persistent setting that clients may change (14).
constexpr unsigned long long c_setting = enums::eValue | enums::eWritable | enums::ePersistent;

// The same roles on nodes carried for clients with the auxiliary bit: a
// branch or command (64), a value read only (66), a value clients may change
// (70) and a persistent setting (78).
constexpr unsigned long long c_aux = enums::eAux;
constexpr unsigned long long c_auxReadOnly = enums::eAux | c_readOnly;
constexpr unsigned long long c_auxWritable = enums::eAux | c_writable;
constexpr unsigned long long c_auxSetting = enums::eAux | c_setting;

static_assert(c_branch == 0, "branch");
static_assert(c_readOnly == 2, "read-only value");
static_assert(c_writable == 6, "writable value");
static_assert(c_persistentReadOnly == 10, "persistent read-only value");
static_assert(c_setting == 14, "setting");
static_assert(c_aux == 64, "auxiliary branch or command");
static_assert(c_auxReadOnly == 66, "auxiliary read-only value");
static_assert(c_auxWritable == 70, "auxiliary writable value");
static_assert(c_auxSetting == 78, "auxiliary setting");

} // namespace flags
} // namespace mci
