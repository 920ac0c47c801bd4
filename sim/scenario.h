#pragma once
// Description of a simulated chassis: the boards in discovery order with their
// type, name and slot, the initial contents of their FPGA registers, the model
// options of the timing board and the fault switches of every board.
//
// Scenario files are XML (read with pugixml):
//
//   <chassis>
//     <board type="62" name="tim" slot="1">
//       <timing adc_frequency="117440043" trigger_rate="10"/>
//       <oscillator samples_per_turn="220" prescaler="53382" nominal_dac="22535"
//                   gain="1.0" offset="0" jitter="0" silent="false"/>
//       <fault name="mc_pll_unlocked"/>
//     </board>
//     <board type="175" name="raf3" slot="3">
//       <register offset="0x100" value="117440043"/>            (32-bit word)
//       <register offset="0x400080" value="0x1" width="64"/>    (64-bit word)
//       <fault name="unmappable" offset="0x900000"/>
//       <option name="..." value="..."/>
//     </board>
//   </chassis>
//
// The simulated beam (<beam> in <chassis>, <frontend> in a RAF board) is
// described in sim/beam_options.h.
//
// Numbers are decimal or hexadecimal with "0x". What sizes memory or sets
// the pace of a simulation loop is bounded (ScenarioLimits below): the
// number of boards, the RAF boards' decimations in their clock information,
// the trigger rate, the oscillator's event rate and frequency range; and a
// scenario file is a regular file of at most c_maxFileBytes. Fault names: "unmappable"
// (with the offset of the block that cannot be mapped), "no_triggers",
// "unanswered_starts", "no_adc_clock", "sfp_pll_unlocked", "no_history_memory",
// "oversampling_stuck", "debug_ram_stuck", "temperature_failed" (with the
// sensor, "ts1" to "pt4", whose measurements fail), and on a timing board
// "no_mc_pll", "mc_pll_unlocked" and "no_trigger_generation".

#include "sim/beam_options.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

// Board type codes as board management reports them.
enum BoardType_e : unsigned {
    c_typeTiming = 62,
    c_typeEvrx = 235,
    c_typeRaf = 175,
    c_typeGdx = 125,
};

struct RegisterInit {
    uint32_t offset = 0;
    uint64_t value = 0;
    unsigned width = 32; // 32 or 64
    bool operator==(const RegisterInit& o) const { return offset == o.offset && value == o.value && width == o.width; }
};

// The timing board's voltage-controlled oscillator. The oscillator runs at
// exactly the nominal ADC frequency when the DAC holds nominal_dac; every DAC
// code above it lowers the frequency by gain Hz (the PLL's control law raises
// the code when events come late). offset shifts the frequency in Hz, jitter
// adds a uniform error of up to that many ADC periods to each event, and a
// silent oscillator emits no events.
//
// Choice of the defaults: 22535 is the code the software PLL writes at its
// operating point (65535 - 43000), so an oscillator on frequency needs no
// correction. A gain of 1 Hz per code moves an event by g = 0.1 ADC periods
// per code at ten events a second; the PLL's coarse PI law (Kp 7, Ki 0.5)
// then has its closed-loop poles at about 0.93 and 0.32 and its fine law
// (Kp 4, Ki 0.2) at about 0.95 and 0.63, both well inside the unit circle,
// and the DAC range of 8191 to 57343 covers offsets of about +-14 kHz.
struct OscillatorOptions {
    uint32_t samplesPerTurn = 220;
    uint32_t prescaler = 53382;
    uint32_t nominalDac = 22535;
    double gain = 1.0;
    double offset = 0.0;
    uint32_t jitter = 0;
    bool silent = false;
    bool operator==(const OscillatorOptions& o) const
    {
        return samplesPerTurn == o.samplesPerTurn && prescaler == o.prescaler && nominalDac == o.nominalDac &&
               gain == o.gain && offset == o.offset && jitter == o.jitter && silent == o.silent;
    }
};

struct TimingOptions {
    uint32_t adcFrequency = 117440043;
    double triggerRate = 10.0; // external triggers per second
    OscillatorOptions oscillator;
    bool operator==(const TimingOptions& o) const
    {
        return adcFrequency == o.adcFrequency && triggerRate == o.triggerRate && oscillator == o.oscillator;
    }
};

