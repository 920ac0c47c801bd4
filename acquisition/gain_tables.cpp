#include "acquisition/gain_tables.h"

#include "platform/qstd/file.h"
#include "platform/qstd/trace.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Marks a scratch row that no line has given.
constexpr uint32_t c_missing = c_attMax + 1;

// One decimal integer as "%d" reads it (leading white space, optional sign),
// without overflowing: a value outside the 64-bit range reads as the bound
// of its sign, which every range check refuses.
bool ScanInteger(const char*& p, long long& value)
{
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(p, &end, 10);
    if (end == p) {
        return false;
    }
    value = v;
    p = end;
    return true;
}

// One real number as "%lf" reads it.
bool ScanReal(const char*& p, double& value)
{
    char* end = nullptr;
    const double v = std::strtod(p, &end);
    if (end == p) {
        return false;
    }
    value = v;
    p = end;
    return true;
}

uint64_t LoadLe64(const unsigned char* p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

void StoreLe64(uint64_t v, unsigned char* p)
{
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<unsigned char>(v >> (8 * i));
    }
}

double LoadDouble(const unsigned char* p)
{
    const uint64_t bits = LoadLe64(p);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

} // namespace

bool ParseAttTable(const std::string& text, const std::string& name, AttTable& table)
{
    AttTable scratch;
    for (tAttLevel& row : scratch) {
        row = {c_missing, 0.0};
    }
    int lowest = c_highestPowerLevel;
    int highest = c_lowestPowerLevel;

    size_t start = 0;
    unsigned long lineNumber = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        // The line is scanned as a C string: a NUL ends it, as for sscanf.
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;

        const char* p = line.c_str();
        while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) {
            ++p;
        }
        if (*p == '\0' || *p == '#') {
            continue;
        }
        long long power = 0;
        long long att = 0;
        double hysteresis = 0.0;
        if (!ScanInteger(p, power) || !ScanInteger(p, att) || !ScanReal(p, hysteresis)) {
            QSTD_TRACE(1, name << ": error in line " << lineNumber << ", aborting file read...");
            break;
        }
        if (att < 0 || att > static_cast<long long>(c_attMax)) {
            QSTD_TRACE(1,
                       name << ": attenuator value in line " << lineNumber << " outside limits, aborting file read...");
            break;
        }
        if (power < c_lowestPowerLevel || power > c_highestPowerLevel) {
            QSTD_TRACE(1, name << ": power level in line " << lineNumber << " outside limits, aborting file read...");
            break;
        }
        // Written so that a value that is not a number is refused too.
        if (!(hysteresis >= 0.0 && hysteresis <= c_hysteresisMax)) {
            QSTD_TRACE(1, name << ": hysteresis in line " << lineNumber << " outside limits, aborting file read...");
            break;
        }
        const int level = static_cast<int>(power);
        scratch[static_cast<size_t>(level - c_lowestPowerLevel)] = {static_cast<uint32_t>(att), hysteresis};
        lowest = std::min(lowest, level);
        highest = std::max(highest, level);
    }

    if (lowest > 0 || highest < 0) {
        QSTD_TRACE(1, name << ": missing entry for power level 0 dBm...");
        return false;
    }
    for (int level = lowest; level <= highest; ++level) {
        if (scratch[static_cast<size_t>(level - c_lowestPowerLevel)].att == c_missing) {
            QSTD_TRACE(1, name << ": missing entry for power level " << level << " dBm...");
            return false;
        }
    }
    for (int level = c_lowestPowerLevel; level <= c_highestPowerLevel; ++level) {
        const int from = std::min(std::max(level, lowest), highest);
        table[static_cast<size_t>(level - c_lowestPowerLevel)] =
            scratch[static_cast<size_t>(from - c_lowestPowerLevel)];
    }
    QSTD_TRACE(3, "Attenunator Table from power: " << c_lowestPowerLevel << " to " << c_highestPowerLevel);
    for (int level = c_lowestPowerLevel; level <= c_highestPowerLevel; ++level) {
        const tAttLevel& row = table[static_cast<size_t>(level - c_lowestPowerLevel)];
        QSTD_TRACE(3, " power: " << level << " att: " << row.att << " hyst: " << row.hysteresis);
    }
    return true;
}

