#include "sim/gdx_fofb.h"

#include "sim/board.h"
#include "sim/gdx_models.h"

namespace sim {

namespace {

// Feedback block registers (byte offsets).
constexpr size_t c_control = 0x00;
constexpr uint32_t c_portReset = 0x4;
constexpr size_t c_swControl = 0x08;
constexpr size_t c_switch = 0x10;
constexpr size_t c_goldenPort = 0x30;
constexpr size_t c_suPort = 0x400;
constexpr size_t c_vPort = 0x1000;
constexpr size_t c_stride = 8;
// The golden orbit reads back as the FPGA keeps it: 21 bits.
constexpr uint32_t c_goldenBits = (1u << 21) - 1;

// Interlock block.
constexpr size_t c_ilkControl = 0x00;
constexpr size_t c_ilkMaskPort = 0x08;
constexpr uint32_t c_ilkFlag = 1u << 30;

// Event ids the feedback reports.
constexpr uint64_t c_eventState = 0;
constexpr uint64_t c_eventInterlock = 3;

// Index of a port register (base + stride × index) below limit, or -1.
long PortIndex(size_t offset, size_t base, size_t limit)
{
    if (offset < base || (offset - base) % c_stride != 0 || (offset - base) / c_stride >= limit) {
        return -1;
    }
    return static_cast<long>((offset - base) / c_stride);
}

} // namespace

void FeedbackState::SetInterlock(bool raised)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_interlock.exchange(raised) == raised) {
        return;
    }
    if (raised) {
        Feed(c_eventInterlock, 0);
    }
    Update();
}

void FeedbackState::SetSwitch(bool software, bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_software = software;
    m_on = on;
    Update();
}

void FeedbackState::SwapBuffers()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Feed(c_eventState, c_codeSwap);
}

void FeedbackState::Update()
{
    uint32_t state = c_standby;
    if (m_interlock.load()) {
        state = c_off;
    } else if (m_software) {
        state = m_on ? c_on : c_off;
    }
    if (m_word.exchange(state) == state) {
        return;
    }
    uint64_t code = c_codeStandby;
    if (state == c_on) {
        code = c_codeOn;
    } else if (state == c_off) {
        code = m_interlock.load() ? c_codeInterlock : c_codeOff;
    }
    Feed(c_eventState, code);
}

void FeedbackState::Feed(uint64_t id, uint64_t code)
{
    m_board.Feed(id, ++m_events, m_board.Clock().Now(), code);
}

FofbModel::FofbModel(std::shared_ptr<FeedbackState> state)
    : m_state(std::move(state)), m_words(c_gdxFofbSize / 4), m_su(c_maxDim * c_bpms), m_v(c_maxDim * c_maxDim)
{
    m_words[c_swControl / 4].store(1);
}

bool FofbModel::Read32(size_t offset, uint32_t& value)
{
    if (offset / 4 >= m_words.size()) {
        return false;
    }
    if (offset == c_goldenPort) {
        std::lock_guard<std::mutex> lock(m_portMutex);
        value = m_golden[m_goldenRead++ % c_bpms] & c_goldenBits;
        return true;
    }
    value = m_words[offset / 4].load();
    return true;
}

bool FofbModel::Write32(size_t offset, uint32_t value)
{
    if (offset / 4 >= m_words.size()) {
        return false;
    }
    const uint32_t previous = m_words[offset / 4].exchange(value);
    if (offset == c_control) {
        if ((value & c_portReset) != 0 && (previous & c_portReset) == 0) {
            std::lock_guard<std::mutex> lock(m_portMutex);
            m_goldenWrite = 0;
            m_goldenRead = 0;
            m_suPtr.fill(0);
            m_vPtr.fill(0);
            m_portResets.fetch_add(1);
        }
        return true;
    }
    if (offset == c_swControl || offset == c_switch) {
        m_state->SetSwitch((m_words[c_swControl / 4].load() & 1) != 0, (m_words[c_switch / 4].load() & 1) != 0);
        return true;
    }
    std::lock_guard<std::mutex> lock(m_portMutex);
    if (offset == c_goldenPort) {
        m_golden[m_goldenWrite++ % c_bpms] = value;
        m_portWrites.fetch_add(1);
    } else if (const long j = PortIndex(offset, c_suPort, c_maxDim); j >= 0) {
        m_su[static_cast<size_t>(j) * c_bpms + m_suPtr[j]++ % c_bpms] = value;
        m_portWrites.fetch_add(1);
    } else if (const long m = PortIndex(offset, c_vPort, c_maxDim); m >= 0) {
        m_v[static_cast<size_t>(m) * c_maxDim + m_vPtr[m]++ % c_maxDim] = value;
        m_portWrites.fetch_add(1);
    }
    return true;
}

std::vector<uint32_t> FofbModel::GoldenOrbit() const
{
    std::lock_guard<std::mutex> lock(m_portMutex);
    return std::vector<uint32_t>(m_golden.begin(), m_golden.end());
}

std::vector<uint32_t> FofbModel::SuRow(size_t j) const
{
    std::lock_guard<std::mutex> lock(m_portMutex);
    const auto begin = m_su.begin() + static_cast<std::ptrdiff_t>(j * c_bpms);
    return std::vector<uint32_t>(begin, begin + c_bpms);
}

std::vector<uint32_t> FofbModel::VRow(size_t m) const
{
    std::lock_guard<std::mutex> lock(m_portMutex);
    const auto begin = m_v.begin() + static_cast<std::ptrdiff_t>(m * c_maxDim);
    return std::vector<uint32_t>(begin, begin + c_maxDim);
}

FofbInterlockModel::FofbInterlockModel(std::shared_ptr<FeedbackState> state) : m_state(std::move(state)) {}

bool FofbInterlockModel::Read32(size_t offset, uint32_t& value)
{
    value = offset == c_ilkControl && m_state->Interlock() ? c_ilkFlag : 0;
    return true;
}

bool FofbInterlockModel::Write32(size_t offset, uint32_t value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (offset == c_ilkControl) {
        m_ptr = 0;
        m_loads.fetch_add(1);
    } else if (offset == c_ilkMaskPort) {
        m_mask[m_ptr++ % c_maskSize] = value;
        m_portWrites.fetch_add(1);
    }
    return true;
}

std::vector<uint32_t> FofbInterlockModel::Mask() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::vector<uint32_t>(m_mask.begin(), m_mask.end());
}

std::shared_ptr<FeedbackState> InstallFeedbackModels(Board& board, unsigned userblock)
{
    if (userblock != 2 && userblock != 4) {
        return nullptr;
    }
    auto state = std::make_shared<FeedbackState>(board);
    board.PlugRegisters(c_gdxFofbOffset, c_gdxFofbSize, std::make_unique<FofbModel>(state));
    if (userblock == 4) {
        board.PlugRegisters(c_gdxInterlockOffset, c_gdxInterlockSize, std::make_unique<FofbInterlockModel>(state));
        if (GdxModels* gdx = board.Gdx()) {
            gdx->SetFeedbackStateWord([state] { return state->Word(); });
        }
    }
    return state;
}

} // namespace sim
