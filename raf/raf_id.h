#pragma once
// Clock and decimation identification of a RAF board: the FPGA reports the
// ADC frequency, the decimations of the signal chain and the harmonic
// number in a small read-only block. The block is read once, at
// construction; the TBT, RF, IF and NCO values are derived from it and every
// value is served from the object's own members afterwards.
//
// Block (48 bytes, unsigned 32-bit words at byte offsets):
//   0x00 ADC frequency          0x08 TBT decimation
//   0x10 FIR decimation         0x14 CIC decimation
//   0x18 SA decimation          0x20 switching decimation
//   0x28 harmonic number

#include "platform/qapp/zemtra_board.h"
#include "platform/qapp/zemtra_fpga_object.h"

#include <cstdint>
#include <string>

// The clock values of a RAF board: the seven words of its block and the
// four frequencies derived from them. The board's RafIdSpecific holds them,
// and so does the application, as the values that all RAF boards share.
class RafClockValues {
protected:
    uint32_t m_adc_freq = 0;
    uint32_t m_tbt_decimation = 0;
    uint32_t m_fa_decimation = 0;
    uint32_t m_cic_decimation = 0;
    uint32_t m_fir_decimation = 0;
    uint32_t m_sa_decimation = 0;
    uint32_t m_sw_decimation = 0;
    uint32_t m_harmonic_number = 0;
    double m_tbt_freq = 0.0;
    double m_rf_freq = 0.0;
    double m_if_freq = 0.0;
    double m_nco_freq = 0.0;
};

class RafIdSpecific : public qapp::ZemtraFpgaObject, protected RafClockValues {
public:
    static constexpr int c_blockSize = 0x30;

    static constexpr size_t c_adc_freq = 0x00;
    static constexpr size_t c_tbt_decimation = 0x08;
    static constexpr size_t c_fir_decimation = 0x10;
    static constexpr size_t c_cic_decimation = 0x14;
    static constexpr size_t c_sa_decimation = 0x18;
    static constexpr size_t c_sw_decimation = 0x20;
    static constexpr size_t c_harmonic_number = 0x28;

    // Throws "Invalid FPGA value for TBT decimation" when the block reports a
    // TBT decimation of 0.
    RafIdSpecific(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name);
    ~RafIdSpecific() override = default;

    uint32_t GetADCFrequency() const { return m_adc_freq; }
    uint32_t GetTbtDecimation() const { return m_tbt_decimation; }
    uint32_t GetFADecimation() const { return m_fa_decimation; }
    uint32_t GetSADecimation() const { return m_sa_decimation; }
    uint32_t GetSwitchDecimation() const { return m_sw_decimation; }
    uint32_t GetFIRDecimation() const { return m_fir_decimation; }
    uint32_t GetCICDecimation() const { return m_cic_decimation; }
    uint32_t GetHarmonicNumber() const { return m_harmonic_number; }
    double GetTbtFrequency() const { return m_tbt_freq; }
    double GetRFFrequency() const { return m_rf_freq; }
    double GetIFFrequency() const { return m_if_freq; }
    double GetNcoFrequency() const { return m_nco_freq; }
    const RafClockValues& GetClockValues() const { return *this; }

    // True when any of the seven values read from the block differs (the
    // derived values follow from them and are not compared).
    bool operator!=(const RafIdSpecific& other) const;

    // Read-only nodes of every value under the object's node.
    void OnRegistryAdd(mci::TreeNodePtr& node) override;

private:
    volatile FPGAMem_t* m_base;
};
