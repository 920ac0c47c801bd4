#pragma once
// Fast orbit feedback block of the GDX board ("fofb"): the SU matrix (BPM
// positions to eigenmodes), the V matrix (eigenmodes to corrector magnets),
// the golden orbit, the P and I gains of each eigenmode's PI controller, the
// mask and ids of the magnets that receive the result, the feedback switch
// and the axis. The block keeps a software copy of every table it uploads,
// loads matrices and orbit through data ports and reads back what the FPGA
// actually uses.
//
// Locks: the upload mutex guards the software tables (matrices, orbit,
// gains, mask) together with their uploads, so a table never changes while
// it is being transferred and every data-port transfer (bit-2 pulse and the
// port accesses after it) is one uninterrupted sequence; the magnet-id mutex
// guards the ids with their rewrite. Neither is held while the other is
// taken. SetMagnetMask calls into the board (magnet streamer payload) with
// the upload mutex held: upload mutex before the streamer's mutex.

#include "gdx/gdx_feature.h"
#include "platform/fpga/fpga_access.h"
#include "platform/mci/tree_node.h"
#include "platform/qapp/zemtra_fpga_object.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class GdxBoard;

// The feedback switch: software-controlled on or off, or hardware control.
enum FoFbControl_e : uint32_t { eFofbOff = 0, eFofbOn = 1, eFofbHw = 2 };
enum FoFbAxis_e : uint32_t { eFofbAxisX = 0, eFofbAxisY = 1 };

class FOFB : public qapp::ZemtraFpgaObject {
public:
    static constexpr std::size_t c_blockSize = 0x8010;
    static constexpr std::size_t c_saturation_length = 4;
    static constexpr uint32_t c_fa_clk_def_duration = 8000;
    static constexpr std::size_t c_bpms = 256;
    // Eigenmodes and magnets of userblock type 2, and of the others.
    static constexpr std::size_t c_dim_beta = 128;
    static constexpr std::size_t c_dim_other = 88;

    // Register block (byte offsets; registers 8 bytes apart).
    static constexpr std::size_t c_control = 0x0000; // bit 0 block, 1 PI, 2 data-port reset
    static constexpr std::size_t c_sw_control = 0x0008;
    static constexpr std::size_t c_switch = 0x0010;
    static constexpr std::size_t c_axis = 0x0018;
    static constexpr std::size_t c_num_bpms = 0x0020;
    static constexpr std::size_t c_num_eigenmodes = 0x0028;
    static constexpr std::size_t c_golden_port = 0x0030;
    static constexpr std::size_t c_mask_high = 0x0038; // magnets 64 to 127
    static constexpr std::size_t c_mask_low = 0x0040;  // magnets 0 to 63
    static constexpr std::size_t c_saturation = 0x0048;
    static constexpr std::size_t c_first_magnet = 0x0050;
    static constexpr std::size_t c_su_port = 0x0400;   // + 8 j
    static constexpr std::size_t c_p_gain = 0x0800;    // + 8 i
    static constexpr std::size_t c_i_gain = 0x0C00;    // + 8 i
    static constexpr std::size_t c_v_port = 0x1000;    // + 8 m
    static constexpr std::size_t c_magnet_id = 0x1400; // + 8 m
    static constexpr std::size_t c_fa_clk_duration = 0x8000;
    static constexpr std::size_t c_reset_magnet_counter = 0x8008;
    static constexpr std::size_t c_stride = 8;
    static constexpr uint32_t c_block_reset = 0x1;
    static constexpr uint32_t c_pi_reset = 0x2;
    static constexpr uint32_t c_port_reset = 0x4;

    // userblock: the GDX userblock type ("beta" gives 128 eigenmodes and
    // magnets, the others 88).
    FOFB(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name, eGDXUserblockType_e userblock);
    ~FOFB() override;

    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    // Userblock 4: trigger 0 of the timing board sends code 4 from the
    // backplane source.
    void OnPostConfig() override;
    // Userblock 4: the golden orbit and gains in use are copied back.
    void OnShutdown() override;

    // Trigger 0 of the timing board carries the feedback's code from the
    // backplane while userblock 4 runs.
    static constexpr unsigned c_fofb_trigger = 0;
    static constexpr unsigned c_fofb_trigger_code = 4;
    static constexpr unsigned c_backplane_source = 3;
    // Sets trigger 0 to code 4 and source 3, then restores a code other than
    // 4 that was read before; a code that could not be read is not restored.
    // Trigger: the timing board's trigger generation (GetTriggerCode,
    // SetTriggerCode, SetTriggerSource).
    template <typename Trigger> static void ProgramTrigger(Trigger& trigger)
    {
        unsigned code = 0;
        const bool read = trigger.GetTriggerCode(c_fofb_trigger, code);
        if (!read || code != c_fofb_trigger_code) {
            trigger.SetTriggerCode(c_fofb_trigger, c_fofb_trigger_code);
        }
        trigger.SetTriggerSource(c_fofb_trigger, c_backplane_source);
        if (read && code != c_fofb_trigger_code) {
            trigger.SetTriggerCode(c_fofb_trigger, code);
        }
    }

