#include "acquisition/gain_control.h"

#include "acquisition/gain_tables.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "platform/qstd/util.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

namespace gain_control {

namespace {

constexpr double c_pi = 3.14159265358979323846;
constexpr double c_two_pi = 2.0 * c_pi;
// A jump of more than three quarters of a turn is taken as a wrap.
constexpr double c_unwrap_limit = 4.71238898038469;
// Relative distance beyond which a reading replaces the filtered value.
constexpr double c_filter_jump = 0.025000000000000022;
constexpr double c_ln10 = 2.302585092994046;
constexpr double c_gain_max = 1.99;

// Truncation toward zero into the 32-bit range.
int64_t Trunc32(double v)
{
    if (!(v > -2147483648.0)) {
        return std::numeric_limits<int32_t>::min();
    }
    if (!(v < 2147483647.0)) {
        return std::numeric_limits<int32_t>::max();
    }
    return static_cast<int64_t>(std::trunc(v));
}

// The dump file under its temporary name, made anew: never written through a
// link or into a file that someone else has put under the name (the dump
// directory is "/tmp/"). A file that cannot be made is not reported; the
// writes then go nowhere, as into a failed stream.
class DumpFile {
public:
    explicit DumpFile(const std::string& path)
    {
        ::unlink(path.c_str());
        m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    }
    ~DumpFile()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    DumpFile(const DumpFile&) = delete;
    DumpFile& operator=(const DumpFile&) = delete;

