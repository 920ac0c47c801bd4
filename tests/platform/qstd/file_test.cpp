// Files read inside a folder taken as the root: ".." and links never lead
// out of it, only regular files are read, without blocking; the kernel's
// resolution and the walk of components agree. Lines are read bounded.

#include "platform/qstd/file.h"

#include "tests/common/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

class FileInside : public ::testing::TestWithParam<bool> {
protected:
    // <dir>/secret lies outside the folder <dir>/root, which holds a/f.
    FileInside() : root(dir.Path() + "/root")
    {
        dir.File("secret", "secret");
        for (const char* folder : {"/root", "/root/a", "/root/a/b"}) {
            ::mkdir((dir.Path() + folder).c_str(), 0755);
        }
        dir.File("root/a/f", "inside");
        Link("../../secret", "a/up");
        Link("b/../../../../secret", "a/deep");
        Link(dir.Path() + "/secret", "a/out");
        Link("/a/f", "a/abs");
        Link("f", "a/same");
        Link("..", "a/b/parent");
        Link("loop", "a/loop");
        ::mkfifo((root + "/fifo").c_str(), 0644);
        qstd::InputFile::UseComponentWalk(GetParam());
    }
    ~FileInside() override { qstd::InputFile::UseComponentWalk(false); }

    void Link(const std::string& target, const std::string& name)
    {
        ASSERT_EQ(0, ::symlink(target.c_str(), (root + "/" + name).c_str()));
    }

    zvtest::TempDir dir;
    const std::string root;
};

TEST_P(FileInside, PathsResolveInsideTheFolder)
{
    const struct {
        const char* path;
        int error; // 0: reads "inside"
    } cases[] = {
        {"a/f", 0},
        {"/a/f", 0},
        {"a/b/../f", 0},
        {"/../../a/f", 0},   // ".." stops at the folder
        {"a/abs", 0},        // an absolute link is taken from the folder
        {"a/b/parent/f", 0}, // a link to ".." within the folder
        {"../secret", ENOENT},
        {"a/up", ENOENT},
        {"a/deep", ENOENT},
        {"a/out", ENOENT},
        {"a/loop", ELOOP},
        {"a/f/x", ENOTDIR},
        {"a/f/", ENOTDIR},    // a trailing slash names a folder
        {"a/same/", ENOTDIR}, // also after a link
        {"", ENOENT},
        {"a", EINVAL},
        {"fifo", EINVAL},
        {"missing", ENOENT},
    };
    for (const auto& c : cases) {
        std::string text;
        std::string reason;
        EXPECT_EQ(c.error, qstd::ReadRegularFileIn(root, c.path, 100, text, reason)) << c.path << ": " << reason;
        EXPECT_EQ(c.error == 0 ? "inside" : "", text) << c.path;
    }
    // A file in its own folder: a link there may not lead out of it.
    std::string text;
    std::string reason;
    EXPECT_EQ(0, qstd::ReadRegularFile(root + "/a/same", 100, text, reason)) << reason;
    EXPECT_EQ(ENOENT, qstd::ReadRegularFile(root + "/a/up", 100, text, reason));
    EXPECT_EQ(EFBIG, qstd::ReadRegularFile(root + "/a/f", 5, text, reason));
    EXPECT_EQ("larger than 5 bytes", reason);
}

// What is refused as no regular file is never opened: a FIFO's writer that
// waits for a reader stays waiting.
TEST_P(FileInside, AFifoIsRefusedWithoutBeingOpened)
{
    const std::string fifo = root + "/fifo";
    std::atomic<bool> opened{false};
    std::thread writer([&] {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        opened = true;
        ::close(fd);
    });
    // Time for the writer to wait in its open.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    qstd::InputFile file;
    EXPECT_EQ(EINVAL, file.Open(root, "/fifo"));
    EXPECT_FALSE(file.IsOpen());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(opened.load()) << "the writer was woken";
    // A reader of the test's own lets the writer go.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    writer.join();
    ::close(reader);
}

// A deep path costs no more descriptors than a short one.
TEST_P(FileInside, DeepPathsNeedFewDescriptors)
{
    std::string path;
    for (int i = 0; i < 200; ++i) {
        path += "/d";
        ASSERT_EQ(0, ::mkdir((root + path).c_str(), 0755));
    }
    dir.File("root" + path + "/f", "inside");
    // A few descriptors above the lowest free one.
    struct rlimit former {};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &former));
    const int lowest = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lowest, 0);
    ::close(lowest);
    struct rlimit low = former;
    low.rlim_cur = static_cast<rlim_t>(lowest) + 8;
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &low));
    std::string text;
    std::string reason;
    const int error = qstd::ReadRegularFileIn(root, path + "/../d/f", 100, text, reason);
    ::setrlimit(RLIMIT_NOFILE, &former);
    EXPECT_EQ(0, error) << reason;
    EXPECT_EQ("inside", text);
}

INSTANTIATE_TEST_SUITE_P(Resolution, FileInside, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Walk" : "Kernel"; });

TEST(InputFileLines, LongLinesAreReadOverAndTheLastMayLackItsEnd)
{
    zvtest::TempDir dir;
    const std::string path = dir.File("lines", "one\n" + std::string(100000, 'x') + "\n\nlast");
    qstd::InputFile file;
    ASSERT_EQ(0, file.Open(path));
    struct Line {
        std::string text;
        bool complete;
        bool tooLong;
        bool operator==(const Line& o) const
        {
            return text == o.text && complete == o.complete && tooLong == o.tooLong;
        }
    };
    std::vector<Line> lines;
    Line l;
    while (file.ReadLine(10, l.text, l.complete, l.tooLong)) {
        lines.push_back(l);
    }
    EXPECT_EQ(0, file.Error());
    const std::vector<Line> expected = {
        {"one", true, false}, {"", true, true}, {"", true, false}, {"last", false, false}};
    EXPECT_TRUE(lines == expected);
}

} // namespace
