#pragma once
// Beam position of a RAF board ("beam"): while "enabled" is true, a thread
// reads the board's "sa" stream one atom at a time and writes the atom's X
// and Y into "position/X" and "position/Y", so clients can read or watch the
// beam position without opening a signal. Enabling is possible only while
// the application runs.
//
// The thread's client is made and opened by the enable setter before the
// thread starts: a disable that follows at once always finds the client to
// cancel, so its join never waits for a read that nobody ends.

#include "acquisition/tbt_atoms.h"
#include "platform/mci/tree_node.h"
#include "platform/qapp/zemtra_feature.h"
#include "qsig/stream.h"
#include "qsig/stream_client.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class RafBoard;

class BeamInfo : public qapp::ZemtraFeature {
public:
    using SaStream = qsig::Stream<SaFaTraits>;

    static const char* const c_client_name;
    static constexpr unsigned c_queue = 64;

    BeamInfo(RafBoard& board, const std::string& name);
    ~BeamInfo() override;

    // "enabled", then "position" with "X" and "Y".
    void OnRegistryAdd(mci::TreeNodePtr& node) override;

    bool _GetEnabled(bool& value) const;
    // Refused (false) unless the application runs. true starts the thread;
    // false cancels its client, joins it and sets X and Y to 0.
    bool _SetEnabled(const bool& value);

private:
    SaStream* GetSaStream() const;
    void SaThread();
    void StopThread(SaStream* stream);

    RafBoard& m_board;
    std::thread m_thread;
    std::atomic<bool> m_enabled{false};
    mci::Node m_x_node;
    mci::Node m_y_node;
    std::unique_ptr<qsig::StreamClient<SaFaTraits>> m_client;
    // Serialises the enable setter: one thread and one client at a time.
    std::mutex m_mutex;
};
