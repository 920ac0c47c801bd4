#include "sim/scenario.h"

#include "platform/qstd/exception.h"

#include <pugixml.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

namespace sim {

namespace {

// Size of a board's FPGA address space (kept equal to Board::c_memorySize).
constexpr uint64_t c_space = 16u << 20;

// The decimations of a RAF board's clock information and their bounds.
struct ClockWord {
    uint32_t offset;
    const char* name;
    uint32_t most;
};
constexpr ClockWord c_clockWords[] = {
    {0x108, "TBT decimation", ScenarioLimits::c_maxDecimation},
    {0x110, "FIR decimation", ScenarioLimits::c_maxFirDecimation},
    {0x114, "CIC decimation", ScenarioLimits::c_maxDecimation},
    {0x118, "SA decimation", ScenarioLimits::c_maxDecimation},
    {0x120, "switching decimation", ScenarioLimits::c_maxDecimation},
};
// Most a DAC code can move the oscillator from its nominal code.
constexpr double c_dacSpan = 65535.0;

class Parser {
public:
    explicit Parser(const std::string& origin) : m_origin(origin) {}

    [[noreturn]] void Fail(const std::string& where, const std::string& what) const
    {
        throw qstd::Exception(m_origin + ": " + where + (where.empty() ? "" : ": ") + what, true);
    }

    std::string Required(const pugi::xml_node& node, const char* attr, const std::string& where) const
    {
        const pugi::xml_attribute a = node.attribute(attr);
        if (!a) {
            Fail(where, std::string("<") + node.name() + "> lacks the attribute \"" + attr + "\"");
        }
        return a.value();
    }

