#pragma once
// Board-management descriptions: what the chassis reports about each board
// (type, name, URI with the slot) and the device names of its data streams.

#include <cstdint>
#include <map>
#include <ostream>
#include <string>

namespace sim {
class Board;
}

namespace bmc {

// Board type codes as the board-management library reports them.
enum BoardType_e : unsigned {
    eBoardUnknown = 0,
    eBoardTim = 62,
    eBoardGdx = 125,
    eBoardRaf = 175,
    eBoardEvrx = 235,
};

// Prints the type as "<name> (<code>)", e.g. "RAF (175)"; unknown codes as
// "unknown (<code>)".
std::ostream& operator<<(std::ostream& os, BoardType_e type);
std::string ToString(BoardType_e type);

// Kind of a board's data-stream device.
enum DataStreamAccessType_e : unsigned {
    eAccessRandom = 0, // random-access memory (history buffer, DMA)
    eAccessStream = 1, // sequential data stream
    eAccessEvents = 2, // timing-event stream
};

class Uri {
public:
    Uri() = default;
    Uri(std::string host, std::string id) : m_host(std::move(host)), m_id(std::move(id)) {}
    // The board's slot as decimal text.
    const std::string& GetId() const { return m_id; }
    const std::string& GetHost() const { return m_host; }
    // "zemtra://<host>/<slot>"
    std::string ToString() const;

private:
    std::string m_host = "localhost";
    std::string m_id;
};

// Mapping of one board device into the process (kept for the board hooks
// that map and unmap devices; the simulated chassis needs no mapping).
struct DeviceMapping_t {
    std::string device;
    unsigned long long offset = 0;
    unsigned long long length = 0;
    void* address = nullptr;
};

class Board {
public:
    Board(BoardType_e type, std::string name, Uri uri, sim::Board* simBoard = nullptr)
        : m_type(type), m_name(std::move(name)), m_uri(std::move(uri)), m_sim(simBoard)
    {
    }

    BoardType_e GetType() const { return m_type; }
    const std::string& GetName() const { return m_name; }
    const Uri& GetUri() const { return m_uri; }

    // Device file of a data stream of this board: the simulated board's name
    // for it, or "/dev/zemtra/<board name>/<kind><index>" with kind "ram",
    // "stream" or "event" without one.
    std::string CreateDeviceName(DataStreamAccessType_e type, int index) const;

    // The simulated board behind this description (null without a chassis).
    sim::Board* SimBoard() const { return m_sim; }

private:
    BoardType_e m_type;
    std::string m_name;
    Uri m_uri;
    sim::Board* m_sim;
};

} // namespace bmc
