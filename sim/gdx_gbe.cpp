#include "sim/gdx_gbe.h"

#include "platform/fpga/fpga_access.h"
#include "platform/qstd/log.h"
#include "sim/board.h"
#include "sim/gdx_models.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace sim {

namespace {

// House keeping's SFP status word: bit 3i + 2 set when cage i holds no module.
constexpr size_t c_sfpStatus = 0x300070;

constexpr size_t c_headerSize = 42;
constexpr unsigned c_phyAddress = 1;

// Clause-22 management frame fields of the MDIO command word.
constexpr uint32_t c_mdioDone = 1u << 31;
constexpr unsigned c_opWrite = 1;
constexpr unsigned c_opRead = 2;

// PHY registers: control and its bits, status, link partner ability.
constexpr unsigned c_phyControl = 0;
constexpr unsigned c_phyStatus = 1;
constexpr unsigned c_phyPartner = 5;
constexpr uint16_t c_phyReset = 0x8000;
constexpr uint16_t c_phyPowerDown = 0x0800;
constexpr uint16_t c_phyIsolate = 0x0400;
constexpr uint16_t c_phyRestartAn = 0x0200;
constexpr uint16_t c_phyControlDefault = 0x1140; // auto-negotiation, full duplex, 1000 Mb/s
constexpr uint16_t c_phyStatusBase = 0x0109;     // extended status, AN ability, extended capability
constexpr uint16_t c_phyStatusUp = 0x0024;       // AN complete, link up
constexpr std::array<std::pair<unsigned, uint16_t>, 3> c_phyDefaults = {
    {{2, 0x0141}, {3, 0x0CC2}, {4, 0x01E1}}}; // PHY identifier, AN advertisement

// Ethernet core status: link, synchronisation, idles, PHY link; speed in
// bits 10-11, full duplex in bit 12.
constexpr uint32_t c_coreUp = 0x8B;
constexpr uint32_t c_coreFullDuplex = 1u << 12;

uint16_t Be16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

} // namespace

GbeModel::GbeModel(Board& board, unsigned cage) : m_board(board), m_cage(cage)
{
    m_phy[c_phyControl] = c_phyControlDefault;
    for (const auto& d : c_phyDefaults) {
        m_phy[d.first] = d.second;
    }
    m_linkUpAt = Clock::now() + c_linkDelay;
    m_payload = [](uint8_t* data, size_t bytes, uint64_t, uint64_t lmt) {
        std::memcpy(data, &lmt, std::min(sizeof(lmt), bytes));
    };
}

GbeModel::~GbeModel()
{
    Stop();
    if (m_socket >= 0) {
        ::close(m_socket);
    }
}

void GbeModel::Stop()
{
    std::thread sender;
    {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        m_stop = true;
        sender = std::move(m_sender);
    }
    m_wake.notify_all();
    if (sender.joinable()) {
        sender.join();
    }
}

bool GbeModel::Read32(size_t offset, uint32_t& value)
{
    const auto now = Clock::now();
    if (offset >= c_headerRam && offset < c_headerRam + 4 * c_headerWords) {
        value = m_ram[(offset - c_headerRam) / 4].load();
        return true;
    }
    switch (offset) {
    case c_mdio: {
        std::lock_guard<std::mutex> lock(m_mdioMutex);
        CompleteMdio(now);
        const bool read = ((m_command >> 28) & 3) == c_opRead;
        value =
            (m_command & 0x7FFF0000u) | (m_done ? c_mdioDone : 0) | (m_done && read ? m_result : (m_command & 0xFFFFu));
        return true;
    }
    case c_reset: {
        std::lock_guard<std::mutex> lock(m_mdioMutex);
        value = m_inReset ? 1 : 0;
        return true;
    }
    case c_control:
        value = m_control.load();
        return true;
    case c_forceTx:
        value = 0;
        return true;
    case c_status:
        value = m_status.load();
        return true;
    case c_coreStatus: {
        std::lock_guard<std::mutex> lock(m_mdioMutex);
        value = CoreStatus(now);
        return true;
    }
    default:
        return false;
    }
}

bool GbeModel::Write32(size_t offset, uint32_t value)
{
    const auto now = Clock::now();
    if (offset >= c_headerRam && offset < c_headerRam + 4 * c_headerWords) {
        m_ram[(offset - c_headerRam) / 4].store(value);
        return true;
    }
    switch (offset) {
    case c_mdio: {
        std::lock_guard<std::mutex> lock(m_mdioMutex);
        CompleteMdio(now);
        if (m_busy) {
            m_collisions.fetch_add(1); // the running transaction is lost
        }
        m_command = value;
        m_busy = true;
        m_done = false;
        m_busyUntil = now + c_mdioTime;
        m_transactions.fetch_add(1);
        CompleteMdio(now);
        return true;
    }
    case c_reset: {
        std::lock_guard<std::mutex> lock(m_mdioMutex);
        const bool reset = (value & 1) != 0;
        if (reset && !m_inReset) {
            m_resets.fetch_add(1);
        } else if (!reset && m_inReset) {
            m_linkUpAt = now + c_linkDelay;
        }
        m_inReset = reset;
        return true;
    }
    case c_control:
        m_control.store(value);
        Wake();
        return true;
    case c_forceTx:
        if (value & 1) {
            {
                std::lock_guard<std::mutex> lock(m_sendMutex);
                m_force = true;
            }
            Wake();
        }
        return true;
    case c_status:
    case c_coreStatus:
        return true; // read only
    default:
        return false;
    }
}

