#pragma once
// Feedback state relay ("state" under "fofb", userblock 4): publishes the
// feedback state that the FPGA keeps in the grouping block's state word as
// the enum node "mode", and listens to the board's event stream on its own
// thread: state changes (event 3, and event 0 with the codes 1, 2, 3 and 5)
// emit "mode", buffer swaps (event 0 with code 4) make the feedback block
// republish its "actual" values and load its golden orbit again.
//
// The thread starts in OnPostConfig and ends when its client can no longer
// read: at the shutdown of the board's event stream, or when the relay is
// destroyed (the destructor cancels the client, so it never waits on a
// stream that is still running).

#include "platform/mci/tree_node.h"
#include "platform/qapp/zemtra_feature.h"
#include "platform/qsig/zemtra_event_stream.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class FOFB;

// Feedback state in bits 2..0 of the state word.
enum fsmState_e : uint32_t { eFsmOff = 1, eFsmOn = 2, eFsmStandby = 4 };

class FofbStateMachine : public qapp::ZemtraFeature {
public:
    static constexpr const char* c_client_name = "fofb_state_machine_event_client";
    // Event ids and the codes of event 0.
    static constexpr uint64_t c_event_state = 0;
    static constexpr uint64_t c_event_interlock = 3;
    static constexpr uint64_t c_code_double_buffer = 4;

    // parent: the feedback block (events of id 0 with code 4 are ignored when
    // it is not one); state: the FPGA's feedback state word.
    FofbStateMachine(qapp::ZemtraObject& parent, const std::string& name, volatile uint32_t& state,
                     qsig::ZemtraEventStream* events);
    ~FofbStateMachine() override;

    // The whole state word, bits above bit 2 included.
    bool GetState(fsmState_e& state) const;

    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    // Starts the relay thread (once).
    void OnPostConfig() override;

    // Ends the relay thread and joins it; later OnPostConfig calls start
    // nothing.
    void Stop();

private:
    void StateMonitor();
    void EmitMode();

    FOFB* m_fofb;
    volatile uint32_t& m_state;
    qsig::ZemtraEventStream* m_events;

    std::mutex m_mode_mutex;
    mci::Node m_mode;

    // Guards the client's creation against its cancellation.
    std::mutex m_client_mutex;
    bool m_stopping = false;
    std::unique_ptr<qsig::ZemtraEventStream::Client> m_client;
    std::thread m_thread;
};
