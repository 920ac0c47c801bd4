// Reading of FIR coefficient files.
#include "acquisition/fir_file.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

TEST(FirFile, LinesAsAFormattedStreamReadsThem)
{
    const struct {
        const char* text;
        std::vector<uint32_t> values;
        unsigned badLine;
        const char* badText;
    } cases[] = {
        // Comment, empty line and a trimmed hexadecimal number: one coefficient.
        {"  # comment\n\n 0x1F ", {31}, 0, ""},
        {"012\n0X1F\n17 some words\n-1\n", {12, 0, 17, 4294967295u}, 0, ""},
        {"1\r\n2\r\n", {1, 2}, 0, ""},
        // Reading ends at the first line without a number; every line counts.
        {"1\n# c\n\n2\n  abc def \n3\n", {1, 2}, 5, "abc def"},
        {"4294967296\n", {}, 1, "4294967296"},
        {"0x\n", {}, 1, "0x"},
        {"", {}, 0, ""},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.text);
        const FirCoefficients fir = ReadFirCoefficients(in);
        EXPECT_EQ(c.values, fir.values) << c.text;
        EXPECT_EQ(c.badLine, fir.bad_line) << c.text;
        EXPECT_EQ(c.badText, fir.bad_text) << c.text;
    }
}

} // namespace
