#include "platform/qsig/signal_client_base.h"
#include "signal_receiver_support.h"

#include "platform/qstd/capture.h"

#include <gtest/gtest.h>

namespace {

using qsig_test::ReceiverFixture;

// A client that sends what the test gives it.
class SendingClient : public qsig::SignalClientBase {
public:
    qsig::SignalAccessType_e SignalAccessType() const override { return qsig::eAccessStream; }
    std::string GetName() const override { return "sender"; }
    template <typename X>
    qsig::SuccessCode_e Send(q_NET::SignalReceiver_ptr r, const X* v, unsigned n, const qsig::SignalMeta& m)
    {
        return DoDispatch(r, v, n, m);
    }
};

TEST(RemoteForwarding, EachBaseTypeArrivesWithItsValuesAndMetadata)
{
    ReceiverFixture receiver;
    SendingClient client;
    const short s[3] = {-1, 2, -3};
    const int i[2] = {1 << 30, -7};
    const double d[2] = {0.5, -1e300};
    const unsigned long long u[1] = {0xFFFFFFFFFFFFFFFFull};
    const qsig::SignalMeta meta{{qsig::eMetaLmt, 123456789012345ll}, {qsig::eMetaPosition, -4}};
    EXPECT_EQ(qsig::eSuccess, client.Send(receiver.Reference(), s, 3, meta));
    EXPECT_EQ(qsig::eSuccess, client.Send(receiver.Reference(), i, 2, qsig::c_noMeta));
    EXPECT_EQ(qsig::eSuccess, client.Send(receiver.Reference(), d, 2, qsig::c_noMeta));
    EXPECT_EQ(qsig::eSuccess, client.Send(receiver.Reference(), u, 1, qsig::c_noMeta));
    EXPECT_EQ(qsig::eSuccess, client.Send(receiver.Reference(), i, 0, qsig::c_noMeta));

    const auto got = receiver.Servant().Take();
    ASSERT_EQ(5u, got.size());
    EXPECT_EQ("sender", got[0].client);
    EXPECT_EQ((std::vector<long long>{-1, 2, -3}), got[0].values);
    ASSERT_EQ(2u, got[0].meta.size());
    EXPECT_EQ(long(qsig::eMetaLmt), got[0].meta[0].first);
    EXPECT_EQ(123456789012345ll, got[0].meta[0].second);
    EXPECT_EQ(-4, got[0].meta[1].second);
    EXPECT_EQ((std::vector<long long>{1 << 30, -7}), got[1].values);
    EXPECT_EQ((std::vector<double>{0.5, -1e300}), got[2].doubles);
    EXPECT_TRUE(got[2].values.empty());
    EXPECT_EQ(-1, got[3].values[0]); // all bits set
    EXPECT_TRUE(got[4].values.empty());
    // Each base type reaches the receiver's operation of that type.
    EXPECT_EQ("ReceiveShort", got[0].method);
    EXPECT_EQ("ReceiveLong", got[1].method);
    EXPECT_EQ("ReceiveDouble", got[2].method);
    EXPECT_EQ("ReceiveULongLong", got[3].method);
    EXPECT_EQ("ReceiveLong", got[4].method);
}

TEST(RemoteForwarding, AnUnreachableReceiverGivesDerivedError)
{
    qstd::CaptureScope capture;
    SendingClient client;
    ReceiverFixture receiver;
    q_NET::SignalReceiver_var ref = q_NET::SignalReceiver::_duplicate(receiver.Reference());
    {
        // Deactivated: the object no longer exists.
        ReceiverFixture other;
        ref = q_NET::SignalReceiver::_duplicate(other.Reference());
    }
    const int v[1] = {1};
    EXPECT_EQ(qsig::eDerivedError, client.Send(ref.in(), v, 1, qsig::c_noMeta));
    EXPECT_TRUE(capture.TracedSubstring("qsig: Forwarding to the remote receiver failed: "));
}

} // namespace