void GbeModel::CompleteMdio(Clock::time_point now)
{
    if (!m_busy || m_mdioStuck || now < m_busyUntil) {
        return;
    }
    m_busy = false;
    m_done = true;
    const unsigned start = (m_command >> 30) & 3;
    const unsigned op = (m_command >> 28) & 3;
    const unsigned phy = (m_command >> 23) & 0x1F;
    const unsigned reg = (m_command >> 18) & 0x1F;
    m_result = 0xFFFF; // nobody drives the data line
    if (start != 1 || phy != c_phyAddress) {
        return;
    }
    if (op == c_opWrite) {
        PhyWrite(reg, static_cast<uint16_t>(m_command & 0xFFFF), now);
    } else if (op == c_opRead) {
        m_result = PhyRead(reg, now);
    }
}

void GbeModel::PhyWrite(unsigned reg, uint16_t value, Clock::time_point now)
{
    if (reg == c_phyStatus || reg == c_phyPartner) {
        return; // read only
    }
    if (reg != c_phyControl) {
        m_phy[reg] = value;
        return;
    }
    if (value & c_phyReset) {
        m_phy[c_phyControl] = c_phyControlDefault;
        m_linkUpAt = now + c_linkDelay;
        return;
    }
    if (value & c_phyRestartAn) {
        m_linkUpAt = now + c_linkDelay;
    }
    m_phy[c_phyControl] = value & ~c_phyRestartAn;
}

uint16_t GbeModel::PhyRead(unsigned reg, Clock::time_point now) const
{
    const bool up = LinkUp(now);
    if (reg == c_phyStatus) {
        return static_cast<uint16_t>(c_phyStatusBase | (up ? c_phyStatusUp : 0));
    }
    if (reg == c_phyPartner) {
        return up ? static_cast<uint16_t>(0x8000 | 0x1000 | (m_speed << 10)) : 0;
    }
    return m_phy[reg];
}

bool GbeModel::LinkUp(Clock::time_point now) const
{
    return !m_linkFault && !m_inReset && (m_phy[c_phyControl] & (c_phyIsolate | c_phyPowerDown)) == 0 &&
           now >= m_linkUpAt && ModulePresent();
}

bool GbeModel::ModulePresent() const
{
    // The memory itself, past the models: this runs inside an access of the
    // accessor layer.
    const uint32_t status = fpga::MemoryRead32(m_board.Memory(), c_sfpStatus);
    return ((status >> (3 * m_cage + 2)) & 1) == 0;
}

uint32_t GbeModel::CoreStatus(Clock::time_point now) const
{
    return (m_speed << 10) | c_coreFullDuplex | (LinkUp(now) ? c_coreUp : 0);
}

void GbeModel::SetMdioStuck(bool stuck)
{
    std::lock_guard<std::mutex> lock(m_mdioMutex);
    m_mdioStuck = stuck;
}

void GbeModel::SetLinkFault(bool fault)
{
    std::lock_guard<std::mutex> lock(m_mdioMutex);
    m_linkFault = fault;
}

void GbeModel::SetSpeed(unsigned code)
{
    std::lock_guard<std::mutex> lock(m_mdioMutex);
    m_speed = code & 3;
}

void GbeModel::SetPayloadSource(PayloadSource source)
{
    std::lock_guard<std::mutex> lock(m_sendMutex);
    m_payload = std::move(source);
}

uint16_t GbeModel::PhyRegister(unsigned reg) const
{
    std::lock_guard<std::mutex> lock(m_mdioMutex);
    return reg < m_phy.size() ? m_phy[reg] : 0;
}

