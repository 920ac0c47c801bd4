// A client on another ORB (Combat, in Tcl) calls the remote interface: the
// interface stays callable by any CORBA client, the one-shot read included.

#include "remote_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

using namespace remotetest;

namespace {

std::string Output(const std::string& command)
{
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), p)) > 0;) {
            out.append(buffer, n);
        }
        ::pclose(p);
    }
    return out;
}

TEST(RemoteOtherOrb, TclClientListsReadsAndIsRefusedWithTheServersMessage)
{
    ASSERT_EQ(0, std::system("echo 'package require combat' | tclsh >/dev/null 2>&1"))
        << "tclsh with the Combat ORB (Debian's tcl-combat, installed by scripts/dev.sh) is needed";
    Server server;
    // ctest names the tests' data folder; run by hand, the sources hold the build folder.
    const char* data = std::getenv("ZV_TEST_DATA");
    const std::string tests = data && *data ? std::string(data) + "/.."
                                            : ToolPath().substr(0, ToolPath().rfind("/../tools/")) + "/../../../tests";
    const std::string script = tests + "/platform/remote/tcl/remote_client.tcl";
    EXPECT_EQ("children: synchronize_lmt custom clock_info name arr reset fail block tim signals\n"
              "custom: fofb_switch\n"
              "atoms: 2 short_values: 40 41 42 43 44 45 46 47 meta: {id 0 value 10}\n"
              "refused: qsig: Can't read signal signals.adc in access mode 13: that mode reads ahead, forward it "
              "instead (OpenSignal)\n",
              Output("tclsh '" + script + "' " + server.Address() + " 2>&1"));
}

} // namespace
