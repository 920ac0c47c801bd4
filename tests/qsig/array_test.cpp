#include "qsig/array.h"
#include "qsig/meta_buffer_pair.h"
#include "stream_test_support.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using qsig_test::Atom16;
using qsig_test::MakeAtom;
using qsig_test::Traits16;
using Array = qsig::Array<Traits16>;

void ExpectThrowText(const std::function<void()>& f, const std::string& text)
{
    try {
        f();
        ADD_FAILURE() << "no exception, expected: " << text;
    } catch (const qstd::Exception& e) {
        EXPECT_EQ(text, e.what());
    }
}

TEST(Array, OwnedArrayGrowsExactlyAndNeverShrinksItsStorage)
{
    Array a(Traits16(), 0);
    EXPECT_EQ(nullptr, a.GetData());
    EXPECT_EQ(0u, a.GetCapacity());
    a.Resize(5);
    ASSERT_NE(nullptr, a.GetData());
    EXPECT_EQ(5u, a.GetLength());
    EXPECT_EQ(5u, a.GetCapacity());

    Array b(Traits16(), 8);
    for (unsigned i = 0; i < 8; ++i) {
        b[i] = MakeAtom(int(i) * 100);
    }
    const int* storage = b.GetData();
    b.Resize(3);
    EXPECT_EQ(3u, b.GetLength());
    EXPECT_EQ(8u, b.GetCapacity());
    EXPECT_EQ(200, b[2].v[0]);
    b.Resize(8);
    EXPECT_EQ(storage, b.GetData()); // no reallocation
    EXPECT_EQ(700, b[7].v[0]);
    b.Resize(9); // grows to exactly 9, keeping the atoms
    EXPECT_EQ(9u, b.GetCapacity());
    EXPECT_EQ(700, b[7].v[0]);
}

TEST(Array, WrappedArrayMayShrinkAndRegrowButNotExtend)
{
    int raw[10 * 16] = {};
    Array w(Traits16(), raw, 10);
    EXPECT_FALSE(w.IsOwned());
    w.Resize(4);
    w.Resize(10);
    EXPECT_EQ(10u, w.GetLength());
    ExpectThrowText([&] { w.Resize(11); }, "array: Cannot extend non-owned array.");
    EXPECT_EQ(10u, w.GetLength());
    EXPECT_EQ(raw, w.GetData());
    ExpectThrowText([&] { w.Append(&w[0], 1); }, "array: Cannot extend non-owned array.");
    // New storage would leave the caller's memory behind and never be freed.
    ExpectThrowText([&] { w.Reallocate(20); }, "array: Cannot extend non-owned array.");
    EXPECT_EQ(raw, w.GetData());
    EXPECT_EQ(10u, w.GetCapacity());
    EXPECT_FALSE(w.IsOwned());
}

TEST(Array, IndexAtOrPastTheSizeThrows)
{
    Array a(Traits16(), 3);
    EXPECT_NO_THROW(a[2]);
    ExpectThrowText([&] { a[3]; }, "array: index out of range");
    Array empty;
    ExpectThrowText([&] { empty[0]; }, "array: index out of range");
}

TEST(Array, MoveLeavesTheSourceEmptyWithItsTraits)
{
    Array a(Traits16(1024), 2);
    a[1] = MakeAtom(7);
    const int* storage = a.GetData();
    Array b(std::move(a));
    EXPECT_EQ(storage, b.GetData());
    EXPECT_EQ(7, b[1].v[0]);
    EXPECT_EQ(1024u, b.GetTraits().GroupSize());
    EXPECT_EQ(0u, a.GetLength());
    EXPECT_EQ(0u, a.GetCapacity());
    EXPECT_EQ(nullptr, a.GetData());
    EXPECT_TRUE(a.IsOwned());
    EXPECT_EQ(1024u, a.GetTraits().GroupSize());
    a.Resize(1024); // reusable
    EXPECT_EQ(1024u, a.GetCapacity());
}

TEST(Array, AppendAndSwapKeepAtomsInOrder)
{
    Array a(Traits16(), 0);
    a.Reallocate(4);
    EXPECT_EQ(0u, a.GetLength());
    EXPECT_EQ(4u, a.GetCapacity());
    Atom16 atoms[3] = {MakeAtom(1), MakeAtom(2), MakeAtom(3)};
    a.Append(atoms, 3);
    a.Append(atoms, 2); // past the room: grows
    ASSERT_EQ(5u, a.GetLength());
    EXPECT_EQ(3, a[2].v[0]);
    EXPECT_EQ(2, a[4].v[0]);

    Array b(Traits16(), 1);
    b[0] = MakeAtom(9);
    a.Swap(b);
    EXPECT_EQ(1u, a.GetLength());
    EXPECT_EQ(9, a[0].v[0]);
    EXPECT_EQ(5u, b.GetLength());
}

TEST(MetaBufferPair, LivesUntilTheLastHolderLetsGo)
{
    Array a(Traits16(), 2);
    auto pair = std::make_shared<qsig::MetaBufferPair<Traits16>>(std::move(a), qsig::SignalMeta{{qsig::eMetaLmt, 5}});
    std::weak_ptr<qsig::MetaBufferPair<Traits16>> watch = pair;
    std::vector<qsig::MetaBufferPair<Traits16>::MetaBufferPtr> holders(3, pair);
    pair.reset();
    holders.pop_back();
    holders.pop_back();
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(5, holders[0]->meta.at(qsig::eMetaLmt));
    holders.clear();
    EXPECT_TRUE(watch.expired());
}

} // namespace