struct FaultSwitches {
    std::vector<uint32_t> unmappable; // offsets of blocks that cannot be mapped
    bool noTriggers = false;          // the board never sees trigger events
    bool unansweredStarts = false;    // start request records are never answered
    bool noAdcClock = false;          // house keeping reports the ADC clock missing
    bool sfpPllUnlocked = false;      // GDX grouping SFP PLLs never lock
    bool noHistoryMemory = false;     // GDX history buffer reports no memory fitted
    bool oversamplingStuck = false;   // oversampling patterns never settle
    bool debugRamStuck = false;       // TBT debug RAM captures never complete
    bool noMcPll = false;             // timing board without machine-clock PLL
    bool mcPllUnlocked = false;       // machine-clock PLL reports no lock
    bool noTriggerGeneration = false; // timing board without trigger generation
    // Temperature sensors ("ts1" to "pt4") whose measurements fail.
    std::vector<std::string> failedSensors;
    bool operator==(const FaultSwitches& o) const
    {
        return unmappable == o.unmappable && noTriggers == o.noTriggers && unansweredStarts == o.unansweredStarts &&
               noAdcClock == o.noAdcClock && sfpPllUnlocked == o.sfpPllUnlocked &&
               noHistoryMemory == o.noHistoryMemory && oversamplingStuck == o.oversamplingStuck &&
               debugRamStuck == o.debugRamStuck && failedSensors == o.failedSensors && noMcPll == o.noMcPll &&
               mcPllUnlocked == o.mcPllUnlocked && noTriggerGeneration == o.noTriggerGeneration;
    }
};

struct BoardDesc {
    unsigned type = 0;
    std::string name;
    std::string slot;
    std::vector<RegisterInit> registers; // applied in order
    FaultSwitches faults;
    TimingOptions timing;     // used by timing boards only
    FrontEndOptions frontEnd; // used by RAF boards only
    std::map<std::string, std::string> options;

    bool IsTiming() const { return type == c_typeTiming || type == c_typeEvrx; }
    bool operator==(const BoardDesc& o) const
    {
        return type == o.type && name == o.name && slot == o.slot && registers == o.registers && faults == o.faults &&
               timing == o.timing && frontEnd == o.frontEnd && options == o.options;
    }
};

// Bounds of what a scenario may ask for.
struct ScenarioLimits {
    static constexpr size_t c_maxFileBytes = 1u << 20;
    static constexpr size_t c_maxBoards = 32;
    // Decimations of a RAF board's clock information (registers 0x108 TBT,
    // 0x110 FIR, 0x114 CIC, 0x118 SA, 0x120 switching). The FIR decimation
    // sizes the FIR coefficient file (5 coefficients each).
    static constexpr uint32_t c_maxDecimation = 1u << 16;
    static constexpr uint32_t c_maxFirDecimation = 1024;
    // External triggers and oscillator (PLL) events per second.
    static constexpr double c_minEventRate = 1e-3;
    static constexpr double c_maxEventRate = 1e3;
};

struct Scenario {
    std::vector<BoardDesc> boards;
    BeamOptions beam;

    // Parses scenario XML; origin names the source in error messages.
    // Throws qstd::Exception on malformed input or values out of bounds.
    static Scenario Parse(const std::string& xml, const std::string& origin = "scenario");
    // Reads and parses a scenario file, a chassis to run a server on: it must
    // be a regular file (opened without waiting on a FIFO or device) and its
    // chassis must hold a timing board. Throws qstd::Exception.
    static Scenario LoadFile(const std::string& path);
    // The default chassis: timing board "tim", RAF boards "raf3" to "raf6" in
    // slots 3 to 6, GDX board "gdx" in slot 7 with userblock type 4. The file
    // sim/scenarios/default.xml describes the same chassis.
    static Scenario Default();

    bool operator==(const Scenario& o) const { return boards == o.boards && beam == o.beam; }
};

// Register contents that make a consistent board of the given type: clock
// information of the RAF boards, userblock type, SFP and history-memory status
// of the GDX board. Default() uses them.
std::vector<RegisterInit> DefaultRegisters(unsigned type);

} // namespace sim
