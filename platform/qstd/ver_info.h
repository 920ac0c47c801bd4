#pragma once
// The program's version stamp, registered once at start.

#include <string>

namespace qstd {

class VerInfo {
public:
    struct Data {
        int major = 0;
        int minor = 0;
        int build = 0;
        int revision = 0;
        std::string text;
        std::string compiler;
        std::string buildTime;
        std::string buildMachine;
        std::string buildUser;
    };

    static void Init(int major, int minor, int build, int revision, const char* text, const char* compiler,
                     const char* buildTime, const char* buildMachine, const char* buildUser);
    static const Data& Get();
    static bool Initialised();
    // "2.9-62--r20632" style summary.
    static std::string VersionText();
};

} // namespace qstd
