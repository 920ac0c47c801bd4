#pragma once
// "tbt_window": the on-demand signal over the TBT DSP's debug RAM. Its atoms
// are not kept: every read asks the DSP for a fresh capture and copies the
// requested part of it. Once the DSP has shut down the signal holds no
// pointer to it and every read gives no atoms.

#include "platform/qsig/signal_traits.h"
#include "qsig/data_on_demand_local_source_base.h"
#include "qsig/dod_client.h"

#include <array>
#include <mutex>
#include <string>

class TurnByTurnDSP;

// The ADC atom: four 16-bit samples, "ChannelA" to "ChannelD" (one 64-bit
// word of the debug RAM, channel A in its low bits).
using AdcAtomTraits = qsig::SignalTraits<short, std::array<short, 4>, 1>;

class TbtWindowSignal : public qsig::DataOnDemandLocalSourceBase<AdcAtomTraits> {
public:
    TbtWindowSignal(const std::string& name, TurnByTurnDSP* tbt, const std::string& description);
    ~TbtWindowSignal() override;

    // Captures the debug RAM and fills buffer with its atoms from position
    // on; the buffer's size is the count asked for and, on return, the count
    // read (0 at or past the end, or after shutdown). Always success.
    qsig::SuccessCode_e Read(qsig::Array<AdcAtomTraits>& buffer, std::size_t position,
                             qsig::PosControllerPtr controller) override;

    // A client of this source; the source must be owned by a shared pointer.
    qsig::DodClient<AdcAtomTraits> CreateClient(const std::string& name);
    qsig::SignalClientBase* NewSignalClient(const std::string& name, unsigned length) override;

    // Lets go of the DSP; waits for a read in progress.
    void ShutDown() override;

private:
    std::mutex m_tbt_mutex; // guards m_tbt; held by a read while it uses the DSP
    TurnByTurnDSP* m_tbt;
};