    uint64_t Unsigned(const std::string& text, const std::string& where, const char* what) const
    {
        const std::string t = Trim(text);
        if (t.empty() || t[0] == '-' || t[0] == '+') {
            Fail(where, std::string("bad ") + what + " \"" + text + "\"");
        }
        errno = 0;
        char* end = nullptr;
        const unsigned long long v =
            std::strtoull(t.c_str(), &end, t.size() > 1 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X') ? 16 : 10);
        if (errno != 0 || end == t.c_str() || *end != '\0') {
            Fail(where, std::string("bad ") + what + " \"" + text + "\"");
        }
        return v;
    }

    uint32_t Unsigned32(const std::string& text, const std::string& where, const char* what) const
    {
        const uint64_t v = Unsigned(text, where, what);
        if (v > 0xFFFFFFFFull) {
            Fail(where, std::string(what) + " \"" + text + "\" does not fit in 32 bits");
        }
        return static_cast<uint32_t>(v);
    }

    double Real(const std::string& text, const std::string& where, const char* what) const
    {
        const std::string t = Trim(text);
        errno = 0;
        char* end = nullptr;
        const double v = std::strtod(t.c_str(), &end);
        if (t.empty() || errno != 0 || *end != '\0' || !std::isfinite(v)) {
            Fail(where, std::string("bad ") + what + " \"" + text + "\"");
        }
        return v;
    }

    bool Flag(const std::string& text, const std::string& where, const char* what) const
    {
        const std::string t = Trim(text);
        if (t == "true" || t == "1") {
            return true;
        }
        if (t == "false" || t == "0") {
            return false;
        }
        Fail(where, std::string("bad ") + what + " \"" + text + "\" (true or false)");
    }

    static std::string Trim(const std::string& s)
    {
        const auto b = s.find_first_not_of(" \t\r\n");
        if (b == std::string::npos) {
            return "";
        }
        const auto e = s.find_last_not_of(" \t\r\n");
        return s.substr(b, e - b + 1);
    }

    // Attributes other than the allowed ones are refused, so a typo in a
    // scenario does not pass silently.
    void OnlyAttributes(const pugi::xml_node& node, std::initializer_list<const char*> allowed,
                        const std::string& where) const
    {
        for (const pugi::xml_attribute& a : node.attributes()) {
            bool ok = false;
            for (const char* name : allowed) {
                ok = ok || std::string(a.name()) == name;
            }
            if (!ok) {
                Fail(where, std::string("unknown attribute \"") + a.name() + "\" of <" + node.name() + ">");
            }
        }
    }

    BoardDesc ParseBoard(const pugi::xml_node& node, size_t index) const
    {
        BoardDesc b = ParseBoardAttributes(node, index);
        const std::string where = "board \"" + b.name + "\"";
        for (const pugi::xml_node& child : node.children()) {
            if (child.type() != pugi::node_element) {
                continue;
            }
            const std::string tag = child.name();
            if (tag == "register") {
                b.registers.push_back(ParseRegister(child, where));
            } else if (tag == "fault") {
                OnlyAttributes(child, {"name", "offset", "sensor"}, where);
                ParseFault(child, b, where);
            } else if (tag == "option") {
                OnlyAttributes(child, {"name", "value"}, where);
                b.options[Required(child, "name", where)] = Required(child, "value", where);
            } else if (tag == "frontend") {
                if (b.type != c_typeRaf) {
                    Fail(where, "<frontend> belongs to a RAF board (type 175)");
                }
                ParseFrontEnd(child, b.frontEnd, where);
            } else if (tag == "timing") {
                RequireTiming(b, tag, where);
                ParseTiming(child, b.timing, where);
            } else if (tag == "oscillator") {
                RequireTiming(b, tag, where);
                ParseOscillator(child, b.timing.oscillator, where);
            } else {
                Fail(where, "unknown element <" + tag + ">");
            }
        }
        if (b.IsTiming()) {
            CheckOscillator(b.timing, where);
        }
        if (b.type == c_typeRaf) {
            CheckClockWords(b.registers, where);
        }
        return b;
    }

    // Name, type and slot of the index-th board; messages name the board by
    // its number until its name is known.
    BoardDesc ParseBoardAttributes(const pugi::xml_node& node, size_t index) const
    {
        std::string where = "board " + std::to_string(index + 1);
        OnlyAttributes(node, {"type", "name", "slot"}, where);
        BoardDesc b;
        b.name = Required(node, "name", where);
        where = "board \"" + b.name + "\"";
        if (b.name.empty()) {
            Fail("board " + std::to_string(index + 1), "empty board name");
        }
        b.type = Unsigned32(Required(node, "type", where), where, "board type");
        b.slot = Trim(Required(node, "slot", where));
        if (b.slot.empty()) {
            Fail(where, "empty slot");
        }
        return b;
    }

    // A register of 32 or 64 bits at a word inside the FPGA space.
    RegisterInit ParseRegister(const pugi::xml_node& node, const std::string& where) const
    {
        OnlyAttributes(node, {"offset", "value", "width"}, where);
        RegisterInit r;
        r.offset = Unsigned32(Required(node, "offset", where), where, "register offset");
        r.width = node.attribute("width") ? Unsigned32(node.attribute("width").value(), where, "width") : 32;
        if (r.width != 32 && r.width != 64) {
            Fail(where, "register width must be 32 or 64");
        }
        if (r.offset % 4 != 0 || uint64_t{r.offset} + r.width / 8 > c_space) {
            Fail(where, "register offset " + Hex(r.offset) + " is not a word inside the FPGA space");
        }
        r.value = r.width == 32 ? Unsigned32(Required(node, "value", where), where, "register value")
                                : Unsigned(Required(node, "value", where), where, "register value");
        return r;
    }

    // The timing board's ADC frequency and external trigger rate.
    void ParseTiming(const pugi::xml_node& node, TimingOptions& timing, const std::string& where) const
    {
        OnlyAttributes(node, {"adc_frequency", "trigger_rate"}, where);
        if (node.attribute("adc_frequency")) {
            timing.adcFrequency = Unsigned32(node.attribute("adc_frequency").value(), where, "ADC frequency");
            if (timing.adcFrequency == 0) {
                Fail(where, "ADC frequency must not be 0");
            }
        }
        if (node.attribute("trigger_rate")) {
            timing.triggerRate = Real(node.attribute("trigger_rate").value(), where, "trigger rate");
            if (timing.triggerRate <= 0.0) {
                Fail(where, "trigger rate must be positive");
            }
            if (!RateInBounds(timing.triggerRate)) {
                Fail(where, "trigger rate " + Text(timing.triggerRate) + " a second is not " + RateBounds());
            }
        }
    }

    // The timing board's oscillator; its pace is checked with the whole board.
    void ParseOscillator(const pugi::xml_node& node, OscillatorOptions& o, const std::string& where) const
    {
        OnlyAttributes(node, {"samples_per_turn", "prescaler", "nominal_dac", "gain", "offset", "jitter", "silent"},
                       where);
        if (node.attribute("samples_per_turn")) {
            o.samplesPerTurn = Unsigned32(node.attribute("samples_per_turn").value(), where, "samples per turn");
        }
        if (node.attribute("prescaler")) {
            o.prescaler = Unsigned32(node.attribute("prescaler").value(), where, "prescaler");
        }
        if (o.samplesPerTurn == 0 || o.prescaler == 0) {
            Fail(where, "samples per turn and prescaler must not be 0");
        }
        if (node.attribute("nominal_dac")) {
            o.nominalDac = Unsigned32(node.attribute("nominal_dac").value(), where, "nominal DAC code");
            if (o.nominalDac > 0xFFFF) {
                Fail(where, "nominal DAC code must fit in 16 bits");
            }
        }
        if (node.attribute("gain")) {
            o.gain = Real(node.attribute("gain").value(), where, "oscillator gain");
        }
        if (node.attribute("offset")) {
            o.offset = Real(node.attribute("offset").value(), where, "oscillator offset");
        }
        if (node.attribute("jitter")) {
            o.jitter = Unsigned32(node.attribute("jitter").value(), where, "oscillator jitter");
        }
        if (node.attribute("silent")) {
            o.silent = Flag(node.attribute("silent").value(), where, "silent flag");
        }
    }

    static bool RateInBounds(double perSecond)
    {
        return perSecond >= ScenarioLimits::c_minEventRate && perSecond <= ScenarioLimits::c_maxEventRate;
    }

    static std::string RateBounds()
    {
        return "within " + Text(ScenarioLimits::c_minEventRate) + " to " + Text(ScenarioLimits::c_maxEventRate);
    }

    static std::string Text(double v)
    {
        std::ostringstream os;
        os << v;
        return os.str();
    }

    // The oscillator's events come at a pace the simulation can keep, and
    // its frequency stays within half the ADC frequency of it whatever the
    // DAC holds.
    void CheckOscillator(const TimingOptions& t, const std::string& where) const
    {
        const OscillatorOptions& o = t.oscillator;
        const double adc = static_cast<double>(t.adcFrequency);
        const double rate = adc / (static_cast<double>(o.samplesPerTurn) * static_cast<double>(o.prescaler));
        if (!RateInBounds(rate)) {
            Fail(where, "oscillator events (ADC frequency / (samples per turn x prescaler)) come " + Text(rate) +
                            " times a second, not " + RateBounds());
        }
        if (std::fabs(o.offset) + std::fabs(o.gain) * c_dacSpan > adc / 2) {
            Fail(where, "oscillator gain and offset move the frequency by more than half the ADC frequency");
        }
    }

    // The decimations of a RAF board's clock information as its registers
    // leave them (a 64-bit register sets two words).
    void CheckClockWords(const std::vector<RegisterInit>& registers, const std::string& where) const
    {
        for (const ClockWord& w : c_clockWords) {
            uint64_t value = 0;
            for (const RegisterInit& r : registers) {
                if (r.offset == w.offset) {
                    value = static_cast<uint32_t>(r.value);
                } else if (r.width == 64 && r.offset + 4 == w.offset) {
                    value = r.value >> 32;
                }
            }
            if (value > w.most) {
                Fail(where, std::string(w.name) + " " + std::to_string(value) + " (register " + Hex(w.offset) +
                                ") is above " + std::to_string(w.most));
            }
        }
    }

    // Whitespace-separated numbers, exactly as many as out holds.
    template <size_t N, typename T, typename F>
    void List(const std::string& text, std::array<T, N>& out, const std::string& where, const char* what, F parse) const
    {
        std::istringstream in(text);
        std::string item;
        size_t n = 0;
        while (in >> item) {
            if (n == N) {
                Fail(where, std::string(what) + " needs " + std::to_string(N) + " values");
            }
            out[n++] = parse(item);
        }
        if (n != N) {
            Fail(where, std::string(what) + " needs " + std::to_string(N) + " values");
        }
    }

    void ParseBeam(const pugi::xml_node& node, BeamOptions& beam) const
    {
        const std::string where = "beam";
        OnlyAttributes(node, {"x", "y", "intensity", "noise", "kx", "ky", "phase", "pattern", "switching"}, where);
        const struct {
            const char* name;
            double* value;
        } reals[] = {{"x", &beam.x},   {"y", &beam.y},   {"intensity", &beam.intensity}, {"noise", &beam.noise},
                     {"kx", &beam.kx}, {"ky", &beam.ky}, {"phase", &beam.phase}};
        for (const auto& r : reals) {
            if (node.attribute(r.name)) {
                *r.value = Real(node.attribute(r.name).value(), where, r.name);
            }
        }
        if (beam.intensity < 0.0 || beam.noise < 0.0 || beam.kx <= 0.0 || beam.ky <= 0.0) {
            Fail(where, "intensity and noise must not be negative, kx and ky must be positive");
        }
        if (node.attribute("pattern")) {
            List(node.attribute("pattern").value(), beam.pattern, where, "pattern", [&](const std::string& v) {
                const uint32_t p = Unsigned32(v, where, "switch position");
                if (p > 15) {
                    Fail(where, "switch positions are 0 to 15");
                }
                return p;
            });
        }
        if (node.attribute("switching")) {
            beam.switching = Flag(node.attribute("switching").value(), where, "switching flag");
        }
    }

    void ParseFrontEnd(const pugi::xml_node& node, FrontEndOptions& fe, const std::string& where) const
    {
        OnlyAttributes(node, {"attenuation"}, where);
        if (node.attribute("attenuation")) {
            fe.attenuation = Real(node.attribute("attenuation").value(), where, "attenuation");
        }
        for (const pugi::xml_node& child : node.children()) {
            if (child.type() != pugi::node_element) {
                continue;
            }
            if (std::string(child.name()) != "position") {
                Fail(where, "unknown element <" + std::string(child.name()) + "> in <frontend>");
            }
            OnlyAttributes(child, {"index", "gains", "phases"}, where);
            const uint32_t index = Unsigned32(Required(child, "index", where), where, "pattern step");
            if (index > 3) {
                Fail(where, "pattern steps are 0 to 3");
            }
            auto real = [&](const std::string& v) { return Real(v, where, "front-end value"); };
            if (child.attribute("gains")) {
                List(child.attribute("gains").value(), fe.gain[index], where, "gains", real);
            }
            if (child.attribute("phases")) {
                List(child.attribute("phases").value(), fe.phase[index], where, "phases", real);
            }
        }
    }

    void RequireTiming(const BoardDesc& b, const std::string& tag, const std::string& where) const
    {
        if (!b.IsTiming()) {
            Fail(where, "<" + tag + "> belongs to a timing board (type 62 or 235)");
        }
    }

    void ParseFault(const pugi::xml_node& node, BoardDesc& b, const std::string& where) const
    {
        const std::string name = Required(node, "name", where);
        FaultSwitches& f = b.faults;
        if (name == "unmappable") {
            f.unmappable.push_back(Unsigned32(Required(node, "offset", where), where, "block offset"));
            return;
        }
        if (node.attribute("offset")) {
            Fail(where, "fault \"" + name + "\" takes no offset");
        }
        if (name == "temperature_failed") {
            const std::string sensor = Required(node, "sensor", where);
            if (sensor.size() != 3 || (sensor.compare(0, 2, "ts") != 0 && sensor.compare(0, 2, "pt") != 0) ||
                sensor[2] < '1' || sensor[2] > '4') {
                Fail(where, "bad temperature sensor \"" + sensor + "\" (ts1 to ts4, pt1 to pt4)");
            }
            f.failedSensors.push_back(sensor);
            return;
        }
        if (node.attribute("sensor")) {
            Fail(where, "fault \"" + name + "\" takes no sensor");
        }
        if (name == "no_triggers") {
            f.noTriggers = true;
        } else if (name == "unanswered_starts") {
            f.unansweredStarts = true;
        } else if (name == "no_adc_clock") {
            f.noAdcClock = true;
        } else if (name == "sfp_pll_unlocked") {
            f.sfpPllUnlocked = true;
        } else if (name == "no_history_memory") {
            f.noHistoryMemory = true;
        } else if (name == "oversampling_stuck") {
            f.oversamplingStuck = true;
        } else if (name == "debug_ram_stuck") {
            f.debugRamStuck = true;
        } else if (name == "no_mc_pll" || name == "mc_pll_unlocked" || name == "no_trigger_generation") {
            RequireTiming(b, "fault name=\"" + name + "\"", where);
            (name == "no_mc_pll"         ? f.noMcPll
             : name == "mc_pll_unlocked" ? f.mcPllUnlocked
                                         : f.noTriggerGeneration) = true;
        } else {
            Fail(where, "unknown fault \"" + name + "\"");
        }
    }

    static std::string Hex(uint64_t v)
    {
        std::ostringstream os;
        os << "0x" << std::hex << std::uppercase << v;
        return os.str();
    }

private:
    std::string m_origin;
};

} // namespace

Scenario Scenario::Parse(const std::string& xml, const std::string& origin)
{
    Parser p(origin);
    pugi::xml_document doc;
    const pugi::xml_parse_result res = doc.load_buffer(xml.data(), xml.size());
    if (!res) {
        p.Fail("", std::string("XML error at byte ") + std::to_string(res.offset) + ": " + res.description());
    }
    const pugi::xml_node root = doc.document_element();
    if (std::string(root.name()) != "chassis") {
        p.Fail("", "the root element must be <chassis>, not <" + std::string(root.name()) + ">");
    }
    Scenario s;
    std::set<std::string> names;
    size_t index = 0;
    for (const pugi::xml_node& child : root.children()) {
        if (child.type() != pugi::node_element) {
            continue;
        }
        if (std::string(child.name()) == "beam") {
            p.ParseBeam(child, s.beam);
            continue;
        }
        if (std::string(child.name()) != "board") {
            p.Fail("", "unknown element <" + std::string(child.name()) + "> in <chassis>");
        }
        if (index == ScenarioLimits::c_maxBoards) {
            p.Fail("", "the chassis holds more than " + std::to_string(ScenarioLimits::c_maxBoards) + " boards");
        }
        BoardDesc b = p.ParseBoard(child, index++);
        if (!names.insert(b.name).second) {
            p.Fail("", "two boards named \"" + b.name + "\"");
        }
        s.boards.push_back(std::move(b));
    }
    if (s.boards.empty()) {
        p.Fail("", "the chassis holds no board");
    }
    return s;
}

Scenario Scenario::LoadFile(const std::string& path)
{
    // Without waiting: a FIFO or a device would block the open or the read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        throw qstd::Exception("Cannot open chassis scenario file " + path + ": " + std::strerror(errno), true);
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        throw qstd::Exception("Chassis scenario file " + path + " is not a regular file", true);
    }
    if (static_cast<uint64_t>(st.st_size) > ScenarioLimits::c_maxFileBytes) {
        throw qstd::Exception("Chassis scenario file " + path + " is larger than " +
                                  std::to_string(ScenarioLimits::c_maxFileBytes) + " bytes",
                              true);
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, &text[got], text.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break; // a file that shrank meanwhile: what was there
        }
        got += static_cast<size_t>(n);
    }
    text.resize(got);
    Scenario s = Parse(text, path);
    bool timing = false;
    for (const BoardDesc& b : s.boards) {
        timing = timing || b.IsTiming();
    }
    if (!timing) {
        throw qstd::Exception("Scenario " + path + " has no timing board.", true);
    }
    return s;
}

