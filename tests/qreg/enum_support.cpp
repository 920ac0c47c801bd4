#include "test_enums.h"

template <>
qstd::BiMap<regtest::Switch_e> qstd::EnumMap<regtest::Switch_e>::items = {
    {regtest::eOn, "on"}, {regtest::eOff, "off"}, {regtest::eHw, "hw"}};

template <>
qstd::BiMap<regtest::Sparse_e> qstd::EnumMap<regtest::Sparse_e>::items = {
    {regtest::eOne, "one"}, {regtest::eTwo, "two"}, {regtest::eFour, "four"}};

template <>
qstd::BiMap<regtest::Source_e> qstd::EnumMap<regtest::Source_e>::items = {{regtest::eInternal, "Internal"},
                                                                          {regtest::eExternal, "External"}};
