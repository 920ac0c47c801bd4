#include "platform/qstd/ver_info.h"

namespace qstd {

namespace {
// Function-local statics: Init runs before other static initialisation.
VerInfo::Data& Storage()
{
    static VerInfo::Data data;
    return data;
}
bool& InitFlag()
{
    static bool flag = false;
    return flag;
}
} // namespace

void VerInfo::Init(int major, int minor, int build, int revision, const char* text, const char* compiler,
                   const char* buildTime, const char* buildMachine, const char* buildUser)
{
    Data& d = Storage();
    d.major = major;
    d.minor = minor;
    d.build = build;
    d.revision = revision;
    d.text = text ? text : "";
    d.compiler = compiler ? compiler : "";
    d.buildTime = buildTime ? buildTime : "";
    d.buildMachine = buildMachine ? buildMachine : "";
    d.buildUser = buildUser ? buildUser : "";
    InitFlag() = true;
}

const VerInfo::Data& VerInfo::Get()
{
    return Storage();
}

bool VerInfo::Initialised()
{
    return InitFlag();
}

std::string VerInfo::VersionText()
{
    const Data& d = Storage();
    return std::to_string(d.major) + "." + std::to_string(d.minor) + "-" + std::to_string(d.build) + "--r" +
           std::to_string(d.revision);
}

} // namespace qstd
