// The endpoint identifier in /var/lib/corvane/corvaned_uuid: kept when well-formed (white space
// around it aside), otherwise replaced and rewritten; one that cannot be read or stored fails
// the service's construction.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sched.h>

#include <cstring>

#include "UuidText.h"
#include "WsddServiceTest.h"
#include "common/LogCapture.h"
#include "common/TempDir.h"
#include "common/TestSupport.h"
#include "discovery/WsddTargetServiceConstructionException.h"

using corvane_test::CountOf;
using corvane_test::LogCapture;
using namespace wsddtest;

namespace {

const char* const kValid = "urn:uuid:3f2c1a7e-9b4d-4c2e-8a1f-0123456789ab";

struct IdentityCase {
    const char* name;
    bool present;
    std::string content;
    const char* announced;  // the identifier kept, or null when a new one replaces the file's
    bool warned;
};

const char* const kUpper = "urn:uuid:3F2C1A7E-9B4D-4C2E-8A1F-0123456789AB";

const IdentityCase kIdentityCases[] = {
    {"missing", false, "", nullptr, false},
    {"valid", true, kValid, kValid, false},
    {"upper-case digits", true, kUpper, kUpper, false},
    {"upper-case prefix", true, "URN:UUID:3f2c1a7e-9b4d-4c2e-8a1f-0123456789ab",
     "URN:UUID:3f2c1a7e-9b4d-4c2e-8a1f-0123456789ab", false},
    {"with line end", true, std::string(kValid) + "\n", kValid, false},
    {"with carriage return and line end", true, std::string(kValid) + "\r\n", kValid, false},
    {"blanks, tabs and empty lines around", true, std::string(" \t\n") + kValid + " \n\n", kValid, false},
    {"too long", true, std::string(kValid) + "0", nullptr, true},
    {"valid text, NUL and more", true, std::string(kValid) + std::string(1, '\0') + "x", nullptr, true},
    {"NUL inside", true, std::string("urn:uuid:3f2c1a7e-9b4d-4c2e-8a1f-0123456789a") + std::string(1, '\0'), nullptr,
     true},
    {"empty", true, "", nullptr, true},
    {"white space only", true, " \n", nullptr, true},
    {"short", true, "urn:uuid:3f2c1a7e", nullptr, true},
    {"leading blank, a digit short", true, std::string(" ") + "urn:uuid:3f2c1a7e-9b4d-4c2e-8a1f-0123456789a", nullptr,
     true},
    {"two identifiers", true, std::string(kValid) + "\n" + kValid + "\n", nullptr, true},
    {"wrong grouping", true, "urn:uuid:3f2c1a7e9-b4d-4c2e-8a1f-0123456789ab", nullptr, true},
    {"not hexadecimal", true, "urn:uuid:3f2c1a7e-9b4d-4c2e-8a1f-0123456789ag", nullptr, true},
    {"other scheme", true, "urn:uid::3f2c1a7e-9b4d-4c2e-8a1f-0123456789ab", nullptr, true},
};

} // namespace

// A well-formed identifier is announced as stored, white space around it aside, and the file
// is left as it is; anything else is replaced by a new identifier written back as exactly 45
// characters, with a warning unless there simply was no file yet.
TEST_F(WsddServiceTest, IdentityFileKeptOnlyWhenWellFormed)
{
    for (const IdentityCase& c : kIdentityCases) {
        SCOPED_TRACE(c.name);
        WriteIdentity(c.present ? &c.content : nullptr);
        struct stat before = {};
        ASSERT_EQ(::stat(kIdentityPath, &before) == 0, c.present);
        UdpSocket observer = UdpSocket::GroupObserver();
        const LogCapture capture;
        std::string announced;
        {
            WsddTargetService service;
            announced = service.GetUuidString();
            const std::vector<WsddMessage> hellos = Mine(observer.CollectUntilSentinel(), "Hello");
            ASSERT_EQ(hellos.size(), 1u);
            EXPECT_EQ(hellos[0].address, announced);
        }
        const std::string log = capture.Text();
        EXPECT_EQ(CountOf(log, LogCapture::Line(Logger::eWarn, "wsdd uuid from file is not valid.")), c.warned ? 1 : 0);
        EXPECT_EQ(CountOf(log, "ERROR:  "), 0) << log;
        std::string stored;
        ASSERT_TRUE(ReadIdentity(stored));
        if (c.announced) {
            EXPECT_EQ(announced, c.announced);
            EXPECT_EQ(stored, c.content);
            struct stat after = {};
            ASSERT_EQ(::stat(kIdentityPath, &after), 0);
            EXPECT_EQ(after.st_ino, before.st_ino) << "a kept identity was written anew";
            EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
            EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        } else {
            EXPECT_TRUE(IsGeneratedUuidUrn(announced)) << announced;
            EXPECT_EQ(stored, announced);
            EXPECT_EQ(stored.size(), 45u);
        }
        EXPECT_EQ(SigtermCount(), 0);
    }
}

