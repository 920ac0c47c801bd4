// Entry point of the zemtra-vuna application server.
#include "app/vuna_application.h"

#include <memory>

int main(int argc, char** argv)
{
    auto application = std::make_shared<VunaApplication>();
    return application->Run(argc, argv) ? 0 : 1;
}
