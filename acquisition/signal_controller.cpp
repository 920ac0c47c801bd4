#include "acquisition/signal_controller.h"

#include "app/raf_board.h"
#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/qapp/instrument_path.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qreg/reg_exec_node.h"
#include "platform/qstd/enum_map.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_enum_node.h"
#include "qreg/reg_fnc_node.h"
#include "qreg/reg_node.h"
#include "qreg/reg_reference_enum_node.h"
#include "qreg/reg_reference_node.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <sstream>

template <>
qstd::BiMap<tAppliedCoefficients> qstd::EnumMap<tAppliedCoefficients>::items = {
    {eCoefficientsUnity, "unity"},
    {eCoefficientsAdjusted, "adjusted"},
};

template <>
qstd::BiMap<tQualityEstimation> qstd::EnumMap<tQualityEstimation>::items = {
    {eQualityOff, "Off"},
    {eQualityAmp, "Amp"},
    {eQualityRaw, "Raw"},
};

namespace {

// Directory of the RAM copy of the compensation table and of the default
// dump directory (under the instrument root of a run off the instrument).
const char* const c_ram_directory = "/tmp/";

} // namespace

SignalController::SignalController(RafBoard& board, std::string name, std::string confDir, bool enabled)
    : qapp::ZemtraFeature(board, name), m_enabled(enabled), m_board(board), m_comp_table(new CompTable),
      m_dump_directory(qapp::InstrumentPath(c_ram_directory)), m_conf_dir(std::move(confDir))
{
    QSTD_TRACE_FNC();
    for (tAttLevel& row : m_att_table) {
        row = {c_attMax, 0.0};
    }
    m_flash_file = GenerateFileName(m_conf_dir, "lastgood", ".dat");
    m_ram_file = GenerateFileName(qapp::InstrumentPath(c_ram_directory), "lastgood", ".dat");

    if (!ReadCompTable(m_ram_file) && !ReadCompTable(m_flash_file)) {
        InitCompTable();
    }
    m_lowest_power = c_highestPowerLevel;
    m_highest_power = c_lowestPowerLevel;
    UpdateTbtAtoms();

    if (!ReadAttTable()) {
        throw qstd::Exception("Unable to read gain schema.", true);
    }
    if (m_lowest_power != c_lowestPowerLevel || m_highest_power != c_highestPowerLevel) {
        throw qstd::Exception("Internal error: gain schema boundaries are not correctly defined.", true);
    }
    m_0dBm_att = m_att_table[static_cast<size_t>(-c_lowestPowerLevel)].att;

    m_thread = std::thread([this] { (*this)(); });
}

void SignalController::ApplyStartAttenuator()
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_data_mutex);
    m_board.SetAtt(m_att_table[RowIndex()].att);
}