bool ReadAttTableFile(const std::string& path, AttTable& table)
{
    QSTD_TRACE(3, "Reading gain scheme from file: " << path);
    // A FIFO or a device under the name would block the board's construction
    // for ever, a huge file eat the memory; no link leads out of the folder.
    std::string text;
    std::string reason;
    if (qstd::ReadRegularFile(path, c_maxAttTableBytes, text, reason) != 0) {
        QSTD_TRACE(1, "Error opening gain scheme file " << path << ".");
        return false;
    }
    return ParseAttTable(text, path, table);
}

bool DecodeCompTable(const unsigned char* data, size_t size, CompTable& table, std::string* why)
{
    if (size < c_compTableBytes) {
        if (why) {
            *why = "short file";
        }
        return false;
    }
    std::unique_ptr<CompTable> scratch(new CompTable);
    const unsigned char* p = data;
    for (unsigned row = 0; row < c_powerLevels; ++row) {
        tCompensationEntry& entry = (*scratch)[row];
        for (unsigned k = 0; k < c_dscPatternSize * c_dscChannels; ++k, p += 8) {
            const double g = LoadDouble(p);
            if (!std::isfinite(g) || !(g > 0.0)) {
                if (why) {
                    *why = "gain " + std::to_string(k) + " of row " + std::to_string(row);
                }
                return false;
            }
            entry.gain[k / c_dscChannels][k % c_dscChannels] = g;
        }
        for (unsigned k = 0; k < c_dscPatternSize * c_dscChannels; ++k, p += 8) {
            const double phi = LoadDouble(p);
            if (!std::isfinite(phi)) {
                if (why) {
                    *why = "phase " + std::to_string(k) + " of row " + std::to_string(row);
                }
                return false;
            }
            entry.phase[k / c_dscChannels][k % c_dscChannels] = phi;
        }
    }
    table = *scratch;
    return true;
}

void EncodeCompTable(const CompTable& table, unsigned char* out)
{
    unsigned char* p = out;
    for (const tCompensationEntry& entry : table) {
        for (const auto* group : {&entry.gain, &entry.phase}) {
            for (unsigned k = 0; k < c_dscPatternSize * c_dscChannels; ++k, p += 8) {
                uint64_t bits;
                std::memcpy(&bits, &(*group)[k / c_dscChannels][k % c_dscChannels], sizeof bits);
                StoreLe64(bits, p);
            }
        }
    }
}

bool ReadCompTableFile(const std::string& path, CompTable& table)
{
    // Opened without blocking: a FIFO under the name must not hold the
    // start or the tuning thread for ever; only a regular file is read, and
    // no link leads out of the file's folder.
    qstd::InputFile file;
    if (file.Open(path) != 0 && file.Error() != EINVAL) {
        return false;
    }
    std::unique_ptr<unsigned char[]> block(new unsigned char[c_compTableBytes]);
    const long n = file.Error() == 0 ? file.Read(block.get(), c_compTableBytes) : -1;
    std::string why = file.Error() == 0 ? std::string() : file.Reason();
    if (n < 0 || !DecodeCompTable(block.get(), static_cast<size_t>(n), table, &why)) {
        QSTD_TRACE(2, "Compensation coefficients in " << path << " are refused: " << why << ".");
        return false;
    }
    QSTD_TRACE(3, "Compensation coefficients are successfully read from " << path << ".");
    return true;
}

bool WriteCompTableFile(const std::string& path, const CompTable& table)
{
    std::unique_ptr<unsigned char[]> block(new unsigned char[c_compTableBytes]);
    EncodeCompTable(table, block.get());
    // A temporary file of a name of its own, made anew: nothing that another
    // user has put under a predictable name (in "/tmp/") is written through.
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(&temporary[0]);
    if (fd < 0) {
        return false;
    }
    bool ok = ::fchmod(fd, 0644) == 0;
    size_t written = 0;
    while (ok && written < c_compTableBytes) {
        const ssize_t w = ::write(fd, block.get() + written, c_compTableBytes - written);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        ok = w > 0;
        written += ok ? static_cast<size_t>(w) : 0;
    }
    // The flash copy must survive a power cut once it has replaced the old one.
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The new name itself is durable only once the directory is.
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    QSTD_TRACE(3, "Compensation coefficients are successfully written into " << path << ".");
    return true;
}

void InitCompTable(CompTable& table)
{
    for (tCompensationEntry& entry : table) {
        InitCompensation(entry);
    }
}