std::vector<RegisterInit> DefaultRegisters(unsigned type)
{
    switch (type) {
    case c_typeRaf:
        return {
            // Clock information: ADC frequency, TBT, FIR, CIC, SA and
            // switching decimations, harmonic number. RF = 936 x 117440043 /
            // 220 = 499.65 MHz; FA = TBT rate / 56, SA = FA rate / 1000.
            {0x100, 117440043, 32},
            {0x108, 220, 32},
            {0x110, 2, 32},
            {0x114, 28, 32},
            {0x118, 1000, 32},
            {0x120, 40, 32},
            {0x128, 936, 32},
            // Oversampling words of MC, Trigger and PM: pattern 6, settled.
            {0x300090, 0x06000000, 32},
            {0x300098, 0x06000000, 32},
            {0x3000A0, 0x06000000, 32},
            // Timing state machine "tsm": ADC history sections of 8192
            // samples (256 sections in the ADC region).
            {0x50000C, 8192, 32},
        };
    case c_typeGdx:
        return {
            // Userblock type 4 ("delta").
            {0xF80000, 4, 32},
            // Feedback state word of the grouping block: "off". (The SFP
            // lock bits and the grouping latency are modelled.)
            {0xF08020, 1, 32},
            // History memory fitted: column 10, row 14, bank 3, rank 1, width
            // factor 2 (2048 MiB), further RAM information non-zero.
            {0x400078, 0x27EA, 64},
            {0x400080, 0x1, 64},
            {0x400088, 0x1, 64},
        };
    default:
        return {};
    }
}

Scenario Scenario::Default()
{
    Scenario s;
    BoardDesc tim;
    tim.type = c_typeTiming;
    tim.name = "tim";
    tim.slot = "1";
    s.boards.push_back(tim);
    for (int slot = 3; slot <= 6; ++slot) {
        BoardDesc raf;
        raf.type = c_typeRaf;
        raf.name = "raf" + std::to_string(slot);
        raf.slot = std::to_string(slot);
        raf.registers = DefaultRegisters(c_typeRaf);
        s.boards.push_back(raf);
    }
    BoardDesc gdx;
    gdx.type = c_typeGdx;
    gdx.name = "gdx";
    gdx.slot = "7";
    gdx.registers = DefaultRegisters(c_typeGdx);
    s.boards.push_back(gdx);
    return s;
}

} // namespace sim
