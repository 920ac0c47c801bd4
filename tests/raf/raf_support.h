#pragma once
// A whole RAF board on a simulated board of its own, outside a running
// chassis, with the register tree of one of its objects as a client sees it.

#include "app/board_fixture.h"
#include "app/raf_board.h"
#include "platform/fpga/fpga_access.h"
#include "platform/mci/client_access.h"
#include "platform/qapp/zemtra_application.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace raftest {

// The message of a client write's refusal, or "taken".
std::string Refusal(mci::ClientAccess& client, const std::string& path, long long value);

// Records the 32-bit writes to a region (byte offset, value) and lets them
// reach memory; unplugged at destruction.
class WriteRecorder : public fpga::RegisterModel {
public:
    WriteRecorder(volatile FPGAMem_t* begin, size_t size);
    ~WriteRecorder() override;
    bool Read32(size_t, uint32_t&) override { return false; }
    bool Write32(size_t offset, uint32_t value) override;
    std::vector<std::pair<size_t, uint32_t>> Writes() const;

private:
    volatile FPGAMem_t* m_begin;
    mutable std::mutex m_mutex;
    std::vector<std::pair<size_t, uint32_t>> m_writes;
};

class RafFixture : public apptest::BoardFixture<RafBoard> {
public:
    RafFixture() : apptest::BoardFixture<RafBoard>(sim::c_typeRaf, "raf3", "3") {}
    ~RafFixture() { SetState(qapp::ZemtraApplication::eStateCreated); }

    // Builds the board (once) and the nodes of its object of that name.
    mci::ClientAccess Tree(const std::string& object);
    // The register at an offset of the board's FPGA space.
    volatile FPGAMem_t* Fpga(size_t offset) { return Sim().Memory() + offset; }
    void SetState(qapp::ZemtraApplication::State_e state) { App().SetState(state); }

private:
    bool m_built = false;
};

} // namespace raftest