bool GbeModel::CurrentFrame(std::vector<uint8_t>& header, size_t& payload) const
{
    const uint32_t control = m_control.load();
    const size_t start = (control >> 24) & 3;
    const size_t end = (control >> 12) & 0xFFF;
    const size_t dataWords = control & 0x3FF;
    if (end < start + c_headerSize || (start + c_headerSize) % 4 != 0 || dataWords * 4 != start + c_headerSize) {
        return false;
    }
    header.resize(c_headerSize);
    for (size_t k = 0; k < c_headerSize; ++k) {
        const size_t byte = start + k;
        header[k] = static_cast<uint8_t>(m_ram[byte / 4].load() >> (8 * (byte % 4)));
    }
    const size_t length = end - start;
    uint32_t sum = 0;
    for (size_t i = 14; i < 34; i += 2) {
        sum += Be16(&header[i]);
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    const bool valid = header[12] == 0x08 && header[13] == 0x00 && header[14] == 0x45 && header[23] == 17 &&
                       Be16(&header[16]) == length - 14 && Be16(&header[38]) == length - 34 && sum == 0xFFFF;
    payload = length - c_headerSize;
    return valid;
}

void GbeModel::Wake()
{
    {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        if (m_stop) {
            return;
        }
        if (!m_sender.joinable() && (m_force || (m_control.load() & c_enable) != 0)) {
            m_sender = std::thread(&GbeModel::SenderLoop, this);
        }
    }
    m_wake.notify_all();
}

void GbeModel::SenderLoop()
{
    constexpr uint64_t burst = c_sendTick / c_framePeriod;
    std::unique_lock<std::mutex> lock(m_sendMutex);
    uint64_t frame = 0;
    bool running = false;
    Clock::time_point base;
    uint64_t sent = 0; // frames sent since base
    // Frames are sent without the lock: their payload reads other models,
    // whose callers may hold locks of their own while they write to ours.
    auto send = [&](uint64_t frames) {
        const PayloadSource payload = m_payload;
        lock.unlock();
        for (uint64_t k = 0; k < frames; ++k) {
            SendFrame(frame++, payload);
        }
        lock.lock();
    };
    while (!m_stop) {
        if (m_force) {
            m_force = false;
            send(1);
            continue;
        }
        if ((m_control.load() & c_enable) == 0) {
            running = false;
            m_wake.wait(lock);
            continue;
        }
        const auto now = Clock::now();
        if (!running) {
            running = true;
            base = now;
            sent = 0;
        }
        const uint64_t due = static_cast<uint64_t>((now - base) / c_framePeriod) + 1;
        if (due > sent + burst) {
            sent = due - burst; // frames that fell behind are skipped, not sent in a burst
        }
        if (sent < due) {
            send(due - sent);
            sent = due;
        }
        m_wake.wait_until(lock, now + c_sendTick, [this] { return m_stop || m_force; });
    }
}

void GbeModel::SendFrame(uint64_t frame, const PayloadSource& payloadSource)
{
    std::vector<uint8_t> header;
    size_t payload = 0;
    if (!CurrentFrame(header, payload)) {
        m_rejected.fetch_add(1);
        return;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    std::memcpy(&to.sin_addr.s_addr, &header[30], 4);
    std::memcpy(&to.sin_port, &header[36], 2);
    if (header[30] != 127) {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &to.sin_addr, text, sizeof(text));
        if (m_lastUnrouted != text) {
            m_lastUnrouted = text;
            qstd::LogWarning("sim: Ethernet streamer of cage " + std::to_string(m_cage) +
                             " sends only to loopback; destination " + m_lastUnrouted + " not routed.");
        }
        return;
    }
    if (m_socket < 0) {
        m_socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (m_socket < 0) {
            m_rejected.fetch_add(1);
            return;
        }
    }
    std::vector<uint8_t> data(payload);
    if (payloadSource && payload > 0) {
        payloadSource(data.data(), data.size(), frame, m_board.Clock().Now());
    }
    if (::sendto(m_socket, data.data(), data.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to),
                 sizeof(to)) != static_cast<ssize_t>(data.size())) {
        m_rejected.fetch_add(1);
    }
}

namespace {

// Grouped FA payload of the FA period at lmt: entry k (16 bytes) holds X, Y,
// Sum and status of the BPM of the RAF board in slot k + 3, entries beyond
// the board's four slots 0.
void GroupedFa(const GdxModels& gdx, uint64_t lmt, uint8_t* data, size_t bytes)
{
    constexpr size_t sum = 4, x = 6, y = 7, status = 15;
    constexpr size_t entryBytes = 16;
    std::array<FaSample, GdxModels::c_slots> atom{};
    gdx.FaAtomAt(gdx.FaPeriodAt(lmt), atom.data());
    std::memset(data, 0, bytes);
    for (size_t k = 0; k < atom.size() && k * entryBytes < bytes; ++k) {
        const int32_t entry[4] = {atom[k][x], atom[k][y], atom[k][sum], atom[k][status]};
        std::memcpy(data + k * entryBytes, entry, std::min(entryBytes, bytes - k * entryBytes));
    }
}

} // namespace

void InstallStreamerModels(Board& board, unsigned userblock)
{
    if (userblock < 2 || userblock > 4) {
        return;
    }
    auto orbit = std::make_unique<GbeModel>(board, c_gdxOrbitCage);
    if (const GdxModels* gdx = board.Gdx()) {
        orbit->SetPayloadSource(
            [gdx](uint8_t* data, size_t bytes, uint64_t, uint64_t lmt) { GroupedFa(*gdx, lmt, data, bytes); });
    }
    board.PlugRegisters(c_gdxOrbitGbeOffset, c_gdxGbeSize, std::move(orbit));
    if (userblock == 4) {
        board.PlugRegisters(c_gdxMagnetGbeOffset, c_gdxGbeSize, std::make_unique<GbeModel>(board, c_gdxMagnetCage));
    }
}

void StopStreamerModels(Board& board)
{
    for (size_t offset : {c_gdxOrbitGbeOffset, c_gdxMagnetGbeOffset}) {
        if (auto* model = dynamic_cast<GbeModel*>(board.ModelAt(offset))) {
            model->Stop();
        }
    }
}

} // namespace sim
