// The endpoint identifier in /var/lib/corvane/corvaned_uuid: kept when well-formed,
// otherwise replaced and rewritten; a file that cannot be written stops the daemon.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sched.h>

#include <cstring>

#include "UuidText.h"
#include "WsddServiceTest.h"
#include "common/LogCapture.h"

using corvane_test::CountOf;
using corvane_test::LogCapture;
using namespace wsddtest;

namespace {

const char* const kValid = "urn:uuid:3f2c1a7e-9b4d-4c2e-8a1f-0123456789ab";

struct IdentityCase {
    const char* name;
    bool present;
    std::string content;
    bool kept;
};

const IdentityCase kIdentityCases[] = {
    {"missing", false, "", false},
    {"valid", true, kValid, true},
    {"upper-case digits", true, "urn:uuid:3F2C1A7E-9B4D-4C2E-8A1F-0123456789AB", true},
    {"upper-case prefix", true, "URN:UUID:3f2c1a7e-9b4d-4c2e-8a1f-0123456789ab", true},
    {"with line end", true, std::string(kValid) + "\n", false},
    {"with carriage return and line end", true, std::string(kValid) + "\r\n", false},
    {"too long", true, std::string(kValid) + "0", false},
    {"valid text, NUL and more", true, std::string(kValid) + std::string(1, '\0') + "x", false},
    {"NUL inside", true, std::string("urn:uuid:3f2c1a7e-9b4d-4c2e-8a1f-0123456789a") + std::string(1, '\0'), false},
    {"empty", true, "", false},
    {"short", true, "urn:uuid:3f2c1a7e", false},
    {"leading blank", true, std::string(" ") + "urn:uuid:3f2c1a7e-9b4d-4c2e-8a1f-0123456789a", false},
    {"wrong grouping", true, "urn:uuid:3f2c1a7e9-b4d-4c2e-8a1f-0123456789ab", false},
    {"not hexadecimal", true, "urn:uuid:3f2c1a7e-9b4d-4c2e-8a1f-0123456789ag", false},
    {"other scheme", true, "urn:uid::3f2c1a7e-9b4d-4c2e-8a1f-0123456789ab", false},
};

} // namespace

// A well-formed file is announced as stored without a warning; anything else is replaced
// by a new identifier written back as exactly 45 characters, with a warning.
TEST_F(WsddServiceTest, IdentityFileKeptOnlyWhenWellFormed)
{
    for (const IdentityCase& c : kIdentityCases) {
        SCOPED_TRACE(c.name);
        WriteIdentity(c.present ? &c.content : nullptr);
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
        EXPECT_EQ(CountOf(log, LogCapture::Line(Logger::eWarn, "wsdd uuid from file is not valid.")), c.kept ? 0 : 1);
        EXPECT_EQ(CountOf(log, LogCapture::Line(Logger::eError, "wsdd uuid could not be assigned.")), 0);
        std::string stored;
        ASSERT_TRUE(ReadIdentity(stored));
        if (c.kept) {
            EXPECT_EQ(announced, c.content);
            EXPECT_EQ(stored, c.content);
        } else {
            EXPECT_TRUE(IsGeneratedUuidUrn(announced)) << announced;
            EXPECT_EQ(stored, announced);
            EXPECT_EQ(stored.size(), 45u);
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

// Without the directory the error is logged and SIGTERM raised, and construction still
// completes: the Hello goes out with the new identifier held in memory.
TEST_F(WsddServiceTest, MissingDirectoryLogsErrorRaisesSigtermAndStillAnnounces)
{
    const LogCapture capture;
    const std::string failure = RunInChild([this]() -> std::string {
        if (::unshare(CLONE_NEWNS) < 0)
            return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 ||
            ::mount("tmpfs", "/var/lib", "tmpfs", 0, nullptr) < 0)
            return std::string("mount: ") + std::strerror(errno);
        struct stat st;
        if (::stat("/var/lib/corvane", &st) == 0)
            return "directory still present";
        ResetSigtermCount();
        UdpSocket observer = UdpSocket::GroupObserver();
        WsddTargetService service;
        if (SigtermCount() != 1)
            return "SIGTERM raised " + std::to_string(SigtermCount()) + " times";
        if (!IsGeneratedUuidUrn(service.GetUuidString()))
            return "identifier in memory: " + service.GetUuidString();
        const std::vector<WsddMessage> hellos = Mine(observer.CollectUntilSentinel(), "Hello");
        if (hellos.size() != 1 || hellos[0].address != service.GetUuidString())
            return "no Hello with the new identifier";
        if (::stat(kIdentityPath, &st) == 0)
            return "identity file exists";
        return "";
    });
    EXPECT_EQ(failure, "");
    const std::string log = capture.Text();
    EXPECT_EQ(CountOf(log, LogCapture::Line(Logger::eError, "wsdd uuid could not be assigned.")), 1);
    EXPECT_EQ(CountOf(log, LogCapture::Line(Logger::eWarn, "wsdd uuid from file is not valid.")), 1);
}
