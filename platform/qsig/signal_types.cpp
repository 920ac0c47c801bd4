#include "platform/qsig/signal_types.h"

namespace qsig {

const SignalMeta c_noMeta{};

std::ostream& operator<<(std::ostream& os, SuccessCode_e code)
{
    const char* text = "unknown";
    switch (code) {
    case eSuccess:
        text = "success";
        break;
    case eBadRequest:
        text = "bad request";
        break;
    case eIncompleteData:
        text = "incomplete data";
        break;
    case eTimeout:
        text = "timeout";
        break;
    case eNotOpen:
        text = "not open";
        break;
    case eCancelled:
        text = "cancelled";
        break;
    case eRefused:
        text = "refused";
        break;
    case eTryAgain:
        text = "try again";
        break;
    case eDerivedError:
        text = "error";
        break;
    }
    return os << static_cast<int>(code) << " (" << text << ")";
}

std::ostream& operator<<(std::ostream& os, StreamState state)
{
    const char* text = "unknown";
    switch (state) {
    case eIdle:
        text = "idle";
        break;
    case eStarting:
        text = "starting";
        break;
    case eRunning:
        text = "running";
        break;
    case eStopping:
        text = "stopping";
        break;
    case eShutDown:
        text = "shut down";
        break;
    }
    return os << text;
}

std::ostream& operator<<(std::ostream& os, const SignalStatItem& item)
{
    return os << item.name << ": " << item.first << ", " << item.second << " (atom " << item.atomSize << " bytes)";
}

std::ostream& operator<<(std::ostream& os, const SignalStats& stats)
{
    for (const auto& row : stats) {
        os << row << '\n';
    }
    return os;
}

} // namespace qsig
