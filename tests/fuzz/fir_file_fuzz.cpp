// Fuzzes the reading of FIR coefficient files: any text is read into the
// coefficients before its first line without a number, and that line is
// reported with its number.

#include "acquisition/fir_file.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::istringstream in(text);
    const FirCoefficients fir = ReadFirCoefficients(in);
    // A bad line is a line of the text, with text on it; without one every
    // line was read.
    std::size_t lines = 0;
    for (char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    if (!text.empty() && text.back() != '\n') {
        ++lines;
    }
    if (fir.bad_line > lines || (fir.bad_line != 0 && fir.bad_text.empty()) || fir.values.size() > lines) {
        std::abort();
    }
    return 0;
}
