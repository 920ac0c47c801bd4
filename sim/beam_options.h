#pragma once
// Settings of the simulated beam: the beam as every RAF board of a chassis
// sees it, and the analogue front end of each RAF board.
//
// The four channel amplitudes of a turn follow from the position with the
// linear button model A, B, C, D = S/4 x (1 + x + y, 1 - x + y, 1 - x - y,
// 1 + x - y), x = X / kx and y = Y / ky, so that the instrument's
// X = Kx ((A + D) - (B + C)) / S gives X back when Kx equals kx.
//
// In a scenario file:
//   <chassis>
//     <beam x="0" y="0" intensity="4000000" noise="0" kx="10000000"
//           ky="10000000" phase="0" pattern="0 9 6 15" switching="true"/>
//     <board type="175" ...>
//       <frontend attenuation="0">
//         <position index="0" gains="1 1 1 1" phases="0 0 0 0"/>
//       </frontend>
//     </board>
//   </chassis>

#include <array>
#include <cstdint>

namespace sim {

struct BeamOptions {
    double x = 0.0;         // horizontal position, nm
    double y = 0.0;         // vertical position, nm
    double intensity = 4e6; // sum S of the four channel amplitudes of a turn (TDP counts)
    double noise = 0.0;     // standard deviation of each channel amplitude of a turn, counts (uniform noise)
    double kx = 1e7;        // horizontal geometry constant, nm
    double ky = 1e7;        // vertical geometry constant, nm
    double phase = 0.0;     // RF phase of the beam at the DDC, rad
    // Switch positions of the four steps of the switching pattern; the
    // first step carries the switch marker.
    std::array<uint32_t, 4> pattern{{0, 9, 6, 15}};
    bool switching = true; // off: the inputs stay in the pattern's first step, no marker

    bool operator==(const BeamOptions& o) const
    {
        return x == o.x && y == o.y && intensity == o.intensity && noise == o.noise && kx == o.kx && ky == o.ky &&
               phase == o.phase && pattern == o.pattern && switching == o.switching;
    }
};

// Analogue front end of one RAF board: an attenuation common to all
// channels, and the gain and phase error of each channel in each step of
// the switching pattern (index [step][channel]).
struct FrontEndOptions {
    double attenuation = 0.0; // dB
    std::array<std::array<double, 4>, 4> gain{{{{1, 1, 1, 1}}, {{1, 1, 1, 1}}, {{1, 1, 1, 1}}, {{1, 1, 1, 1}}}};
    std::array<std::array<double, 4>, 4> phase{};

    bool operator==(const FrontEndOptions& o) const
    {
        return attenuation == o.attenuation && gain == o.gain && phase == o.phase;
    }
};

} // namespace sim