// A symbolic link at the identity path is read through: one to a valid identity is kept as it
// is, one to a file of other content is replaced by a regular file holding the new identifier,
// and the file it pointed at is left as it was.
TEST_F(WsddServiceTest, IdentityLinkIsReplacedItsTargetLeftAlone)
{
    corvane_test::TempDir elsewhere;
    const std::string target = elsewhere / "settings";
    const struct {
        const char* name;
        std::string content;
        bool kept;
    } cases[] = {
        {"link to other content", "mode=quiet\n", false},
        {"link to a valid identity", kValid, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteIdentity(nullptr);
        corvane_test::WriteFile(target, c.content);
        ASSERT_EQ(::symlink(target.c_str(), kIdentityPath), 0) << std::strerror(errno);
        const LogCapture capture;
        std::string announced;
        {
            WsddTargetService service;
            announced = service.GetUuidString();
        }
        EXPECT_EQ(corvane_test::ReadFile(target), c.content);
        EXPECT_EQ(CountOf(capture.Text(), LogCapture::Line(Logger::eWarn, "wsdd uuid from file is not valid.")),
                  c.kept ? 0 : 1);
        struct stat st = {};
        ASSERT_EQ(::lstat(kIdentityPath, &st), 0);
        if (c.kept) {
            EXPECT_TRUE(S_ISLNK(st.st_mode));
            EXPECT_EQ(announced, kValid);
        } else {
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(st.st_mode & 07777, 0644u);
            EXPECT_TRUE(IsGeneratedUuidUrn(announced)) << announced;
            std::string stored;
            ASSERT_TRUE(ReadIdentity(stored));
            EXPECT_EQ(stored, announced);
        }
        EXPECT_EQ(SigtermCount(), 0);
    }
}

// A file the service wrote is read back on the next start: same identifier, no warning.
TEST_F(WsddServiceTest, CreatedIdentityIsReusedOnNextStart)
{
    WriteIdentity(nullptr);
    std::string first;
    {
        WsddTargetService service;
        first = service.GetUuidString();
    }
    const LogCapture capture;
    WsddTargetService service;
    EXPECT_EQ(service.GetUuidString(), first);
    EXPECT_EQ(CountOf(capture.Text(), LogCapture::Line(Logger::eWarn, "wsdd uuid from file is not valid.")),
              0);
}

// An identity that cannot be read, or a new one that cannot be stored, stops the service from
// being built: the error names the file and the reason, nothing is announced and nothing is
// written. Each case runs on a /var/lib of its own.
TEST_F(WsddServiceTest, IdentityThatCannotBeReadOrStoredFailsConstruction)
{
    const struct {
        const char* name;
        const char* setup;
        std::string error;
    } cases[] = {
        {"directory missing", "mount -t tmpfs tmpfs /var/lib",
         std::string("wsdd uuid could not be assigned: ") + kIdentityPath + ": No such file or directory"},
        {"read-only directory", "mount -t tmpfs -o ro tmpfs /var/lib/corvane",
         std::string("wsdd uuid could not be assigned: ") + kIdentityPath + ": Read-only file system"},
        {"identity is a directory", "mount -t tmpfs tmpfs /var/lib/corvane && mkdir /var/lib/corvane/corvaned_uuid",
         std::string("wsdd uuid could not be read: ") + kIdentityPath + " is not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const LogCapture capture;
        const std::string failure = RunInChild([&]() -> std::string {
            if (::unshare(CLONE_NEWNS) < 0)
                return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
            if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
                return std::string("mount: ") + std::strerror(errno);
            const std::string setup = Shell(c.setup);
            if (!setup.empty())
                return setup;
            UdpSocket observer = UdpSocket::GroupObserver();
            std::string error = "<built>";
            try {
                WsddTargetService service;
            } catch (const WsddTargetServiceConstructionException& e) {
                error = e.what();
            }
            if (error != c.error)
                return "construction: " + error;
            if (!Mine(observer.CollectUntilSentinel(), "Hello").empty())
                return "a Hello was sent";
            struct stat st;
            if (::stat(kIdentityPath, &st) == 0 && !S_ISDIR(st.st_mode))
                return "identity file written";
            return "";
        });
        EXPECT_EQ(failure, "");
        EXPECT_EQ(capture.Count("wsdd uuid from file is not valid."), 0);
        EXPECT_EQ(SigtermCount(), 0);
    }
}
