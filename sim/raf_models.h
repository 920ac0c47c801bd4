#pragma once
// Register models of the RAF board's signal path, behind the FPGA accessor
// layer:
//   - the DSC second-maximum detectors (conf block, 0x800000): bits 0-15 of
//     registers 0x00 (A) and 0x08 (B) read the second-largest ADC peak since
//     the detector restarted: the level of the board's front end
//     (RafFrontEnd::SecondMax), plus the restart count modulo 64 so that
//     successive detections can be told apart; it restarts after each read
//     of the value in mode "OnRead" (bit 32 set) and at each trigger in mode
//     "OnTrigger";
//   - the timing state machine (0x500000, six 32-bit words): held by the
//     model, so that the acquisition reads its window at each trigger;
//   - the TBT debug RAM (tbt block, 0x900000): a capture requested with bit 0
//     of register 0x10 completes 2048 ADC periods later (never with the fault
//     switch "debug_ram_stuck"), when the FPGA clears the bit; setting bit 0
//     of the low half of 0x18 rewinds the data port, and each 64-bit read of
//     0x18 then gives the next atom of the frame captured. A frame holds the
//     four RF channels at the board's IF frequency from the ADC period of
//     its completion on, or, while the synthetic generator is on with a
//     complete table, the generator's table played back (amplitude 1 on
//     channels A and B, amplitude 2 on C and D);
//   - the precision-temperature devices (0x300100 to 0x3001A0): the SPI bus
//     controller of the AD7787, the analogue multiplexer in front of it and
//     the SPI bus controller of the four ADT7301s. A platinum sensor reads
//     correctly once the multiplexer has settled on its input
//     (c_muxSettle after a switch; a conversion started earlier stays busy
//     until then and converts the input selected when it ends). Sensors named
//     by the fault switch "temperature_failed" answer with a transfer error.
// The synthetic generator's table RAM and control word (0xC00000) are plain
// memory, which the debug RAM model reads a whole word at a time while
// clients write it.

#include <chrono>
#include <cstdint>

namespace sim {

class Board;

// Temperatures the sensors report (degrees Celsius): ts1 to ts4 and pt1 to pt4.
constexpr double c_tsTemperature[4] = {40.5, 41.0, 41.5, 42.0};
constexpr double c_ptTemperature[4] = {26.5, 28.0, 29.5, 31.0};
constexpr std::chrono::milliseconds c_muxSettle{2};

// Plugs the models into a RAF board (called while the board is built).
void InstallRafModels(Board& board);

// Frames the board's debug RAM has captured, and the ADC period at which the
// last one starts; false for a board without the model.
bool DebugRamFrames(const Board& board, uint64_t& captures, uint64_t& lastStart);

// Atom k of a debug RAM frame of RF channels that starts at ADC period n0,
// for the board's TBT decimation and harmonic number.
uint64_t RfFrameAtom(uint64_t n0, unsigned k, uint32_t tbt, uint32_t harmonic);

} // namespace sim
