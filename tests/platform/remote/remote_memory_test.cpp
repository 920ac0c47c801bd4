// What remote clients make the server allocate goes back: requests whose
// connection ends before their message does, requests with bytes after
// their arguments, and floods of large requests.

#include "remote_test_support.h"

#include "platform/remote/remote_memory.h"
#include "tests/common/giop_client.h"
#include "tests/common/resident_memory.h"
#include "tests/common/wait_for.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

using namespace remotetest;
using namespace std::chrono_literals;

namespace {

// Bytes allocated from the heap right now, mapped blocks included.
long AllocatedKb()
{
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

// A whole request, answered: the server goes on serving.
bool Answered(unsigned short port, const std::string& request)
{
    const int fd = zvtest::ConnectFrom(port);
    const bool answered = zvtest::SendAll(fd, request) && zvtest::IsReply(zvtest::Receive(fd, 5000ms));
    ::close(fd);
    return answered;
}

void GetText(zvtest::Cdr& c)
{
    c.String("name");
    c.ULong(0);
    c.ULong(0);
}

// Arguments and then the given bytes.
std::function<void(zvtest::Cdr&)> With(void (*args)(zvtest::Cdr&), const std::string& bytes)
{
    return [=](zvtest::Cdr& c) {
        args(c);
        c.Raw(bytes);
    };
}

TEST(RemoteMemory, RequestsThatEndMidwayLeaveNothingBehind)
{
    // Requests that wait for the rest of their message hold request threads,
    // and the pool grows: its threads leave it again soon after.
    remote::RemoteExport::Settings settings;
    settings.idleThreadTimeout = 1s;
    Server server(settings);
    const std::string tail(8, '\0');
    const std::string longTail(9000, '\0'); // past the ORB's first read
    const auto isA = [](zvtest::Cdr& c) { c.String("IDL:zemtra_REMOTE/Registry:1.0"); };
    const auto none = [](zvtest::Cdr&) {};
    const struct {
        const char* what;
        std::string message;
        bool answered; // else the connection is reset once the request is sent
    } cases[] = {
        {"GetText with bytes after its arguments", zvtest::GiopRequest("ZemtraRemote", "GetText", With(GetText, tail)),
         true},
        {"_is_a with bytes after its arguments", zvtest::GiopRequest("ZemtraRemote", "_is_a", With(isA, tail)), true},
        {"_non_existent with bytes after its arguments",
         zvtest::GiopRequest("ZemtraRemote", "_non_existent", With(none, tail)), true},
        {"a long tail that never comes whole",
         zvtest::GiopRequest("ZemtraRemote", "GetText", With(GetText, longTail), zvtest::ClaimingMore(20000)), false},
        {"an unknown operation whose body never comes whole",
         zvtest::GiopRequest("ZemtraRemote", "NoSuchOperation", With(GetText, longTail), zvtest::ClaimingMore(20000)),
         false},
        {"an unknown object whose body never comes whole",
         zvtest::GiopRequest("NoSuchObject", "GetText", With(GetText, longTail), zvtest::ClaimingMore(20000)), false},
    };
    const std::string whole = zvtest::GiopRequest("ZemtraRemote", "GetText", GetText);
    // Each leaked request stream took 0.4 to 9 kB.
    const int connections = 300;
    for (const auto& c : cases) {
        ASSERT_TRUE(Answered(server.port, whole));
        const long before = AllocatedKb();
        int answered = 0;
        for (int i = 0; i < connections; ++i) {
            const std::string from = "127.0.1." + std::to_string(2 + i % 200);
            const int fd = zvtest::ConnectFrom(server.port, from.c_str());
            ASSERT_GE(fd, 0) << c.what;
            zvtest::SendAll(fd, c.message);
            if (c.answered) {
                answered += zvtest::IsReply(zvtest::Receive(fd, 5000ms)) ? 1 : 0;
                ::close(fd);
            } else {
                zvtest::Reset(fd);
            }
        }
        EXPECT_EQ(c.answered ? connections : 0, answered) << c.what;
        if (zvtest::c_freedMemoryGoesBack) {
            // (On a busy machine the ORB may take seconds to let closed
            // local connections go.)
            EXPECT_TRUE(zvtest::WaitFor(
                [&] {
                    std::this_thread::sleep_for(100ms);
                    return Answered(server.port, whole) && AllocatedKb() < before + 64;
                },
                20000ms))
                << c.what << ": " << AllocatedKb() - before << " kB kept";
        }
    }
}

// Floods of requests of close to the message bound, decoded on whichever
// request threads: the memory they took goes back once they are over.
TEST(RemoteMemory, FloodsOfLargeRequestsGiveTheirMemoryBack)
{
    remote::RemoteMemory::BoundAllocatorCaches(); // as the server's main does
    Server server;
    const uint32_t values = 1000000; // 8 MB
    const std::string large = zvtest::GiopRequest("ZemtraRemote", "SetInteger", [&](zvtest::Cdr& c) {
        c.String("arr");
        c.ULong(0);
        c.ULong(values);
        c.Align(8);
        c.Raw(std::string(values * 8, '\0'));
    });
    ASSERT_TRUE(Answered(server.port, zvtest::GiopRequest("ZemtraRemote", "GetText", GetText)));
    const long rss = zvtest::ResidentKb();
    // (Under a sanitizer, whose allocator keeps what is freed, one flood
    // goes the same ways.)
    const int floods = zvtest::c_freedMemoryGoesBack ? 5 : 1;
    for (int flood = 0; flood < floods; ++flood) {
        std::vector<std::thread> clients;
        for (int i = 0; i < 120; ++i) {
            clients.emplace_back([&, i] {
                const std::string from = "127.0.2" + std::to_string(i / 16) + "." + std::to_string(2 + i % 16);
                const int fd = zvtest::ConnectFrom(server.port, from.c_str());
                // Served (the node refuses that many values), refused as
                // one too many, or cut short while it arrives (past the
                // bytes that arriving messages may hold): never left waiting.
                bool closed = false;
                const bool sent = zvtest::SendAll(fd, large);
                const std::string reply = zvtest::Receive(fd, 20000ms, closed);
                EXPECT_TRUE(zvtest::IsReply(reply) || closed || !sent);
                ::close(fd);
            });
        }
        for (auto& c : clients) {
            c.join();
        }
    }
    if (zvtest::c_freedMemoryGoesBack) {
        EXPECT_TRUE(zvtest::WaitFor([&] { return zvtest::ResidentKb() < rss + 24 * 1024; }, 5000ms))
            << zvtest::ResidentKb() - rss << " kB kept";
    }
}

// Small blocks freed in an arena go back while large blocks mapped on
// their own are live and resident in part only (a buffer grown for a large
// message): they do not count as memory in use.
TEST(RemoteMemory, FreedSmallBlocksGoBackBesideALargePartlyResidentBlock)
{
    if (!zvtest::c_freedMemoryGoesBack) {
        GTEST_SKIP() << "the sanitizer's allocator keeps what is freed";
    }
    remote::RemoteMemory::GiveBackFreed(); // (its base)
    constexpr std::size_t c_large = 512u << 20;
    auto* large = static_cast<char*>(std::malloc(c_large));
    ASSERT_NE(nullptr, large);
    std::memset(large, 1, 1 << 20); // resident in part
    // 64 MB of small blocks on a thread of its own (an arena of its own),
    // freed but for one at their end, which keeps the arena from shrinking.
    std::vector<void*> blocks;
    void* last = nullptr;
    std::thread([&] {
        for (std::size_t i = 0; i < (64u << 20) / 256; ++i) {
            blocks.push_back(std::malloc(256));
            std::memset(blocks.back(), 1, 256);
        }
        last = std::malloc(256);
        for (void* block : blocks) {
            std::free(block);
        }
    }).join();
    const long before = zvtest::ResidentKb();
    remote::RemoteMemory::GiveBackFreed();
    EXPECT_LT(zvtest::ResidentKb(), before - 32 * 1024) << "kept " << zvtest::ResidentKb() << " kB of " << before;
    std::free(last);
    std::free(large);
}

// Threads that allocate at once share the bounded arenas (in a process of
// its own: the bound counts only before the process has many).
TEST(RemoteMemory, ThreadsShareBoundedArenas)
{
    if (!zvtest::c_freedMemoryGoesBack) {
        GTEST_SKIP() << "the sanitizer's allocator has no arenas";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto run = [] {
        remote::RemoteMemory::BoundAllocatorCaches();
        constexpr int c_threads = 32;
        std::atomic<int> holding{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < c_threads; ++i) {
            threads.emplace_back([&] {
                void* block = std::malloc(256);
                ++holding;
                while (holding.load() < c_threads) {
                    std::this_thread::yield();
                }
                std::free(block);
            });
        }
        for (auto& t : threads) {
            t.join();
        }
        char* text = nullptr;
        size_t size = 0;
        FILE* out = ::open_memstream(&text, &size);
        ::malloc_info(0, out);
        std::fclose(out);
        int arenas = 0;
        for (const char* at = text; (at = std::strstr(at, "<heap nr=")) != nullptr; ++at) {
            ++arenas;
        }
        std::fprintf(stderr, "%d arenas\n", arenas);
        std::_Exit(arenas >= 1 && arenas <= remote::RemoteMemory::c_arenaMax ? 0 : 1);
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");
}

} // namespace
