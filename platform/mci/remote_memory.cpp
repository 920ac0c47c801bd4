#include "platform/mci/remote_memory.h"

#include "platform/mci/orb_connection.h"
#include "platform/qstd/trace.h"

#include <omniORB4/CORBA.h>
#include <omniORB4/omniInterceptors.h>
// The request streams of the ORB, and the call it is making on this thread.
#include <omniORB4/internal/giopStrand.h>
#include <omniORB4/internal/giopStream.h>
#include <omniORB4/omniTransport.h>
// Needs the stream classes above.
#include <omniORB4/internal/GIOP_S.h>
#include <omniORB4/internal/omniCurrent.h>

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <set>
#include <vector>

namespace mci {

namespace {

// The bytes left in the message the stream reads: exact once its last
// fragment is in, else the most that the message bound still allows.
CORBA::ULong Left(cdrStream& stream)
{
    std::uint64_t low = 0; // known to be left
    std::uint64_t high = 0xffffffffu;
    while (low < high) {
        const std::uint64_t mid = low + (high - low + 1) / 2;
        if (stream.checkInputOverrun(1, static_cast<CORBA::ULong>(mid))) {
            low = mid;
        } else {
            high = mid - 1;
        }
    }
    return static_cast<CORBA::ULong>(low);
}

// Reads the rest of the request's message. True when all of it was read;
// false when the connection failed (the ORB marked it dying) or the message
// does not end where its header says.
bool ReadRest(omni::GIOP_S& request)
{
    cdrStream& stream = request;
    // Skipping as much as the message bound allows reads the fragments that
    // come up to the last one; then what is left is known.
    for (int round = 0; round < 2; ++round) {
        if (!stream.checkInputOverrun(1, 1)) {
            return true;
        }
        try {
            stream.skipInput(Left(stream));
        } catch (const omni::giopStream::CommFailure&) {
            return false;
        } catch (const CORBA::MARSHAL&) {
            // The last fragment ended before the bound: read again.
        }
    }
    return !stream.checkInputOverrun(1, 1);
}

// Notes a request whose connection ends before its message was read to its end.
void TraceUnread(omni::GIOP_S& request)
{
    QSTD_TRACE(2, "Remote export: request " << request.operation() << " from "
                                            << request.strand().connection->peeraddress()
                                            << " not read to its end: connection closed");
}

// The tracker of values that the ORB keeps on a request stream while it
// decodes (the interface has no value types, so the ORB only deletes it):
// the ORB deletes it right after the arguments are decoded, within the call,
// once the request is over, and with the stream. The one installed for the
// request this thread reads is the only one that reads, and only within the
// call: the stream is alive and the arguments are decoded then.
//
// A stream that still carries its tracker is alive. A live stream is linked
// into its connection's list of request streams, unless the ORB dropped it:
// the ORB unlinks a stream and deletes or drops it under its transport lock,
// and an unlinked stream links to itself. Reap deletes the dropped ones.
class TailReader : public omni::ValueIndirectionTracker {
public:
    explicit TailReader(omni::GIOP_S& request) : m_request(request)
    {
        t_installed = this;
        std::lock_guard<std::mutex> lock(s_mutex);
        s_carriers.insert(&request);
    }

    ~TailReader() override
    {
        {
            std::lock_guard<std::mutex> lock(s_mutex);
            s_carriers.erase(&m_request);
        }
        if (t_installed != this) {
            return;
        }
        t_installed = nullptr;
        omniCurrent* current = omniCurrent::get();
        if (current == nullptr || current->callDescriptor() == nullptr ||
            m_request.state() != omni::IOP_S::WaitingForReply) {
            return;
        }
        if (!ReadRest(m_request)) {
            // The ORB reads no more of the connection, and the reply fails
            // as well, on a path that frees the stream.
            TraceUnread(m_request);
            EndConnection(m_request);
        }
    }

    TailReader(const TailReader&) = delete;
    TailReader& operator=(const TailReader&) = delete;

    static CORBA::Boolean OnRequest(omni::omniInterceptors::serverReceiveRequest_T::info_T& info)
    {
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        auto last = s_lastReap.load();
        if (now - last >= std::chrono::steady_clock::duration(RemoteMemory::c_reapPeriod).count() &&
            s_lastReap.compare_exchange_strong(last, now)) {
            Reap();
        }
        if (info.giop_s.valueTracker() == nullptr) {
            info.giop_s.valueTracker(new TailReader(info.giop_s));
        }
        return 1;
    }

    // Deletes the request streams that the ORB dropped.
    static void Reap()
    {
        // Under the transport lock, under which the ORB links and unlinks
        // its streams.
        omni_tracedmutex_lock transport(*omni::omniTransportLock);
        std::vector<omni::GIOP_S*> dropped;
        {
            std::lock_guard<std::mutex> lock(s_mutex);
            for (omni::GIOP_S* request : s_carriers) {
                const omni::giopStreamList& link = *request;
                if (link.next == &link) {
                    dropped.push_back(request);
                }
            }
        }
        // Deleting a stream deletes its tracker, which takes s_mutex.
        for (omni::GIOP_S* request : dropped) {
            delete request;
        }
    }

private:
    static thread_local const TailReader* t_installed; // for the request this thread reads
    static std::mutex s_mutex;
    static std::set<omni::GIOP_S*> s_carriers; // the streams that carry a tracker
    static std::atomic<std::chrono::steady_clock::rep> s_lastReap;

    omni::GIOP_S& m_request;
};

thread_local const TailReader* TailReader::t_installed = nullptr;
std::mutex TailReader::s_mutex;
std::set<omni::GIOP_S*> TailReader::s_carriers;
std::atomic<std::chrono::steady_clock::rep> TailReader::s_lastReap{0};

} // namespace

void RemoteMemory::BoundAllocatorCaches()
{
    // Fixed values also stop glibc from raising them as large blocks are freed.
    if (::mallopt(M_MMAP_THRESHOLD, c_mmapThreshold) != 1 || ::mallopt(M_TRIM_THRESHOLD, c_trimThreshold) != 1 ||
        ::mallopt(M_ARENA_MAX, c_arenaMax) != 1) {
        QSTD_TRACE(1, "Remote export: allocator thresholds and arenas not set");
    }
}

void RemoteMemory::InstallTailReader()
{
    omniORB::getInterceptors()->serverReceiveRequest.add(&TailReader::OnRequest);
}

void RemoteMemory::RemoveTailReader()
{
    omniORB::getInterceptors()->serverReceiveRequest.remove(&TailReader::OnRequest);
    TailReader::Reap();
}

void RemoteMemory::SkipRestOfRequest(omni::GIOP_S& request)
{
    if (!ReadRest(request)) {
        TraceUnread(request);
        FailRequest(request);
    }
}

} // namespace mci
