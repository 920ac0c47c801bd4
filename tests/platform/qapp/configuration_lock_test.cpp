// The configuration file's lock: a second lock on the same stored file is
// refused, whatever path leads to it, naming the configuration file and the
// holder; other configuration files, also of the same folder, are not; a
// released lock is free again; a lock file that cannot be opened refuses.

#include "platform/qapp/configuration_lock.h"
#include "tests/common/temp_dir.h"
#include "tests/common/thrown.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

namespace {

using qapp::ConfigurationLock;

TEST(ConfigurationLock, SecondLockOnTheSameStoredFileIsRefused)
{
    zvtest::TempDir dir;
    const std::string d = dir.Path();
    ASSERT_EQ(0, ::mkdir((d + "/a").c_str(), 0755));
    ASSERT_EQ(0, ::mkdir((d + "/b").c_str(), 0755));
    ASSERT_EQ(0, ::symlink((d + "/a").c_str(), (d + "/a-link").c_str()));
    const std::string pid = std::to_string(::getpid());
    struct Case {
        const char* what;
        std::string firstFile, firstStored; // held
        std::string file, stored;           // then taken
        std::string refusal;                // empty: taken
    };
    const std::string inUse = " is in use by process " + pid + ", which holds its lock ";
    const Case cases[] = {
        {"the same file", d + "/a/x.conf", d + "/a/x.conf", d + "/a/x.conf", d + "/a/x.conf",
         "Configuration file " + d + "/a/x.conf" + inUse + d + "/a/.x.conf.lock; the start is refused."},
        {"through a linked folder", d + "/a/x.conf", d + "/a/x.conf", d + "/a-link/x.conf", d + "/a-link/x.conf",
         "Configuration file " + d + "/a-link/x.conf" + inUse + d + "/a-link/.x.conf.lock; the start is refused."},
        {"links to one stored file", d + "/a/x.conf", d + "/b/kept.conf", d + "/b/y.conf", d + "/b/kept.conf",
         "Configuration file " + d + "/b/y.conf" + inUse + d + "/b/.kept.conf.lock; the start is refused."},
        {"another file of the folder", d + "/a/x.conf", d + "/a/x.conf", d + "/a/y.conf", d + "/a/y.conf", ""},
        {"another folder", d + "/a/x.conf", d + "/a/x.conf", d + "/b/x.conf", d + "/b/x.conf", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto first = std::make_unique<ConfigurationLock>(c.firstFile, c.firstStored);
        std::unique_ptr<ConfigurationLock> second;
        EXPECT_EQ(c.refusal,
                  zvtest::ThrownMessage([&] { second = std::make_unique<ConfigurationLock>(c.file, c.stored); }));
        if (c.refusal.empty()) {
            continue;
        }
        // Released, it is free.
        first.reset();
        EXPECT_EQ("", zvtest::ThrownMessage([&] { second = std::make_unique<ConfigurationLock>(c.file, c.stored); }));
    }
}

// A lock file that cannot be opened refuses the start, in words that name
// what is in the way: a link at the lock's place (one that leads nowhere,
// or to a file) is named with where it leads, not followed.
TEST(ConfigurationLock, LockFileThatCannotBeOpenedRefuses)
{
    zvtest::TempDir dir;
    const std::string d = dir.Path();
    ASSERT_EQ(0, ::mkdir((d + "/.folder.conf.lock").c_str(), 0755));
    ASSERT_EQ(0, ::symlink((d + "/elsewhere").c_str(), (d + "/.linked.conf.lock").c_str()));
    std::ofstream(d + "/file");
    ASSERT_EQ(0, ::symlink("file", (d + "/.tofile.conf.lock").c_str()));
    const std::string link = " is a symbolic link (to ";
    const std::string notFollowed = "), which the lock does not follow (remove the link); the start is refused.";
    const struct {
        const char* name;
        std::string why; // after "cannot be locked: "
    } cases[] = {
        {"folder.conf", d + "/.folder.conf.lock: Is a directory; the start is refused."},
        {"linked.conf", "its lock file " + d + "/.linked.conf.lock" + link + d + "/elsewhere" + notFollowed},
        {"tofile.conf", "its lock file " + d + "/.tofile.conf.lock" + link + "file" + notFollowed},
    };
    for (const auto& c : cases) {
        const std::string file = d + "/" + c.name;
        EXPECT_EQ("Configuration file " + file + " cannot be locked: " + c.why,
                  zvtest::ThrownMessage([&] { ConfigurationLock lock(file, file); }));
    }
    EXPECT_NE(0, ::access((d + "/elsewhere").c_str(), F_OK)) << "a link at the lock's place is not followed";
}

} // namespace