    bool GetFoFbControl(FoFbControl_e& value) const;
    bool SetFoFbControl(const FoFbControl_e& value);
    bool GetAxis(FoFbAxis_e& value) const;
    bool SetAxis(const FoFbAxis_e& value);

    size_t GetSuMatrix(int32_t* values, size_t pos, size_t count) const;
    bool SetSuMatrix(const int32_t* values, size_t pos, size_t count);
    size_t GetVMatrix(int32_t* values, size_t pos, size_t count) const;
    bool SetVMatrix(const int32_t* values, size_t pos, size_t count);
    size_t GetGoldenOrbit(int32_t* values, size_t pos, size_t count) const;
    bool SetGoldenOrbit(const int32_t* values, size_t pos, size_t count);
    size_t GetActualGoldenOrbit(int32_t* values, size_t pos, size_t count) const;

    size_t GetPgain(uint32_t* values, size_t pos, size_t count) const;
    bool SetPgain(const uint32_t* values, size_t pos, size_t count);
    size_t GetIgain(uint32_t* values, size_t pos, size_t count) const;
    bool SetIgain(const uint32_t* values, size_t pos, size_t count);
    size_t GetActualPgain(uint32_t* values, size_t pos, size_t count) const;
    size_t GetActualIgain(uint32_t* values, size_t pos, size_t count) const;

    size_t GetMagnetMask(uint32_t* values, size_t pos, size_t count) const;
    bool SetMagnetMask(const uint32_t* values, size_t pos, size_t count);
    size_t GetMagnetId(uint32_t* values, size_t pos, size_t count) const;
    bool SetMagnetId(const uint32_t* values, size_t pos, size_t count);
    size_t GetSaturation(uint32_t* values, size_t pos, size_t count) const;
    bool ResetSaturation();
    bool PiReset();
    // Resets the magnet link's SFP (the board's SFP control).
    bool MagnetReconnect();

    // Arms the reset of the magnet counters at the coming synchronisation.
    void AnnounceResetMagnetCounter();
    // Pulses the block, PI and data-port resets together.
    void Reset();
    // The FPGA has swapped its buffers: the "actual" nodes are emitted and
    // the golden orbit is loaded again.
    void OnDoubleBufferEvent();

    void UpdateFpgaGoldenOrbit();
    // The golden orbit the FPGA uses, sign-extended from 21 bits.
    void RetrieveActualGoldenOrbit(std::vector<int>& orbit) const;

    unsigned GetEigenmodes() const { return m_fofb_eigenmodes; }

private:
    // These expect the upload mutex held.
    void UpdateFpgaSuMatrix();
    void UpdateFpgaVMatrix();
    void UploadGoldenOrbit();
    void ApplyGain(std::size_t offset, const std::vector<uint32_t>& gains);
    void ReadBackGoldenOrbit(std::vector<int>& orbit) const;
    void PulsePortReset() const;
    // Expects the magnet-id mutex held (or the constructor).
    void UpdateMagnetIds();
    // Copies count elements of table from pos into values (within the table;
    // a range beyond it is reported as bound, failed in function).
    template <typename T>
    static size_t CopyOut(const std::vector<T>& table, T* values, size_t pos, size_t count, const char* bound,
                          const char* function);
    template <typename T>
    static void CopyIn(std::vector<T>& table, const T* values, size_t pos, size_t count, const char* bound,
                       const char* function);

    volatile FPGAMem_t* m_base;
    GdxBoard* m_board;
    const eGDXUserblockType_e m_userblock;
    const unsigned m_fofb_eigenmodes;
    const unsigned m_fofb_magnets;
    unsigned m_su_row_dim;
    unsigned m_su_col_dim;
    unsigned m_v_row_dim;
    unsigned m_v_col_dim;

    mutable std::mutex m_upload_mutex;
    std::vector<int32_t> m_GoldenOrbit;
    std::vector<int32_t> m_SuMatrix;
    std::vector<int32_t> m_VMatrix;
    std::vector<bool> m_MagnetMask;
    std::vector<uint32_t> m_p_gain;
    std::vector<uint32_t> m_i_gain;

    mutable std::mutex m_magnet_id_mutex;
    std::vector<uint32_t> m_magnet_id;

    mci::Node m_actual_golden_orbit;
    mci::Node m_actual_p_gain;
    mci::Node m_actual_i_gain;
};
