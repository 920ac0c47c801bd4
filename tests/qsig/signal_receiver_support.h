#pragma once
// In-process CORBA servant of the remote signal receiver, recording every
// buffer it is sent.

#include "q_net.hh"

#include <mutex>
#include <string>
#include <vector>

namespace qsig_test {

class RecordingReceiver : public POA_q_NET::SignalReceiver {
public:
    struct Received {
        std::string client;
        std::string method;            // the receiving operation, e.g. "ReceiveLong"
        std::vector<long long> values; // the integer operations' values
        std::vector<double> doubles;   // ReceiveDouble's values, exactly as sent
        std::vector<std::pair<long, long long>> meta;
    };

    CORBA::Long ReceiveShort(const char* client, const q_NET::ShortSeq& values, const q_NET::MetaSeq& meta) override
    {
        return Record("ReceiveShort", client, values, meta);
    }
    CORBA::Long ReceiveLong(const char* client, const q_NET::LongSeq& values, const q_NET::MetaSeq& meta) override
    {
        return Record("ReceiveLong", client, values, meta);
    }
    CORBA::Long ReceiveDouble(const char* client, const q_NET::DoubleSeq& values, const q_NET::MetaSeq& meta) override
    {
        Received r = Describe("ReceiveDouble", client, meta);
        for (CORBA::ULong i = 0; i < values.length(); ++i) {
            r.doubles.push_back(values[i]);
        }
        return Keep(std::move(r));
    }
    CORBA::Long ReceiveULongLong(const char* client, const q_NET::ULongLongSeq& values,
                                 const q_NET::MetaSeq& meta) override
    {
        return Record("ReceiveULongLong", client, values, meta);
    }

    std::vector<Received> Take()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<Received> out;
        out.swap(m_received);
        return out;
    }

private:
    template <typename SEQ>
    CORBA::Long Record(const char* method, const char* client, const SEQ& values, const q_NET::MetaSeq& meta)
    {
        Received r = Describe(method, client, meta);
        for (CORBA::ULong i = 0; i < values.length(); ++i) {
            r.values.push_back(static_cast<long long>(values[i]));
        }
        return Keep(std::move(r));
    }

    static Received Describe(const char* method, const char* client, const q_NET::MetaSeq& meta)
    {
        Received r;
        r.client = client;
        r.method = method;
        for (CORBA::ULong i = 0; i < meta.length(); ++i) {
            r.meta.emplace_back(meta[i].id, meta[i].value);
        }
        return r;
    }

    CORBA::Long Keep(Received&& r)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received.push_back(std::move(r));
        return 0;
    }

    std::mutex m_mutex;
    std::vector<Received> m_received;
};

// The process's ORB and a reference to one activated receiver.
class ReceiverFixture {
public:
    ReceiverFixture();
    ~ReceiverFixture();
    q_NET::SignalReceiver_ptr Reference() { return m_ref.in(); }
    RecordingReceiver& Servant() { return *m_servant; }

private:
    RecordingReceiver* m_servant;
    PortableServer::ObjectId_var m_id;
    q_NET::SignalReceiver_var m_ref;
};

} // namespace qsig_test
