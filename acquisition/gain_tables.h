#pragma once
// The gain controller's two tables, one row per whole dBm of input power from
// -100 to 30 (row i is the level i - 100 dBm), and their files.
//
// Attenuator table ("gain" + board id + ".conf" in the configuration
// directory, provided by the instrument's configuration): text, one entry
// per line, "power attenuator hysteresis" (dBm, 0-31, 0.0-1.0 dB). Leading
// white space is skipped; an empty line or one starting with '#' is a
// comment; lines are counted from 1, comments included; text after the three
// fields is ignored; a later line for a level replaces an earlier one. The
// first bad line ends the reading. The levels read must form one run without
// gaps that includes 0 dBm; levels outside the run take the nearest end row.
//
// Compensation table ("lastgood" + board id + ".dat"): the 131 rows of
// tCompensationEntry as one block of 33536 bytes, rising power level first,
// each double in IEEE 754 little-endian form; longer files are read up to
// that size. A table is taken only when every gain is a finite positive
// number and every phase finite.

#include "raf/compensation_entry.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

constexpr int c_lowestPowerLevel = -100;
constexpr int c_highestPowerLevel = 30;
constexpr unsigned c_powerLevels = c_highestPowerLevel - c_lowestPowerLevel + 1;

struct tAttLevel {
    uint32_t att;
    double hysteresis;
};

using AttTable = std::array<tAttLevel, c_powerLevels>;
using CompTable = std::array<tCompensationEntry, c_powerLevels>;

constexpr size_t c_compTableBytes = sizeof(tCompensationEntry) * c_powerLevels;
static_assert(c_compTableBytes == 33536, "the compensation file is 131 entries of 256 bytes");

// Limits of an attenuator table entry.
constexpr uint32_t c_attMax = 31;
constexpr double c_hysteresisMax = 1.0;
// Largest attenuator table file read (131 lines take a few kilobytes).
constexpr size_t c_maxAttTableBytes = 1 << 20;

// Parses the text of an attenuator table; name is the file name used in the
// messages. On success fills all 131 rows and returns true; otherwise traces
// the reason at level 1 and leaves the table unchanged.
bool ParseAttTable(const std::string& text, const std::string& name, AttTable& table);

// Reads and parses the attenuator table file; false (traced) when it cannot
// be opened, is not a regular file of at most c_maxAttTableBytes, or is
// refused. Here and below, a link under the file's name may lead only to a
// file of the same folder.
bool ReadAttTableFile(const std::string& path, AttTable& table);

// Decodes a compensation table from the first c_compTableBytes of data.
// False for fewer bytes or a table that fails the checks above (why says
// which value, when given); the table is then unchanged.
bool DecodeCompTable(const unsigned char* data, size_t size, CompTable& table, std::string* why = nullptr);
// The file form of a table (c_compTableBytes bytes at out).
void EncodeCompTable(const CompTable& table, unsigned char* out);

// Reads a compensation table file into table: false when it cannot be
// opened (nothing traced), is not a regular file, is short or fails the
// checks (traced at level 2); the table is then unchanged.
bool ReadCompTableFile(const std::string& path, CompTable& table);
// Writes the table to a new temporary file beside path and renames it over
// path, so that a reader never sees a half-written table; false on any
// failure (path then unchanged).
bool WriteCompTableFile(const std::string& path, const CompTable& table);

// Every row the unit entry.
void InitCompTable(CompTable& table);
