#include "platform/qstd/capture.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using qstd::Record;

TEST(Logging, InfoReachesOnlyTheLogAtTraceLevelTwo)
{
    qstd::CaptureScope capture(true, true, 2);
    qstd::LogInfo("info text");
    qstd::LogWarning("warning text");
    qstd::LogError("error text");

    EXPECT_TRUE(capture.Logged("info text"));
    EXPECT_FALSE(capture.Traced("info text"));
    EXPECT_TRUE(capture.Logged("warning text"));
    EXPECT_TRUE(capture.Traced("warning text"));
    EXPECT_TRUE(capture.Logged("error text"));
    EXPECT_TRUE(capture.Traced("error text"));
}

TEST(Logging, WrappersTraceUnderTheirOwnNameAndLevel)
{
    qstd::CaptureScope capture(false, true, 4);
    qstd::LogInfo("i");
    qstd::LogWarning("w");
    qstd::LogError("e");
    qstd::LogCritical("c");
    const auto records = capture.Sink().Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].level, 3);
    EXPECT_EQ(records[0].function, "void qstd::LogInfo(const std::string&)");
    EXPECT_EQ(records[0].file, "log");
    EXPECT_EQ(records[1].level, 2);
    EXPECT_EQ(records[1].function, "void qstd::LogWarning(const std::string&)");
    EXPECT_EQ(records[2].level, 1);
    EXPECT_EQ(records[2].function, "void qstd::LogError(const std::string&)");
    EXPECT_EQ(records[3].level, 1);
}

TEST(Logging, NothingHappensWithTracingAndLoggingOff)
{
    qstd::CaptureScope capture(false, false, 4);
    qstd::LogInfo("a");
    qstd::LogWarning("b");
    qstd::LogError("c");
    qstd::LogCritical("d");
    qstd::LoggedAssert("f.cpp", 1, "fn", "x != 0");
    EXPECT_TRUE(capture.Sink().Records().empty());
}

TEST(Logging, LoggedAssertReportsTheConditionAndReturns)
{
    qstd::CaptureScope capture(true, true, 1);
    qstd::LoggedAssert("app.cpp", 42, "void F()", "m_tim != NULL");
    EXPECT_TRUE(capture.Logged("Assertion condition: m_tim != NULL"));
    EXPECT_TRUE(capture.Traced("Assertion condition: m_tim != NULL"));
}

TEST(Tracing, MessageIsBuiltOnlyWhenTheLevelAllowsIt)
{
    qstd::CaptureScope capture(false, true, 2);
    int built = 0;
    auto expensive = [&built]() {
        ++built;
        return "text";
    };
    QSTD_TRACE(3, expensive());
    EXPECT_EQ(built, 0);
    QSTD_TRACE(2, expensive());
    EXPECT_EQ(built, 1);
    EXPECT_TRUE(capture.Traced("text"));

    qstd::TraceFile::m_enabled = false;
    QSTD_TRACE(1, expensive());
    EXPECT_EQ(built, 1);
}

TEST(Tracing, ScopeTracerWritesEntryAndExitAtDetailLevel)
{
    qstd::CaptureScope capture(false, true, 4);
    {
        QSTD_TRACE_FNC();
    }
    const auto texts = capture.Sink().Texts(Record::Kind::Trace);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "Enter");
    EXPECT_EQ(texts[1], "Exit");

    capture.Sink().Clear();
    qstd::TraceFile::GetInstance().SetLevel(3);
    {
        QSTD_TRACE_FNC();
    }
    EXPECT_TRUE(capture.Sink().Records().empty());
}

TEST(Tracing, RecordsFromManyThreadsAreAllKeptConcurrency)
{
    qstd::CaptureScope capture(true, true, 4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 200; ++i) {
                qstd::LogWarning("w");
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    // Every call gives one log record and one trace record.
    EXPECT_EQ(capture.Sink().Records().size(), 4u * 200u * 2u);
}

TEST(StreamSinkFormat, LineCarriesLevelLocationAndText)
{
    Record r;
    r.kind = Record::Kind::Trace;
    r.level = 2;
    r.function = "void F()";
    r.file = "f.cpp";
    r.line = 7;
    r.text = "hello";
    r.time = std::chrono::system_clock::now();
    r.thread = std::this_thread::get_id();
    const std::string line = qstd::StreamSink::Format(r);
    EXPECT_NE(line.find(" T2 "), std::string::npos);
    EXPECT_NE(line.find("f.cpp:7 void F(): hello"), std::string::npos);
}

TEST(ExceptionType, CarriesTheMessage)
{
    try {
        throw qstd::Exception(std::string("boom"), true);
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "boom");
    }
    qstd::Exception a("x", true);
    qstd::Exception b = a;
    EXPECT_STREQ(b.what(), "x");
}

} // namespace