SignalController::~SignalController()
{
    QSTD_TRACE_FNC();
    StopThread();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

// --- thread ----------------------------------------------------------------

void SignalController::operator()()
{
    std::unique_lock<std::mutex> lock(m_thread_lock.Mutex());
    while (!m_stop) {
        if (m_enabled.load()) {
            try {
                TuneSignal();
            } catch (const std::exception& e) {
                QSTD_TRACE(1, "Error: " << e.what());
            } catch (...) {
                QSTD_TRACE(1, "Unknown Exception");
            }
        }
        // A notification, a spurious wake-up and the time-out all end the wait.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_period.load());
        m_wake.wait_until(lock, deadline);
    }
}

void SignalController::WakeUp()
{
    m_tuning_count.store(m_compensation_freq.load());
    EmitExpireCounter();
    m_wake.notify_one();
}

void SignalController::StopThread()
{
    std::lock_guard<std::mutex> lock(m_thread_lock.Mutex());
    if (m_stop) {
        return;
    }
    m_stop = true;
    WakeUp();
}

SignalController::LockPtr SignalController::Lock()
{
    return m_thread_lock.Lock();
}

void SignalController::Unlock(LockPtr& lock)
{
    m_thread_lock.Unlock(lock);
}

void SignalController::SetEnabled(bool enabled)
{
    m_enabled.store(enabled);
}

void SignalController::EmitExpireCounter()
{
    mci::TreeNodePtr node;
    {
        std::lock_guard<std::mutex> lock(m_node_mutex);
        node = m_expire_node;
    }
    if (auto* reg = dynamic_cast<qreg::RegNode*>(node.get())) {
        reg->Emit();
    }
}

// --- hooks -----------------------------------------------------------------

void SignalController::OnPostInit()
{
    QSTD_TRACE_FNC();
    m_tbt_frequency.store(m_board.GetTbtFrequency());
}

void SignalController::OnShutdown()
{
    QSTD_TRACE_FNC();
    StopThread();
}

void SignalController::OnChangeCoefficients(tCompensationEntry& /*entry*/) {}
void SignalController::OnSetAtt(int /*att*/) {}
void SignalController::OnSetUnity() {}
void SignalController::OnSetCompensation(const tCompensationEntry& /*entry*/, double /*ifDelta*/) {}

// --- settings ----------------------------------------------------------------

bool SignalController::GetPeriod(uint32_t& value) const
{
    value = m_period.load();
    return true;
}

bool SignalController::SetPeriod(const uint32_t& value)
{
    m_period.store(value);
    return true;
}

bool SignalController::GetCompensationFrequency(uint32_t& value) const
{
    value = m_compensation_freq.load();
    return true;
}

bool SignalController::SetCompensationFrequency(const uint32_t& value)
{
    m_compensation_freq.store(value);
    return true;
}

bool SignalController::Get0DbmAtt(uint32_t& value) const
{
    value = m_0dBm_att;
    return true;
}

bool SignalController::Get0DbmAdc(uint32_t& value) const
{
    value = m_0dBm_adc.load();
    return true;
}

bool SignalController::Set0DbmAdc(const uint32_t& value)
{
    m_0dBm_adc.store(value);
    return true;
}

bool SignalController::GetAdjustAttenuators(bool& value) const
{
    value = m_adjust_attenuators.load();
    return true;
}

bool SignalController::SetAdjustAttenuators(const bool& value)
{
    m_adjust_attenuators.store(value);
    WakeUp();
    return true;
}

bool SignalController::GetDscAdjustType(tAppliedCoefficients& value) const
{
    value = m_applied_coefficients.load();
    return true;
}

bool SignalController::SetDscAdjustType(const tAppliedCoefficients& value)
{
    m_applied_coefficients.store(value);
    m_coefficients_pending.store(true);
    return true;
}

bool SignalController::GetAmplAveragePatterns(uint32_t& value) const
{
    value = m_tbt_ampl_averaging_patterns.load();
    return true;
}

bool SignalController::GetPhaseAveragePatterns(uint32_t& value) const
{
    value = m_tbt_phase_averaging_patterns.load();
    return true;
}

bool SignalController::SetAveragePatterns(const uint32_t& value, std::atomic<uint32_t>& member, const char* kind)
{
    if (value >= c_max_average_patterns) {
        QSTD_TRACE(1, "Number of switch patterns used for " << kind << " averaging is limited to "
                                                            << c_max_average_patterns << ".");
        return false;
    }
    std::lock_guard<std::mutex> lock(m_thread_lock.Mutex());
    member.store(value);
    UpdateTbtAtoms();
    return true;
}

bool SignalController::SetAmplAveragePatterns(const uint32_t& value)
{
    return SetAveragePatterns(value, m_tbt_ampl_averaging_patterns, "amplitude");
}

bool SignalController::SetPhaseAveragePatterns(const uint32_t& value)
{
    return SetAveragePatterns(value, m_tbt_phase_averaging_patterns, "phase");
}

bool SignalController::GetPowerLevel(int32_t& value) const
{
    std::lock_guard<std::mutex> lock(m_data_mutex);
    value = m_power;
    return true;
}

// --- tables ------------------------------------------------------------------

std::string SignalController::GenerateFileName(const std::string& directory, const std::string& base,
                                               const std::string& extension) const
{
    return directory + base + m_board.GetId() + extension;
}

bool SignalController::ReadAttTable()
{
    const std::string name = GenerateFileName(m_conf_dir, "gain", ".conf");
    if (!ReadAttTableFile(name, m_att_table)) {
        return false;
    }
    m_lowest_power = c_lowestPowerLevel;
    m_highest_power = c_highestPowerLevel;
    return true;
}

bool SignalController::ReadCompTable(const std::string& path)
{
    std::unique_ptr<CompTable> scratch(new CompTable);
    if (!ReadCompTableFile(path, *scratch)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_data_mutex);
    m_comp_table.swap(scratch);
    m_coefficients_pending.store(true);
    return true;
}

bool SignalController::WriteCompTable(const std::string& path)
{
    std::unique_ptr<CompTable> copy(new CompTable);
    {
        std::lock_guard<std::mutex> lock(m_data_mutex);
        *copy = *m_comp_table;
    }
    return WriteCompTableFile(path, *copy);
}

bool SignalController::InitCompTable()
{
    std::lock_guard<std::mutex> lock(m_data_mutex);
    ::InitCompTable(*m_comp_table);
    return true;
}

bool SignalController::LoadCoefficients()
{
    std::lock_guard<std::mutex> lock(m_thread_lock.Mutex());
    return ReadCompTable(m_flash_file);
}

bool SignalController::StoreCoefficients()
{
    std::lock_guard<std::mutex> lock(m_thread_lock.Mutex());
    return WriteCompTable(m_flash_file);
}

size_t SignalController::GetAttLevels(uint32_t* values, size_t position, size_t count) const
{
    size_t n = 0;
    for (; n < count && position + n < c_powerLevels; ++n) {
        values[n] = m_att_table[position + n].att;
    }
    return n;
}

namespace {

// Element p of the gain or phase array: row p / 16, switch position
// (p mod 16) / 4, channel p mod 4.
double& Element(CompTable& table, size_t p, bool gain)
{
    tCompensationEntry& row = table[p / 16];
    const size_t k = p % 16;
    return gain ? row.gain[k / 4][k % 4] : row.phase[k / 4][k % 4];
}

} // namespace

size_t SignalController::GetCoeffs(double* values, size_t position, size_t count, bool gain) const
{
    std::lock_guard<std::mutex> lock(m_data_mutex);
    size_t n = 0;
    for (; n < count && position + n < c_comp_values; ++n) {
        values[n] = Element(*m_comp_table, position + n, gain);
    }
    return n;
}

bool SignalController::SetCoeffs(const double* values, size_t position, size_t count, bool gain)
{
    if (position > c_comp_values || count > c_comp_values - position) {
        return false;
    }
    // A gain must be finite and positive, a phase finite, or the taps of the
    // row would be undefined.
    for (size_t i = 0; i < count; ++i) {
        if (!std::isfinite(values[i]) || (gain && !(values[i] > 0.0))) {
            QSTD_TRACE(1, "Invalid " << (gain ? "gain" : "phase") << " coefficient " << values[i] << " at "
                                     << position + i << ".");
            return false;
        }
    }
    std::lock_guard<std::mutex> lock(m_data_mutex);
    for (size_t i = 0; i < count; ++i) {
        Element(*m_comp_table, position + i, gain) = values[i];
    }
    return true;
}

size_t SignalController::GetGainCoeffs(double* values, size_t position, size_t count) const
{
    return GetCoeffs(values, position, count, true);
}

size_t SignalController::GetPhaseCoeffs(double* values, size_t position, size_t count) const
{
    return GetCoeffs(values, position, count, false);
}

bool SignalController::SetGainCoeffs(const double* values, size_t position, size_t count)
{
    return SetCoeffs(values, position, count, true);
}

bool SignalController::SetPhaseCoeffs(const double* values, size_t position, size_t count)
{
    return SetCoeffs(values, position, count, false);
}

void SignalController::ConvertPowerLevel(const int32_t& dBm, uint32_t& att) const
{
    if (dBm >= m_lowest_power && dBm <= m_highest_power) {
        const int64_t index = static_cast<int64_t>(dBm) - c_lowestPowerLevel;
        if (index < 0 || index >= static_cast<int64_t>(c_powerLevels)) {
            throw qstd::Exception("Internal error: Invalid power level configuration", true);
        }
        att = m_att_table[static_cast<size_t>(index)].att;
        return;
    }
    std::ostringstream os;
    os << "Power level " << dBm << " is not in a range between " << m_lowest_power << " and " << m_highest_power;
    throw qstd::Exception(os.str(), true);
}

tCompensationEntry SignalController::GetRow(int32_t dBm) const
{
    std::lock_guard<std::mutex> lock(m_data_mutex);
    const int32_t level = std::min(std::max(dBm, c_lowestPowerLevel), c_highestPowerLevel);
    return (*m_comp_table)[static_cast<size_t>(level - c_lowestPowerLevel)];
}

uint32_t SignalController::GetAllAtoms() const
{
    std::lock_guard<std::mutex> lock(m_thread_lock.Mutex());
    return m_tbt_all_atoms;
}

size_t SignalController::RowIndex() const
{
    const int32_t level = std::min(std::max(m_power, c_lowestPowerLevel), c_highestPowerLevel);
    return static_cast<size_t>(level - c_lowestPowerLevel);
}

// --- automatic gain control ----------------------------------------------------

bool SignalController::GetSignalInfo(uint32_t& secondMax, uint32_t& att, double& power)
{
    unsigned int s = 0;
    unsigned int a = 0;
    if (!m_board.Get2ndMax(s) || !m_board.GetAtt(a)) {
        return false;
    }
    if (m_filtering.load()) {
        s = gain_control::FilterSecondMax(m_filtered_2nd_max, s);
    }
    secondMax = s;
    att = a;
    const uint32_t adc0 = m_0dBm_adc.load();
    power = gain_control::SignalPower(s, a, adc0, m_0dBm_att);
    QSTD_TRACE(4, " Signal Info:"
                      << " a_second_max: " << s << " m_0dBm_adc: " << adc0 << " a_curr_att: " << a
                      << " m_0dBm_att: " << m_0dBm_att << " a_power: " << power);
    return true;
}

bool SignalController::SignalPowerChanged(uint32_t /*secondMax*/, uint32_t /*att*/, double power)
{
    const double hysteresis = m_att_table[RowIndex()].hysteresis;
    return gain_control::NextPowerLevel(power, hysteresis, m_power);
}

void SignalController::TuneSignal()
{
    uint32_t s = 0;
    uint32_t a = 0;
    double power = 0.0;
    if (!GetSignalInfo(s, a, power)) {
        QSTD_TRACE(2, "GetSignalInfo failed");
        return;
    }
    bool applied = false;
    bool counted = false;
    int32_t level = 0;
    {
        std::lock_guard<std::mutex> lock(m_data_mutex);
        const bool changed = m_adjust_attenuators.load() ? SignalPowerChanged(s, a, power) : false;
        QSTD_TRACE(4, "Power: " << power << " m_power: " << m_power);
        bool fresh = false;
        if (m_adjust_coefficients.load() && m_board.IsSwitchingEnabled()) {
            const uint32_t count = m_tuning_count.load() + 1;
            const uint32_t frequency = m_compensation_freq.load();
            if (count >= frequency) {
                m_tuning_count.store(0);
                fresh = CalcCompensation(s);
            } else {
                m_tuning_count.store(count);
                QSTD_TRACE(4, "m_tuning_count < m_compensation_freq: " << count << ", :" << frequency);
            }
            counted = true;
        } else {
            QSTD_TRACE(4, "!m_adjust_coefficients || !m_board.IsSwitchingEnabled()");
        }
        if (fresh && !m_att_dependent.load()) {
            const tCompensationEntry row = (*m_comp_table)[RowIndex()];
            m_comp_table->fill(row);
        }
        // Pending coefficients go out with a level change too, even when the
        // level is clamped back to the one already applied. A request that
        // arrives during the step stays pending for the next one; one that
        // the step fails to apply stays pending too.
        const bool requested = m_coefficients_pending.exchange(false);
        const bool pending = fresh || requested;
        if (changed || pending) {
            try {
                applied = ApplyNewSetting(pending);
            } catch (...) {
                if (requested) {
                    m_coefficients_pending.store(true);
                }
                throw;
            }
        }
        level = m_power;
    }
    // Subscribers hear of the step after the data mutex is released.
    if (counted) {
        EmitExpireCounter();
    }
    if (applied) {
        mci::Node power;
        {
            std::lock_guard<std::mutex> lock(m_node_mutex);
            power = m_power_node;
        }
        if (auto* reg = dynamic_cast<qreg::RegNode*>(power.GetTreeNode().get())) {
            reg->EmitValue(level, 0);
        }
    }
}

bool SignalController::ApplyNewSetting(bool force)
{
    m_power = std::min(std::max(m_power, m_lowest_power), m_highest_power);
    if (m_power == m_last_power && !force) {
        return false;
    }
    bool result = false;
    if (m_adjust_attenuators.load()) {
        const uint32_t att = m_att_table[RowIndex()].att;
        QSTD_TRACE(4, "Apply attenuator value " << att << " for power level " << m_power << ".");
        m_board.SetAtt(att);
        OnSetAtt(static_cast<int>(att));
        bool nodeValid = false;
        {
            std::lock_guard<std::mutex> lock(m_node_mutex);
            nodeValid = static_cast<bool>(m_power_node);
        }
        result = m_power != m_last_power && nodeValid;
    }
    if (m_applied_coefficients.load() != eCoefficientsUnity) {
        QSTD_TRACE(4, "Apply gain/phase compensation coefficients for power level " << m_power << ".");
        const tCompensationEntry row = (*m_comp_table)[RowIndex()];
        m_board.SetCompensation(row, m_if_delta);
        OnSetCompensation(row, m_if_delta);
    } else {
        QSTD_TRACE(4, "Apply unity gain/phase coefficients.");
        m_board.SetUnitCompensation();
        OnSetUnity();
    }
    m_last_power = m_power;
    return result;
}

bool SignalController::SetPowerLevel(const int32_t& value)
{
    std::lock_guard<std::mutex> lock(m_data_mutex);
    if (m_adjust_attenuators.load() && GetApplicationState() == qapp::ZemtraApplication::eStateRunning) {
        throw qstd::Exception("Power level can not be modified while AGC is enabled", true);
    }
    uint32_t att = 0;
    ConvertPowerLevel(value, att);
    m_power = value;
    m_board.SetAtt(att);
    OnSetAtt(static_cast<int>(att));
    if (m_applied_coefficients.load() == eCoefficientsAdjusted) {
        QSTD_TRACE(4, "Apply gain/phase compensation coefficients for manually changed power level " << m_power << ".");
        const tCompensationEntry row = (*m_comp_table)[RowIndex()];
        m_board.SetCompensation(row, m_if_delta);
        OnSetCompensation(row, m_if_delta);
        WakeUp();
    }
    m_last_power = m_power;
    return true;
}

// --- compensation ------------------------------------------------------------

void SignalController::SetSamplesPerSwitchPosition(uint32_t n)
{
    std::lock_guard<std::mutex> lock(m_thread_lock.Mutex());
    m_tbt_samples_per_switch = n;
    m_leave_out_start = n / 5;
    m_leave_out_end = n / 5;
    UpdateTbtAtoms();
}

void SignalController::UpdateTbtAtoms()
{
    const uint64_t perPattern = static_cast<uint64_t>(c_dscPatternSize) * m_tbt_samples_per_switch;
    const uint64_t patterns =
        std::max(m_tbt_ampl_averaging_patterns.load(), m_tbt_phase_averaging_patterns.load()) + uint64_t{1};
    m_tbt_all_atoms = static_cast<uint32_t>(std::min<uint64_t>(patterns * perPattern, 0xFFFFFFFFu));
    m_capture.Resize(m_tbt_all_atoms);
}

uint32_t SignalController::OrderedSwPosition(const uint32_t& k) const
{
    unsigned int pattern[c_dscPatternSize] = {0, 0, 0, 0};
    unsigned int mark = 0;
    if (!m_board.GetSwPattern(pattern) || !m_board.GetSwitchMarkPosition(mark)) {
        return k;
    }
    for (uint32_t j = 0; j < c_dscPatternSize; ++j) {
        if (pattern[j] == mark) {
            return (k + j) % c_dscPatternSize;
        }
    }
    return k;
}

struct SignalController::Compensation {
    gain_control::CaptureView capture;
    uint32_t all;    // atoms captured
    uint32_t marker; // atom of the switch mark
    uint32_t S;      // atoms per switch position
    uint32_t slots[c_dscPatternSize];
    bool unity;
    tCompensationEntry& row;
    bool changed;
};

bool SignalController::CalcCompensation(uint32_t secondMax)
{
    if (!IsSignalLevelInRange(secondMax)) {
        QSTD_TRACE(2, "The level of input signal is not in the reasonable range for channel compensation.");
        return false;
    }
    const uint32_t all = m_tbt_all_atoms;
    uint32_t marker = 0;
    if (!CaptureTbt(all, marker)) {
        return false;
    }
    Compensation c{CapturedTbt(), all, marker, m_tbt_samples_per_switch, {}, false, (*m_comp_table)[RowIndex()], false};
    for (uint32_t k = 0; k < c_dscPatternSize; ++k) {
        c.slots[k] = OrderedSwPosition(k);
    }
    c.unity = m_applied_coefficients.load() == eCoefficientsUnity;
    if (!CompensateAmplitude(c) || !CompensatePhase(c)) {
        return c.changed;
    }
    // The caller holds the data mutex.
    WriteCompTableFile(m_ram_file, *m_comp_table);
    OnChangeCoefficients(c.row);
    return c.changed;
}

bool SignalController::IsSignalLevelInRange(uint32_t secondMax)
{
    const uint64_t limit = m_second_max_limit.load();
    const uint64_t hysteresis = m_hysteresis.load();
    const uint64_t lower = limit > hysteresis ? limit - hysteresis : 0;
    if (m_signal_level_state) {
        if (lower > secondMax) {
            m_signal_level_state = false;
            return false;
        }
        return true;
    }
    if (secondMax <= limit + hysteresis) {
        return false;
    }
    m_signal_level_state = true;
    return true;
}

bool SignalController::CaptureTbt(uint32_t all, uint32_t& marker)
{
    const int count = static_cast<int>(std::min<uint32_t>(all, 0x7FFFFFFF));
    const int read = m_board.ReadDDC(m_capture, m_use_curr_data.load() ? -count : count);
    if (read < 0 || static_cast<uint32_t>(read) < all) {
        QSTD_TRACE(2, "Not enough TBT data for channel compensation");
        return false;
    }
    if (!gain_control::FindMarker(CapturedTbt(), all, m_tbt_samples_per_switch, marker)) {
        QSTD_TRACE(2, "Marker was not found within captured TBT data.");
        m_board.UpdateMarkerPosition();
        return false;
    }
    return true;
}

gain_control::CaptureView SignalController::CapturedTbt() const
{
    return gain_control::CaptureView(reinterpret_cast<const int32_t*>(m_capture.GetData()), m_capture.GetLength());
}

bool SignalController::CompensateAmplitude(Compensation& c)
{
    const uint32_t Pa = m_tbt_ampl_averaging_patterns.load();
    if (Pa == 0) {
        return true;
    }
    gain_control::tPatternByChannelDoubles amplitudes;
    double geo[c_dscChannels];
    if (!gain_control::CalcAmplitudeCompensation(c.capture, c.marker, c.S, Pa, m_leave_out_start, m_leave_out_end,
                                                 amplitudes) ||
        !gain_control::CalcAmplitudeGeoAverage(amplitudes, m_channel_limit.load(), geo)) {
        return false;
    }
    if (m_quality_selector.load() != eQualityOff && !IsQualityAccepted(c, Pa)) {
        return false;
    }
    if (!gain_control::UpdateAmplitudeCompensation(amplitudes, geo, c.slots, c.unity, c.row, c.changed)) {
        QSTD_TRACE(2, "Failed to apply amplitude compensation.");
        return false;
    }
    return true;
}

bool SignalController::IsQualityAccepted(const Compensation& c, uint32_t Pa)
{
    if (!m_dump_names_made) {
        // Formed once per controller, from the directory of that moment.
        m_dump_temporary = GenerateFileName(m_dump_directory, "dd_dsc_tmp", ".dat");
        m_dump_failed = GenerateFileName(m_dump_directory, "dd_dsc", ".dat");
        m_dump_good = GenerateFileName(m_dump_directory, "dd_dsc_good", ".dat");
        m_dump_names_made = true;
    }
    gain_control::QualityInput in;
    in.marker = c.marker;
    in.S = c.S;
    in.Pa = Pa;
    in.LS = m_leave_out_start;
    in.LE = m_leave_out_end;
    in.channelLimit = m_channel_limit.load();
    in.selector = m_quality_selector.load();
    in.tolerance = m_quality_tolerance.load();
    in.dumpTemporary = m_dump_temporary;
    in.dumpFailed = m_dump_failed;
    in.dumpGood = m_dump_good;
    double quality = 0.0;
    bool measured = false;
    const bool good = gain_control::CalcDataVariance(c.capture, in, quality, measured);
    if (measured) {
        PublishQuality(quality);
    }
    if (!good) {
        QSTD_TRACE(2, "Signal does not match quality criteria");
    }
    return good;
}

void SignalController::PublishQuality(double quality)
{
    m_quality.store(quality);
    mci::TreeNodePtr node;
    {
        std::lock_guard<std::mutex> lock(m_node_mutex);
        node = m_quality_node;
    }
    if (auto* reg = dynamic_cast<qreg::RegNode*>(node.get())) {
        reg->Emit();
    }
}

bool SignalController::CompensatePhase(Compensation& c)
{
    const uint32_t Pp = m_tbt_phase_averaging_patterns.load();
    if (Pp == 0) {
        return true;
    }
    gain_control::tPatternByChannelDoubles phases;
    double ifMeasured = 0.0;
    if (!gain_control::CalcPhaseCompensation(c.capture, c.marker, c.S, Pp, c.all, m_tbt_frequency.load(), phases,
                                             ifMeasured)) {
        QSTD_TRACE(2, "Failed to calculate phase compensation coefficients.");
        return false;
    }
    gain_control::UpdateAngleCorrection(phases, ifMeasured, c.slots, c.unity, c.row, m_if_delta, c.changed);
    return true;
}

// --- register tree -------------------------------------------------------------

void SignalController::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using SC = SignalController;
    using qreg::RegFncNode;
    using UNode = RegFncNode<unsigned int>;
    using URef = qreg::RegReferenceNode<unsigned int, std::atomic<uint32_t>>;
    using BRef = qreg::RegReferenceNode<bool, std::atomic<bool>>;
    using DRef = qreg::RegReferenceNode<double, std::atomic<double>>;
    using SRef = qreg::RegReferenceNode<std::string, std::string>;

    mci::TreeNodePtr tuning = mci::factory::Create<qreg::RegNode>("tuning");
    tuning->Add(mci::factory::Create<UNode>("period", this, &SC::SetPeriod, &SC::GetPeriod, c_auxSetting));

    mci::TreeNodePtr agc = mci::factory::Create<qreg::RegNode>("agc");
    agc->Add(mci::factory::Create<RegFncNode<bool>>("enabled", this, &SC::SetAdjustAttenuators,
                                                    &SC::GetAdjustAttenuators, c_setting));
    mci::TreeNodePtr power =
        agc->Add(mci::factory::Create<RegFncNode<int>>(qreg::Expr<qreg::expr::Range<int, int>>(-80, 0), "power_level",
                                                       this, &SC::SetPowerLevel, &SC::GetPowerLevel, c_setting));
    agc->Add(mci::factory::Create<UNode>("zero_dbm_att", this, 0, &SC::Get0DbmAtt, c_aux));
    agc->Add(mci::factory::Create<UNode>("zero_dbm_adc", this, &SC::Set0DbmAdc, &SC::Get0DbmAdc, c_auxSetting));
    agc->Add(mci::factory::Create<BRef>("filtering", m_filtering, c_auxSetting));

    mci::TreeNodePtr dsc = mci::factory::Create<qreg::RegNode>("dsc");
    mci::TreeNodePtr frequency = dsc->Add(mci::factory::Create<UNode>("frequency", this, &SC::SetCompensationFrequency,
                                                                      &SC::GetCompensationFrequency, c_setting));
    mci::TreeNodePtr expire =
        frequency->Add(mci::factory::Create<URef>("expire_counter", m_tuning_count, c_auxReadOnly));

    mci::TreeNodePtr threshold = mci::factory::Create<qreg::RegNode>("threshold");
    threshold->Add(mci::factory::Create<URef>("channel_limit", m_channel_limit, c_setting));
    threshold->Add(mci::factory::Create<URef>("second_max_limit", m_second_max_limit, c_setting));
    threshold->Add(mci::factory::Create<URef>("hysteresis", m_hysteresis, c_setting));
    dsc->Add(threshold);

    mci::TreeNodePtr coefficients = mci::factory::Create<qreg::RegNode>("coefficients");
    coefficients->Add(mci::factory::Create<BRef>("adjust", m_adjust_coefficients, c_setting));
    coefficients->Add(mci::factory::Create<qreg::RegFncEnumNode<tAppliedCoefficients>>(
        "type", this, &SC::SetDscAdjustType, &SC::GetDscAdjustType, c_setting));
    coefficients->Add(mci::factory::Create<BRef>("att_dependent", m_att_dependent, c_setting));
    coefficients->Add(mci::factory::Create<qreg::RegExecNode>("load", this, &SC::LoadCoefficients));
    coefficients->Add(mci::factory::Create<qreg::RegExecNode>("store", this, &SC::StoreCoefficients));
    // The file names and the dump directory are fixed at construction: their
    // nodes are read-only and not persistent.
    coefficients->Add(mci::factory::Create<SRef>("ram_disc_file", m_ram_file, c_auxReadOnly));
    coefficients->Add(mci::factory::Create<SRef>("flash_disc_file", m_flash_file, c_auxReadOnly));
    dsc->Add(coefficients);

    dsc->Add(mci::factory::Create<UNode>("averaging_gain_patterns", this, &SC::SetAmplAveragePatterns,
                                         &SC::GetAmplAveragePatterns, c_setting));
    dsc->Add(mci::factory::Create<UNode>("averaging_phase_patterns", this, &SC::SetPhaseAveragePatterns,
                                         &SC::GetPhaseAveragePatterns, c_setting));
    dsc->Add(mci::factory::Create<BRef>("use_curr_data", m_use_curr_data, c_auxSetting));

    mci::TreeNodePtr quality = mci::factory::Create<qreg::RegNode>("quality");
    quality->Add(mci::factory::Create<qreg::RegReferenceEnumNode<tQualityEstimation, std::atomic<tQualityEstimation>>>(
        "selector", m_quality_selector, c_persistentReadOnly));
    quality->Add(mci::factory::Create<DRef>(qreg::Expr<qreg::expr::Range<double, double>>(0.0, 100.0), "tolerance_thr",
                                            m_quality_tolerance, c_setting));
    mci::TreeNodePtr current = quality->Add(mci::factory::Create<DRef>(
        qreg::Expr<qreg::expr::Range<double, double>>(0.0, 100.0), "tolerance_curr", m_quality, c_readOnly));
    quality->Add(mci::factory::Create<SRef>("directory", m_dump_directory, c_auxReadOnly));
    dsc->Add(quality);

    tuning->Add(agc);
    tuning->Add(dsc);
    node->Add(tuning);
    node->Add(mci::factory::Create<UNode>("att_levels", c_powerLevels, this, 0, &SC::GetAttLevels, c_auxWritable));
    mci::TreeNodePtr table = mci::factory::Create<qreg::RegNode>("compensation_table", c_aux);
    table->Add(mci::factory::Create<RegFncNode<double>>("gain", c_comp_values, this, &SC::SetGainCoeffs,
                                                        &SC::GetGainCoeffs, c_auxWritable));
    table->Add(mci::factory::Create<RegFncNode<double>>("phase", c_comp_values, this, &SC::SetPhaseCoeffs,
                                                        &SC::GetPhaseCoeffs, c_auxWritable));
    node->Add(table);

    std::lock_guard<std::mutex> lock(m_node_mutex);
    m_power_node = mci::Node(power, mci::c_noRelPath);
    m_expire_node = expire;
    m_quality_node = current;
}
