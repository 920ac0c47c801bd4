#pragma once
// One serial magnet output of the GDX board ("m1" to "m4"): where its fields
// lie in the serial-output registers that the four outputs share, and its
// part of the register tree (magnet id, enable, value source, the manual and
// the feedback values).

#include "platform/mci/tree_node.h"

#include <cstdint>
#include <string>

// Source of the value an output sends.
enum SourceSelector_e : uint32_t { eSourceOff = 0, eSourceFofb = 1, eSourceManual = 2 };

class MagnetConfig {
public:
    MagnetConfig(const std::string& name, volatile uint64_t& value, volatile uint32_t& idWord, const unsigned& idPos,
                 volatile uint32_t& enableWord, const unsigned& enablePos, volatile uint32_t& sourceWord,
                 const unsigned& sourcePos);

    // Adds the output's branch and its nodes under parent.
    void DefineRegistry(mci::TreeNodePtr& parent);

    const std::string& GetName() const { return m_name; }

private:
    std::string m_name;
    volatile uint64_t& m_value;
    volatile uint32_t& m_id_word;
    unsigned m_id_pos;
    volatile uint32_t& m_enable_word;
    unsigned m_enable_pos;
    volatile uint32_t& m_source_word;
    unsigned m_source_pos;
};
