#include "acquisition/beam_info.h"

#include "acquisition/signals.h"
#include "app/raf_board.h"
#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qreg/reg_value_node.h"
#include "platform/qstd/trace.h"
#include "qreg/reg_fnc_node.h"

#include <exception>

const char* const BeamInfo::c_client_name = "beam_info_client";

BeamInfo::BeamInfo(RafBoard& board, const std::string& name) : qapp::ZemtraFeature(board, name), m_board(board)
{
    QSTD_TRACE_FNC();
}

BeamInfo::~BeamInfo()
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_mutex);
    StopThread(GetSaStream());
}

void BeamInfo::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using mci::factory::Create;
    mci::TreeNodePtr position = Create<qreg::RegNode>("position", c_branch);
    mci::TreeNodePtr x = position->Add(Create<qreg::RegValueNode<int>>("X", 0, c_readOnly));
    mci::TreeNodePtr y = position->Add(Create<qreg::RegValueNode<int>>("Y", 0, c_readOnly));
    m_x_node = mci::Node(x, mci::c_noRelPath);
    m_y_node = mci::Node(y, mci::c_noRelPath);
    node->Add(
        Create<qreg::RegFncNode<bool>>("enabled", this, &BeamInfo::_SetEnabled, &BeamInfo::_GetEnabled, c_writable));
    node->Add(position);
}

BeamInfo::SaStream* BeamInfo::GetSaStream() const
{
    Signals* signals = m_board.GetSignals();
    return signals ? signals->GetSaStream() : nullptr;
}

bool BeamInfo::_GetEnabled(bool& value) const
{
    value = m_enabled.load();
    return true;
}

bool BeamInfo::_SetEnabled(const bool& value)
{
    QSTD_TRACE_FNC();
    if (GetApplicationState() != qapp::ZemtraApplication::eStateRunning) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (value == m_enabled.load()) {
        return true;
    }
    SaStream* stream = GetSaStream();
    if (value) {
        m_client = std::make_unique<qsig::StreamClient<SaFaTraits>>(stream, c_client_name, c_queue);
        const qsig::SuccessCode_e rc = m_client->Open();
        if (rc == qsig::eSuccess) {
            m_thread = std::thread(&BeamInfo::SaThread, this);
        } else {
            // As a thread that could not open: enabled, and nothing runs
            // until a disable and a new enable.
            QSTD_TRACE(1, c_client_name << ": can't open: " << rc);
        }
        m_enabled.store(true);
        return true;
    }
    StopThread(stream);
    m_x_node.SetValue(0, 0);
    m_y_node.SetValue(0, 0);
    m_enabled.store(false);
    return true;
}

void BeamInfo::StopThread(SaStream* stream)
{
    if (m_thread.joinable()) {
        // The client is open: the cancel ends its read at once.
        stream->Cancel(c_client_name);
        m_thread.join();
    }
    m_client.reset();
}

void BeamInfo::SaThread()
{
    QSTD_TRACE_FNC();
    try {
        for (;;) {
            SaFaAtom atom{};
            const qsig::SuccessCode_e rc = m_client->Read(atom);
            if (rc != qsig::eSuccess) {
                QSTD_TRACE(1, c_client_name << ": can't read: " << rc);
                break;
            }
            m_x_node.SetValue(static_cast<int>(atom.X), 0);
            m_y_node.SetValue(static_cast<int>(atom.Y), 0);
        }
    } catch (const std::exception& e) {
        QSTD_TRACE(1, c_client_name << ": " << e.what());
    }
    m_client->Close();
}
