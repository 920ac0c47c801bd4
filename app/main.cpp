// Entry point of the zemtra-vuna application server.
#include "platform/qstd/log.h"
#include "platform/qstd/ver_info.h"

#include <iostream>

int main(int /*argc*/, char** /*argv*/)
{
    std::cout << "zemtra-vuna " << qstd::VerInfo::VersionText() << std::endl;
    qstd::LogInfo("zemtra-vuna " + qstd::VerInfo::VersionText());
    return 0;
}
