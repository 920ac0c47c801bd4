// Entry point of the zemtra-vuna application server.
#include "platform/qapp/zemtra_application.h"
#include "platform/qapp/zemtra_board.h"
#include "platform/qboard/tim_board.h"
#include "platform/qstd/log.h"
#include "platform/qstd/ver_info.h"

#include <memory>

namespace {

// The framework application on its own: the timing board and a plain board
// object for every other board of the chassis.
class FrameworkApplication : public virtual qapp::ZemtraApplication {
public:
    FrameworkApplication() : qapp::ZemtraApplication("zemtra-vuna", true, true) {}

    std::string ApplicationName() const override { return "zemtra-vuna"; }

    qapp::ZemtraBoard* CreateBoard(const bmc::Board* board) override
    {
        qapp::ZemtraBoard* made = nullptr;
        switch (board->GetType()) {
        case bmc::eBoardTim:
            made = new qboard::TimBoard(*this, board, qboard::TimBoard::c_evtDesc,
                                        qfeature::TimTriggerGeneration::c_trigConfigurations, nullptr, false);
            break;
        case bmc::eBoardEvrx:
            made = new qboard::EvrxBoard(*this, board, qboard::TimBoard::c_evtDesc,
                                         qfeature::TimTriggerGeneration::c_trigConfigurations, nullptr);
            break;
        default:
            made = new qapp::ZemtraBoard(*this, board);
            break;
        }
        QueryChild(made);
        return made;
    }
};

} // namespace

int main(int argc, char** argv)
{
    qstd::LogInfo("zemtra-vuna " + qstd::VerInfo::VersionText());
    auto application = std::make_shared<FrameworkApplication>();
    return application->Run(argc, argv) ? 0 : 1;
}
