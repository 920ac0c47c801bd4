#pragma once
// Reading of a FIR coefficient file: one unsigned 32-bit coefficient per
// line, decimal, or hexadecimal after "0x" (lower-case x). Lines are trimmed
// of surrounding white space; empty lines and lines starting with "#" carry
// no coefficient. A number is read as a formatted stream extraction of an
// unsigned integer reads it (a leading minus wraps modulo 2^32, text after
// the number is ignored). Reading ends at the first line without a number.

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

struct FirCoefficients {
    // Coefficients in file order, up to the first line without a number.
    std::vector<uint32_t> values;
    // Number (from 1) of the first line without a number; 0 when none.
    unsigned bad_line = 0;
    // That line, trimmed.
    std::string bad_text;
};

FirCoefficients ReadFirCoefficients(std::istream& in);
