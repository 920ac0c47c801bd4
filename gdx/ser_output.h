#pragma once
// Serial magnet outputs of the GDX board ("ser_output", userblock 4): four
// serial links to corrector power supplies ("m1" to "m4"), each sending the
// feedback's value, a value set by hand or nothing, tagged with an 8-bit
// magnet id; the line rate follows from four 16-bit prescalers. "mode" tells
// whether the outputs run automatically (the feedback is on) or by hand.

#include "gdx/magnet_config.h"
#include "platform/fpga/fpga_access.h"
#include "platform/qapp/zemtra_fpga_object.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class FofbStateMachine;

enum soMode_e : uint32_t { eSoAuto = 0, eSoManual = 1 };

class SerOutput : public qapp::ZemtraFpgaObject {
public:
    static constexpr std::size_t c_blockSize = 0x40;
    static constexpr std::size_t c_outputs = 4;
    // Register block: enables (bit k-1 of output k), the 64-bit prescaler
    // word (A, B, C, D from bit 0), ids (8 bits each), sources (3 bits each)
    // and the 64-bit value words of m1 to m4.
    static constexpr std::size_t c_enable = 0x00;
    static constexpr std::size_t c_prescaler = 0x08;
    static constexpr std::size_t c_id = 0x10;
    static constexpr std::size_t c_source = 0x18;
    static constexpr std::size_t c_value = 0x20; // + 8 (k - 1)
    static constexpr uint32_t c_all_enabled = 0xF;
    static constexpr uint32_t c_default_prescalers = 0x00640064; // 100 in each half
    static constexpr double c_line_clock = 161960000.0;

    // state: the feedback state relay, or null ("mode" is then "manual").
    SerOutput(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name, FofbStateMachine* state);
    ~SerOutput() override;

    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    // All four outputs disabled.
    void OnShutdown() override;

    // "auto" only while the whole state word is 2 ("on").
    bool GetMode(soMode_e& mode) const;
    // Line clock over the mean of the four prescalers, in symbols per second.
    bool GetBaudRate(double& rate) const;

private:
    volatile FPGAMem_t* m_base;
    FofbStateMachine* m_state;
    std::array<MagnetConfig, c_outputs> m_magnets;
};
