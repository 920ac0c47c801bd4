#include "acquisition/fir_file.h"

#include "platform/qstd/util.h"

#include <sstream>

FirCoefficients ReadFirCoefficients(std::istream& in)
{
    FirCoefficients result;
    std::string line;
    unsigned number = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::string text = qstd::TrimString(line);
        if (text.empty() || text[0] == '#') {
            continue;
        }
        std::istringstream parse(text);
        if (text.compare(0, 2, "0x") == 0) {
            parse >> std::hex;
        }
        unsigned int value = 0;
        if (!(parse >> value)) {
            result.bad_line = number;
            result.bad_text = text;
            break;
        }
        result.values.push_back(value);
    }
    return result;
}
