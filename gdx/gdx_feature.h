#pragma once
// Identification of the user logic that the GDX FPGA carries ("feature"):
// the userblock type, the low byte of the block's first word. The GDX board
// reads it first and builds its other blocks from it.
//
// Block (8 bytes): 0x00 bits 0-7 userblock type; bits 8-31 are not used.

#include "platform/qapp/zemtra_board.h"
#include "platform/qapp/zemtra_fpga_object.h"

#include <string>

// Userblock types; the FPGA may report values without a name.
enum eGDXUserblockType_e : unsigned {
    eUbAlpha = 0, // base userblock, register map from XML
    eUbTest = 1,  // SFP test userblock, register map from XML
    eUbBeta = 2,  // feedback and one Ethernet streamer "gbe"
    eUbGamma = 3, // one Ethernet streamer "gbe_orbit"
    eUbDelta = 4, // feedback, orbit and magnet streamers, serial outputs
};

class GdxFeature : public qapp::ZemtraFpgaObject {
public:
    static constexpr int c_blockSize = 0x8;
    // Width of the userblock field.
    static constexpr unsigned c_feature_bits = 8;

    // Stores the block; touches no register.
    GdxFeature(qapp::ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name);
    ~GdxFeature() override;

    // Read from the FPGA at every call.
    eGDXUserblockType_e GetUserblock() const;

    // "userblock": the enum bit field over word 0x00, read-only.
    void OnRegistryAdd(mci::TreeNodePtr& node) override;

private:
    volatile FPGAMem_t* m_block;
};