    // Writes the line at once; the first failure ends the writing.
    void Write(const std::string& line)
    {
        size_t done = 0;
        while (m_fd >= 0 && done < line.size()) {
            const ssize_t n = ::write(m_fd, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                ::close(m_fd);
                m_fd = -1;
            } else {
                done += static_cast<size_t>(n);
            }
        }
    }

private:
    int m_fd = -1;
};

std::vector<double> WindowPhases(const CaptureView& capture, uint32_t ws, uint32_t len, unsigned channel)
{
    std::vector<double> x(len);
    for (uint32_t i = 0; i < len; ++i) {
        x[i] = IqPhase(capture.I(ws + i, channel), capture.Q(ws + i, channel));
    }
    Unwrap(x);
    return x;
}

} // namespace

const int32_t* CaptureView::At(size_t atom) const
{
    if (atom >= m_atoms) {
        throw qstd::Exception("array: index out of range", true);
    }
    return m_data + c_valuesPerAtom * atom;
}

// --- automatic gain control -------------------------------------------------

uint32_t FilterSecondMax(double& f, uint32_t secondMax)
{
    const double x = static_cast<double>(secondMax);
    if (f > 0.0) {
        const double d = static_cast<double>(std::llabs(Trunc32(x - f))) / f;
        if (d > c_filter_jump || std::isnan(d)) {
            f = x;
        } else {
            f = 0.125 * x + 0.875 * f;
        }
    } else {
        f = x;
    }
    return f <= 0.0 ? 0u : f >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(f);
}

double SignalPower(uint32_t secondMax, uint32_t att, uint32_t adc0, uint32_t att0)
{
    return 20.0 * std::log(static_cast<double>(secondMax) / static_cast<double>(adc0)) / c_ln10 +
           static_cast<double>(att) - static_cast<double>(att0);
}

bool NextPowerLevel(double power, double hysteresis, int32_t& p)
{
    const int32_t old = p;
    const double diff = power - static_cast<double>(p);
    bool changed = true;
    if (diff >= 4.0 || diff <= -4.0) {
        const double half = diff * 0.5;
        const double step = std::trunc(half);
        const bool fits = std::isfinite(step) && step >= -2147483648.0 && step <= 2147483647.0;
        const int64_t next = fits ? static_cast<int64_t>(p) + static_cast<int64_t>(step) : 0;
        if (!fits || next < std::numeric_limits<int32_t>::min() || next > std::numeric_limits<int32_t>::max()) {
            p = diff > 0 ? c_highestPowerLevel : c_lowestPowerLevel;
        } else {
            p = static_cast<int32_t>(next);
        }
    } else if (diff < -0.5 - hysteresis) {
        p -= 1;
    } else if (diff >= hysteresis + 0.5) {
        p += 1;
    } else {
        changed = false;
    }
    QSTD_TRACE(4, "Signal power level " << power << " is based on previous power state " << old << " mapped to " << p
                                        << ".");
    return changed;
}

// --- capture analysis ----------------------------------------------------------

bool FindMarker(const CaptureView& capture, uint32_t allAtoms, uint32_t S, uint32_t& marker)
{
    QSTD_TRACE(2, "m_tbt_all_atoms: " << allAtoms);
    if (allAtoms == 0 || S == 0) {
        return false;
    }
    uint32_t count = 0;
    for (uint32_t i = 0; i < allAtoms; ++i) {
        if (capture.Marker(i)) {
            ++count;
            if (count == S) {
                marker = i + 1 - count;
                return true;
            }
        } else if (count != 0) {
            QSTD_TRACE(2, "trailing_markers < m_tbt_samples_per_switch: " << count << ", : " << S);
            count = 0;
        }
    }
    return false;
}

bool CalcAmplitudeCompensation(const CaptureView& capture, uint32_t marker, uint32_t S, uint32_t Pa, uint32_t& LS,
                               uint32_t& LE, tPatternByChannelDoubles& amplitudes)
{
    for (auto& row : amplitudes) {
        for (double& a : row) {
            a = 0.0;
        }
    }
    std::vector<int32_t> values[c_dscChannels];
    for (uint32_t p = 0; p < Pa; ++p) {
        for (uint32_t k = 0; k < c_dscPatternSize; ++k) {
            const int64_t first = static_cast<int64_t>(k + c_dscPatternSize * p) * S + marker;
            int64_t start = first + LS;
            int64_t end = first + static_cast<int64_t>(S) - 1 - LE;
            while (start >= end) {
                start -= 1;
                end += 1;
                LS = LS > 0 ? LS - 1 : 0;
                LE = LE > 0 ? LE - 1 : 0;
            }
            if (start < 0) {
                QSTD_TRACE(1, "Amplitude window of switch position " << k << " starts before the captured data.");
                return false;
            }
            const size_t n = static_cast<size_t>(end + 1 - start);
            for (unsigned c = 0; c < c_dscChannels; ++c) {
                values[c].assign(n, 0);
                for (size_t i = 0; i < n; ++i) {
                    const int64_t iv = capture.I(static_cast<size_t>(start) + i, c) >> 1;
                    const int64_t qv = capture.Q(static_cast<size_t>(start) + i, c) >> 1;
                    const double magnitude = std::sqrt(static_cast<double>(iv * iv + qv * qv)) + 0.5;
                    values[c][i] = static_cast<int32_t>(std::min(magnitude, 2147483647.0));
                }
                for (size_t i = 1; i < n; ++i) {
                    values[c][i] = static_cast<int32_t>((static_cast<int64_t>(values[c][i - 1]) + values[c][i]) / 2);
                }
            }
            for (unsigned ch = 0; ch < c_dscChannels; ++ch) {
                uint64_t sum = 0;
                for (int32_t v : values[ch]) {
                    sum += static_cast<uint64_t>(v);
                }
                const uint64_t mean = sum / n;
                amplitudes[k][ch] += static_cast<double>(mean);
                QSTD_TRACE(4, " pattern: " << p << " sw_pos: " << k << " channel: " << ch << " amplitude: " << mean
                                           << " average amplitude: " << amplitudes[k][ch] / (p + 1));
            }
        }
    }
    return true;
}

bool CalcAmplitudeGeoAverage(const tPatternByChannelDoubles& amplitudes, uint32_t channelLimit,
                             double (&geo)[c_dscChannels])
{
    unsigned lowest = 0;
    for (unsigned ch = 0; ch < c_dscChannels; ++ch) {
        const double product = amplitudes[0][ch] * amplitudes[1][ch] * amplitudes[2][ch] * amplitudes[3][ch];
        geo[ch] = product > 0.0 ? std::exp(0.25 * std::log(product)) : product;
        QSTD_TRACE(2, "Channel: " << ch << " Average amplitude: " << geo[ch] << "  " << amplitudes[0][ch] << "  "
                                  << amplitudes[1][ch] << "  " << amplitudes[2][ch] << "  " << amplitudes[3][ch]);
        if (geo[ch] < geo[lowest]) {
            lowest = ch;
        }
    }
    // A zero amplitude would make the ratios of the gain update infinite,
    // whatever the limit.
    if (static_cast<double>(channelLimit) > geo[lowest] || !(geo[lowest] > 0.0)) {
        std::ostringstream os;
        os << "Amplitude " << geo[lowest] << " on channel " << lowest << " is below threshold " << channelLimit
           << ". Calculation of DSC coefficients is skipped.";
        qstd::LogError(os.str());
        return false;
    }
    return true;
}

bool UpdateAmplitudeCompensation(const tPatternByChannelDoubles& amplitudes, const double (&geo)[c_dscChannels],
                                 const uint32_t (&slots)[c_dscPatternSize], bool unity, tCompensationEntry& row,
                                 bool& changed)
{
    tCompensationEntry scratch = row;
    bool moved = changed;
    for (unsigned ch = 0; ch < c_dscChannels; ++ch) {
        for (unsigned k = 0; k < c_dscPatternSize; ++k) {
            const double ratio = geo[ch] / amplitudes[k][ch];
            double& gain = scratch.gain[slots[k]][ch];
            const double old = gain;
            double next = unity ? ratio : ratio * old;
            if (next > c_gain_max) {
                next = c_gain_max;
            }
            gain = next;
            QSTD_TRACE(3, "Gain [ch:" << ch << ", sw:" << slots[k] << "] is updated from " << old << " to " << next
                                      << " by using ratio factor " << ratio << ".");
            if (!moved && !qstd::Equal(old, next)) {
                moved = true;
            }
        }
    }
    for (unsigned ch = 0; ch < c_dscChannels; ++ch) {
        double product = 1.0;
        for (unsigned k = 0; k < c_dscPatternSize; ++k) {
            product *= scratch.gain[slots[k]][ch];
        }
        if (!(product > 0.0) || !std::isfinite(product)) {
            qstd::LogCritical("Internal error: incorrectly computed coefficients for channel " + std::to_string(ch) +
                              " prevents further DSC execution.");
            return false;
        }
        const double norm = std::exp(0.25 * std::log(product));
        for (unsigned k = 0; k < c_dscPatternSize; ++k) {
            double& gain = scratch.gain[slots[k]][ch];
            const double old = gain;
            gain = old / norm;
            QSTD_TRACE(3, "Gain [ch:" << ch << ", sw:" << slots[k] << "] normalization: from " << old << " to " << gain
                                      << " by using ratio factor " << norm << ".");
            if (!moved && !qstd::Equal(old, gain)) {
                moved = true;
            }
        }
    }
    row = scratch;
    changed = moved;
    return true;
}

double IqPhase(int32_t i, int32_t q)
{
    if (i == 0 && q == 0) {
        return 0.0;
    }
    return std::atan2(static_cast<double>(i), static_cast<double>(q));
}

void Unwrap(std::vector<double>& x)
{
    double offset = 0.0;
    for (size_t i = 1; i < x.size(); ++i) {
        x[i] += offset;
        if (std::fabs(x[i] - x[i - 1]) > c_unwrap_limit) {
            if (x[i] > x[i - 1]) {
                offset -= c_two_pi;
                x[i] -= c_two_pi;
            } else {
                offset += c_two_pi;
                x[i] += c_two_pi;
            }
        }
    }
}

bool CalcMeanAngleDiff(std::vector<double> a, std::vector<double> b, double& mean)
{
    if (a.size() != b.size() || a.empty()) {
        return false;
    }
    double sum = 0.0;
    for (size_t i = 0; i < a.size(); ++i) {
        sum += a[i] - b[i];
    }
    mean = sum / static_cast<double>(a.size());
    return true;
}

double WrapPhase(double phase)
{
    if (!std::isfinite(phase)) {
        return phase;
    }
    while (phase > c_pi) {
        phase -= c_two_pi;
    }
    while (phase < -c_pi) {
        phase += c_two_pi;
    }
    return phase;
}

bool CalcPhaseCompensation(const CaptureView& capture, uint32_t& marker, uint32_t S, uint32_t Pp, uint32_t allAtoms,
                           double tbtFrequency, tPatternByChannelDoubles& phases, double& ifMeasured)
{
    const uint32_t q = static_cast<uint32_t>(0.75 * S);
    if (marker < q) {
        marker += c_dscPatternSize * S;
    }
    const uint64_t start = marker - q;
    const uint64_t count = static_cast<uint64_t>(Pp) * c_dscPatternSize * S;
    const uint64_t end = start + count - 1;
    uint32_t ws = static_cast<uint32_t>(marker + 0.2 * S);
    uint32_t we = static_cast<uint32_t>(marker + 0.8 * S);
    // The windows of the four positions end at we + 3S.
    const uint64_t lastWindowEnd = static_cast<uint64_t>(we) + (c_dscPatternSize - 1) * static_cast<uint64_t>(S);
    if (count < 2 || end >= allAtoms || lastWindowEnd >= allAtoms) {
        QSTD_TRACE(2, "Not enough samples for calculation of phase correlation coefficients.");
        return false;
    }

    std::vector<double> ref(static_cast<size_t>(count));
    for (size_t i = 0; i < ref.size(); ++i) {
        ref[i] = IqPhase(capture.I(start + i, 0), capture.Q(start + i, 0));
    }
    Unwrap(ref);
    const double slope = (ref.back() - ref.front()) / static_cast<double>(ref.size() - 1);

    for (auto& row : phases) {
        for (double& v : row) {
            v = 0.0;
        }
    }
    const uint32_t len = we + 1 - ws;
    for (unsigned k = 0; k < c_dscPatternSize; ++k) {
        std::vector<double> line(len);
        line[0] = static_cast<double>(ws - start) * slope + ref[0];
        for (uint32_t i = 1; i < len; ++i) {
            line[i] = line[i - 1] + slope;
        }
        const std::vector<double> c0 = WindowPhases(capture, ws, len, 0);
        double d0 = 0.0;
        CalcMeanAngleDiff(line, c0, d0);
        phases[k][0] = -d0;
        for (unsigned j = 1; j < c_dscChannels; ++j) {
            double dj = 0.0;
            CalcMeanAngleDiff(c0, WindowPhases(capture, ws, len, j), dj);
            phases[k][j] = -d0 - dj;
        }
        for (double& v : phases[k]) {
            v = WrapPhase(v);
        }
        ws += S;
        we += S;
    }
    ifMeasured = slope * tbtFrequency / c_two_pi;
    return true;
}

void UpdateAngleCorrection(const tPatternByChannelDoubles& phases, double ifMeasured,
                           const uint32_t (&slots)[c_dscPatternSize], bool unity, tCompensationEntry& row,
                           double& ifDelta, bool& changed)
{
    for (unsigned k = 0; k < c_dscPatternSize; ++k) {
        const uint32_t slot = slots[k];
        for (unsigned ch = 0; ch < c_dscChannels; ++ch) {
            double& phase = row.phase[slot][ch];
            const double old = phase;
            phase = WrapPhase(unity ? phases[k][ch] : old - phases[k][ch]);
            QSTD_TRACE(3, "Phase [ch:" << ch << ", sw:" << slot << "] is updated from " << old << " to " << phase
                                       << " by using factor " << phases[k][ch] << ".");
            if (!changed && !qstd::Equal(old, phase)) {
                changed = true;
            }
        }
    }
    if (!changed) {
        if (!qstd::Equal(ifMeasured, ifDelta)) {
            ifDelta = ifMeasured;
            changed = true;
        }
    } else {
        ifDelta = ifMeasured;
    }
}

// --- quality check ---------------------------------------------------------

bool CalcDataVariance(const CaptureView& capture, const QualityInput& in, double& quality, bool& qualityMeasured)
{
    qualityMeasured = false;
    const int64_t samples = static_cast<int64_t>(in.S) - in.LS - in.LE;
    const uint64_t first = static_cast<uint64_t>(in.LS) + in.marker;
    if (qstd::TraceOn(2)) {
        std::ostringstream os;
        os << "SignalController::CalcRawDataVariance\n"
           << "    c_dscPatternSize                : " << c_dscPatternSize << "\n"
           << "    c_dscChannels                   : " << c_dscChannels << "\n"
           << "    m_tbt_samples_per_switch        : " << in.S << "\n"
           << "    m_tbt_ampl_averaging_patterns   : " << in.Pa << "\n"
           << "    m_leave_out_start               : " << in.LS << "\n"
           << "    m_leave_out_end                 : " << in.LE << "\n"
           << "    a_marker                        : " << in.marker << "\n"
           << "    num_samples                     : " << samples << "\n"
           << "    num_skip                        : " << first << "\n"
           << "    tPatternByChannelDoubles        : " << sizeof(tPatternByChannelDoubles) << "\n";
        QSTD_TRACE(2, os.str());
    }
    if (samples <= 0 || in.Pa == 0) {
        QSTD_TRACE(1, "DSC quality failed, no samples to check.");
        return false;
    }

    tPatternByChannelDoubles sumI = {}, sumI2 = {}, sumQ = {}, sumQ2 = {}, sumA = {}, sumA2 = {};
    double minAmp = std::numeric_limits<double>::max();
    {
        DumpFile dump(in.dumpTemporary);
        std::string line;
        for (uint32_t p = 0; p < in.Pa; ++p) {
            for (int64_t j = 0; j < samples; ++j) {
                line.clear();
                for (unsigned k = 0; k < c_dscPatternSize; ++k) {
                    const size_t atom = first + static_cast<uint64_t>(c_dscPatternSize) * in.S * p +
                                        static_cast<uint64_t>(in.S) * k + static_cast<uint64_t>(j);
                    for (unsigned c = 0; c < c_dscChannels; ++c) {
                        const double iv = capture.I(atom, c);
                        const double qv = capture.Q(atom, c);
                        line += std::to_string(capture.I(atom, c)) + ' ' + std::to_string(capture.Q(atom, c)) + ' ';
                        sumI[k][c] += iv;
                        sumI2[k][c] += iv * iv;
                        sumQ[k][c] += qv;
                        sumQ2[k][c] += qv * qv;
                        const double a = std::sqrt(iv * iv + qv * qv);
                        minAmp = std::min(minAmp, a);
                        sumA[k][c] += a;
                        sumA2[k][c] += a * a;
                    }
                }
                line += '\n';
                dump.Write(line);
            }
        }
    }
    // A zero amplitude would make the quality not a number, which passes
    // every tolerance.
    if (static_cast<double>(in.channelLimit) > minAmp || !(minAmp > 0.0)) {
        QSTD_TRACE(1, "DSC quality failed, min_amp too low: " << minAmp << " < " << in.channelLimit);
        return false;
    }
    const double n = static_cast<double>(samples) * in.Pa;
    QSTD_TRACE(2, "var_i        var_q       var_amp");
    double rawSum = 0.0;
    double ampSum = 0.0;
    for (unsigned k = 0; k < c_dscPatternSize; ++k) {
        for (unsigned c = 0; c < c_dscChannels; ++c) {
            const double vI = n * sumI2[k][c] - sumI[k][c] * sumI[k][c];
            const double vQ = n * sumQ2[k][c] - sumQ[k][c] * sumQ[k][c];
            const double vA = n * sumA2[k][c] - sumA[k][c] * sumA[k][c];
            QSTD_TRACE(2, vI / n / n << " " << vQ / n / n << " " << vA / n / n);
            rawSum += vI + vQ;
            ampSum += vA;
        }
    }
    const double rmsRaw = std::sqrt(rawSum * 0.25 * 0.25 * 0.5) / n;
    QSTD_TRACE(2, "rms_raw : " << rmsRaw);
    const double rmsAmp = std::sqrt(ampSum * 0.25 * 0.25) / n;
    QSTD_TRACE(2, "rms_amp : " << rmsAmp);
    QSTD_TRACE(2, "min_amp * m_quality_tolerance / 100: " << minAmp << " * " << in.tolerance
                                                          << "% = " << minAmp * in.tolerance / 100);
    const double rms = in.selector == eQualityRaw ? rmsRaw : rmsAmp;
    quality = 100 * rms / minAmp;
    qualityMeasured = true;
    QSTD_TRACE(2, "rms_amp : " << rms << " min_amp: " << minAmp << " m_quality: " << quality
                               << " m_quality_tolerance: " << in.tolerance);
    // Written so that a quality that is not a number fails.
    if (!(quality <= in.tolerance)) {
        QSTD_TRACE(1, "DSC quality failed, " << (in.selector == eQualityRaw ? "Raw" : "Amp")
                                             << " rms / min_amp higher than tolerance: " << rms << " / " << minAmp
                                             << " = " << rms / minAmp);
        std::remove(in.dumpFailed.c_str());
        std::rename(in.dumpTemporary.c_str(), in.dumpFailed.c_str());
        return false;
    }
    std::remove(in.dumpGood.c_str());
    std::rename(in.dumpTemporary.c_str(), in.dumpGood.c_str());
    return true;
}

} // namespace gain_control
