#pragma once
// Enumerations with name tables for the register node tests.

#include "platform/qstd/enum_map.h"

namespace regtest {

// Filled out of value order on purpose.
enum Switch_e : int { eOff = 0, eOn = 1, eHw = 2 };

// Values with gaps.
enum Sparse_e : int { eOne = 1, eTwo = 2, eFour = 4 };

enum Source_e : int { eInternal = 0, eExternal = 1 };

} // namespace regtest

// Name tables, defined in enum_support.cpp.
template <> qstd::BiMap<regtest::Switch_e> qstd::EnumMap<regtest::Switch_e>::items;
template <> qstd::BiMap<regtest::Sparse_e> qstd::EnumMap<regtest::Sparse_e>::items;
template <> qstd::BiMap<regtest::Source_e> qstd::EnumMap<regtest::Source_e>::items;
