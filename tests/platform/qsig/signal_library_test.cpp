#include "platform/qsig/event_filter.h"
#include "platform/qsig/signal_client_base.h"
#include "platform/qsig/signal_dispatch_base.h"
#include "platform/qsig/signal_source.h"
#include "platform/qsig/signal_traits.h"

#include "platform/qstd/capture.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

struct Pair16 {
    short v[2];
};
using PairTraits = qsig::SignalTraits<short, Pair16, 1>;

class MinimalSource : public qsig::SignalSource {
public:
    MinimalSource() : qsig::SignalSource("src", "owner") {}
    std::size_t AtomSize() const override { return 4; }
    std::size_t GroupSize() const override { return 1; }
    const std::type_info& AtomType() const override { return typeid(Pair16); }
    const std::type_info& BaseType() const override { return typeid(short); }
    std::size_t Length() const override { return 2; }
    std::vector<std::string> GetComponentNames() const override { return PairTraits::names.ToVector(); }
    qsig::SignalAccessType_e AccessType() const override { return qsig::eAccessDataOnDemand; }
};

class MinimalClient : public qsig::SignalClientBase {
public:
    qsig::SignalAccessType_e SignalAccessType() const override { return qsig::eAccessStream; }
    std::string GetName() const override { return "minimal"; }
    qsig::SuccessCode_e Send(const int* values, unsigned count)
    {
        return DoDispatch(nullptr, values, count, qsig::c_noMeta);
    }
};

TEST(SignalTraits, CarriesTheGroupSizeAndANameTable)
{
    EXPECT_EQ(1u, PairTraits().GroupSize());
    EXPECT_EQ(1024u, PairTraits(1024).GroupSize());
    EXPECT_EQ(2u, PairTraits::c_length);
    EXPECT_EQ(4u, PairTraits::c_atomSize);
    EXPECT_TRUE(PairTraits::names.empty());
    PairTraits::names = {"I", "Q"};
    MinimalSource source;
    const std::vector<std::string> a = source.GetComponentNames();
    const std::vector<std::string> b = source.GetComponentNames();
    EXPECT_EQ((std::vector<std::string>{"I", "Q"}), a);
    EXPECT_NE(a.data(), b.data()); // a new vector on every call
    EXPECT_EQ("Q", PairTraits::names[1]);
}

TEST(SignalSource, HandsOutSharedOwnershipOnlyWhenShared)
{
    auto shared = std::make_shared<MinimalSource>();
    EXPECT_EQ(shared.get(), shared->GetSharedSelf().get());
    MinimalSource plain;
    EXPECT_THROW(plain.GetSharedSelf(), std::bad_weak_ptr);
    EXPECT_EQ("src", plain.GetName());
    EXPECT_EQ("owner", plain.GetOwner());
    EXPECT_EQ(0, plain.SourceType());
    EXPECT_TRUE(plain.GetStatistics().empty());
    EXPECT_EQ(nullptr, plain.NewSignalClient("x", 0));
}

TEST(SignalClientBase, BaseOperationsAnswerDerivedError)
{
    MinimalClient client;
    EXPECT_EQ(qsig::eDerivedError, client.Open());
    EXPECT_EQ(qsig::eDerivedError, client.Open(qsig::eAccessStreaming, 10, 0));
    EXPECT_EQ(qsig::eDerivedError, client.ForwardTo(nullptr));
    double d[4];
    unsigned count = 4;
    qsig::SignalMeta meta;
    EXPECT_EQ(qsig::eDerivedError, client.Read(d, count, 0, meta));
    EXPECT_FALSE(client.IsOpen());
    const int values[2] = {1, 2};
    EXPECT_EQ(qsig::eBadRequest, client.Send(values, 2)); // no receiver
}

TEST(SignalDispatchBase, PushesOfAnotherTypeAreTracedAndDropped)
{
    qstd::CaptureScope capture;
    qsig::SignalDispatchBase base;
    const float values[3] = {1, 2, 3};
    base.Dispatch(values, 3, qsig::c_noMeta);
    EXPECT_TRUE(capture.TracedSubstring("Dispatch of 3 values of type float refused"));
}

using EventPtr = qsig::MetaBufferPair<qsig::EventTraits>::MetaBufferPtr;

EventPtr Events(std::initializer_list<uint64_t> ids)
{
    qsig::Array<qsig::EventTraits> a(qsig::EventTraits(), unsigned(ids.size()));
    unsigned i = 0;
    for (uint64_t id : ids) {
        a[i].id = id;
        a[i].lmt = 100 + i;
        ++i;
    }
    return std::make_shared<qsig::MetaBufferPair<qsig::EventTraits>>(std::move(a),
                                                                     qsig::SignalMeta{{qsig::eMetaLmt, 9}});
}

TEST(EventFilter, KeepsOnlyEventsWhoseIdIsInItsSet)
{
    qsig::EventFilter filter{0, 3};
    filter.Add(34);
    EXPECT_TRUE(filter.Contains(34));
    EXPECT_FALSE(filter.Contains(16));

    const EventPtr all = Events({3, 0, 34});
    EXPECT_EQ(all.get(), filter.Filter(all).get()); // nothing removed: the same buffer
    EXPECT_EQ(nullptr, filter.Filter(Events({16, 2})));

    const EventPtr mixed = Events({16, 3, 2, 34});
    const EventPtr kept = filter.Filter(mixed);
    ASSERT_NE(nullptr, kept);
    ASSERT_EQ(2u, kept->data.GetLength());
    EXPECT_EQ(3u, kept->data[0].id);
    EXPECT_EQ(101u, kept->data[0].lmt);
    EXPECT_EQ(34u, kept->data[1].id);
    EXPECT_EQ(9, kept->meta.at(qsig::eMetaLmt));
    EXPECT_EQ(4u, mixed->data.GetLength()); // the shared original is untouched

    qsig::EventFilter none;
    EXPECT_EQ(nullptr, none.Filter(Events({0})));
}

} // namespace
