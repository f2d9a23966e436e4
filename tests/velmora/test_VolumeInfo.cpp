#include "velmora/Utilities.h"
#include "velmora/VolumeInfo.h"
#include "velmora/VolumeInfoImpl.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <list>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

using velmora::VolumeInfo;

namespace {

// Exit codes of a child that may not make a mount namespace here (no privileges), and of one
// whose set-up inside it broke.
constexpr int kCannotIsolate = 77;
constexpr int kSetUpFailed = 78;

const std::string kData = CORVANE_TEST_DATA;

std::string show(const std::wstring& s)
{
    return "\"" + velmora::Utilities::convertWideToUtf8String(s) + "\"";
}
std::string show(const std::list<std::wstring>& l)
{
    std::string out = "[";
    for (const auto& s : l)
        out += show(s) + " ";
    return out + "]";
}
std::string show(const std::map<std::wstring, std::wstring>& m)
{
    std::string out = "{";
    for (const auto& kv : m)
        out += show(kv.first) + ":" + show(kv.second) + " ";
    return out + "}";
}
std::string show(const std::vector<std::wstring>& v)
{
    return show(std::list<std::wstring>(v.begin(), v.end()));
}
template <typename T>
std::string show(const T& v)
{
    std::ostringstream o;
    o << v;
    return o.str();
}

// Collects mismatches inside the forked child, where gtest's own assertions would be lost.
struct Checks {
    std::string report;
    std::string context;

    template <typename A, typename B>
    void eq(const A& got, const B& want, const char* what, int line)
    {
        if (got == want)
            return;
        report += "line " + std::to_string(line) + " [" + context + "] " + what + ": got " + show(got) +
                  ", want " + show(want) + "\n";
    }
};

#define CHECK_EQ_IN(checks, got, want) (checks).eq((got), (want), #got, __LINE__)

bool fail(std::string& why, const std::string& step)
{
    why = step + ": " + std::strerror(errno);
    return false;
}

bool writeFile(const char* path, const std::string& text)
{
    const int fd = ::open(path, O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const bool whole = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return ::close(fd) == 0 && whole;
}

// The volumes the fixture tables name, each a real tmpfs of 1 MiB under a private /tmp.
const std::vector<std::string> kVolumes = {"nfs-in", "nfs-out", "nfs4-in", "nfs4-out", "usb",
                                           "cdrom",  "floppy",  "tape",    "long",     "caf\xc3\xa9"};

enum class Tables { Both, FstabOnly, None };

// The fixture tables' text, read before the child's tmpfs over /tmp can hide a checkout there.
struct TableTexts {
    std::string fstab;
    std::string mtab;
};

// Runs inside the child, in its fresh mount namespace: "/etc/fstab" and "/etc/mtab" hold the
// fixtures and the volumes they list are mounted for real. Nothing leaks to the host.
bool isolate(Tables tables, const TableTexts& texts, std::string& why)
{
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail(why, "make / private");
    if (::mount("tmpfs", "/tmp", "tmpfs", 0, "size=4m") != 0)
        return fail(why, "tmpfs on /tmp");
    if (::mkdir("/tmp/vol", 0755) != 0)
        return fail(why, "mkdir /tmp/vol");
    for (const auto& name : kVolumes) {
        const std::string dir = "/tmp/vol/" + name;
        if (::mkdir(dir.c_str(), 0755) != 0)
            return fail(why, "mkdir " + dir);
        if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") != 0)
            return fail(why, "tmpfs on " + dir);
    }
    if (::mkdir("/tmp/vol/nfs-in/sub", 0755) != 0)
        return fail(why, "mkdir sub");
    // "/etc/mtab" is usually a link into /proc; a private tmpfs over /etc makes both tables
    // plain files.
    if (::mount("tmpfs", "/etc", "tmpfs", 0, "size=1m") != 0)
        return fail(why, "tmpfs on /etc");
    if (tables != Tables::None && !writeFile("/etc/fstab", texts.fstab))
        return fail(why, "write /etc/fstab");
    if (tables == Tables::Both && !writeFile("/etc/mtab", texts.mtab))
        return fail(why, "write /etc/mtab");
    return true;
}

// Forks a child that builds the namespace and runs the checks; the parent reports the result.
void runIsolated(Tables tables, const std::function<void(Checks&)>& body)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a private mount namespace";
    TableTexts texts;
    for (auto [name, text] : {std::make_pair("volume_fstab", &texts.fstab), {"volume_mtab", &texts.mtab}}) {
        std::ifstream in(kData + "/" + name, std::ios::binary);
        ASSERT_TRUE(in) << "cannot read fixture " << kData << "/" << name;
        text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(fds[0]);
        Checks checks;
        std::string why;
        int code = kCannotIsolate;
        if (::unshare(CLONE_NEWNS) != 0) {
            fail(why, "unshare");
        } else if (!isolate(tables, texts, why)) {
            code = kSetUpFailed;
        } else {
            body(checks);
            why = checks.report;
            code = why.empty() ? 0 : 1;
        }
        const char* p = why.data();
        size_t left = why.size();
        while (left > 0) {
            const ssize_t n = ::write(fds[1], p, left);
            if (n <= 0)
                break;
            p += n;
            left -= static_cast<size_t>(n);
        }
        ::_exit(code);
    }
    ::close(fds[1]);
    std::string report;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
        report.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child died, status " << status;
    const int exitCode = WEXITSTATUS(status);
    if (exitCode == kCannotIsolate)
        GTEST_SKIP() << "no private mount namespace: " << report;
    ASSERT_NE(exitCode, kSetUpFailed) << "cannot set up the private mount namespace: " << report;
    EXPECT_EQ(exitCode, 0) << report;
}

// The one drive-type accessor that answers true, or -1 when none or several do.
int64_t driveTypeOf(const VolumeInfo& v)
{
    const bool answers[] = {v.IsDriveTypeUnknown(), v.IsDriveTypeHDD(),       v.IsDriveTypeCDRom(),
                            v.IsDriveTypeFloppy(),  v.IsDriveTypeUSB(),       v.IsDriveTypeFirewire(),
                            v.IsDriveTypeRemovable(), v.IsDriveTypeNet(),     v.IsDriveTypeRAMDisk(),
                            v.IsDriveTypeTape()};
    int64_t found = -1;
    for (int64_t i = 0; i < 10; ++i) {
        if (answers[i])
            found = found == -1 ? i : -2;
    }
    return found < 0 ? -1 : found;
}

bool rootIsExt()
{
    struct statfs64 fs;
    return ::statfs64("/", &fs) == 0 && static_cast<uint64_t>(fs.f_type) == 0xEF53;
}

} // namespace

// Each mounted volume of the fixture tables gets the drive type, device and mount point its
// entries give, on a path given in any separator form.
TEST(VolumeInfo, DetectsEachVolumeFromTheMountTables)
{
    runIsolated(Tables::Both, [](Checks& c) {
        struct Case {
            std::wstring path;
            int64_t driveType;
            std::wstring typeText;
            std::wstring volumeName;
            std::wstring volumePath;
        };
        const std::wstring longDevice = L"/dev/" + std::wstring(300, L'x') + L"1";
        const std::vector<Case> cases = {
            {L"/", VolumeInfo::HDD, L"HDD", L"/dev/sda1", L"/"},
            {L"/tmp/vol/nfs-in/sub", VolumeInfo::Net, L"NET", L"server:/export/in", L"/tmp/vol/nfs-in"},
            {L"/tmp/vol/nfs-out", VolumeInfo::Net, L"NET", L"server:/export/out", L"/tmp/vol/nfs-out"},
            {L"/tmp/vol/nfs4-in", VolumeInfo::HDD, L"HDD", L"server:/export/v4in", L"/tmp/vol/nfs4-in"},
            // Not in fstab, so nfs4 falls through to the device rules: the name ends in a digit.
            {L"/tmp/vol/nfs4-out", VolumeInfo::USB, L"USB", L"server:/export/v4", L"/tmp/vol/nfs4-out"},
            {L"\\tmp\\vol\\usb", VolumeInfo::USB, L"USB", L"/dev/sdb1", L"/tmp/vol/usb"},
            {L"/tmp/vol/cdrom/", VolumeInfo::CDRom, L"CDROM", L"/dev/cdrom", L"/tmp/vol/cdrom"},
            {L"/tmp/vol/floppy", VolumeInfo::Floppy, L"FDD", L"/dev/fdd0", L"/tmp/vol/floppy"},
            {L"/tmp/vol/tape", VolumeInfo::Tape, L"TAPE", L"ltfs", L"/tmp/vol/tape"},
            // A device name far beyond 255 bytes is judged by its real last character.
            {L"/tmp/vol/long", VolumeInfo::USB, L"USB", longDevice, L"/tmp/vol/long"},
            // Mount directories come back through the narrow conversion, byte by byte.
            {L"/tmp/vol/caf\u00e9", VolumeInfo::USB, L"USB", L"/dev/sdc2",
             velmora::Utilities::convertNarrowToWideString("/tmp/vol/caf\xc3\xa9")},
        };
        for (const auto& k : cases) {
            c.context = velmora::Utilities::convertWideToUtf8String(k.path);
            VolumeInfo v(k.path);
            CHECK_EQ_IN(c, driveTypeOf(v), k.driveType);
            CHECK_EQ_IN(c, v.DriveTypeStr(), k.typeText);
            CHECK_EQ_IN(c, v.VolumeName(), k.volumeName);
            CHECK_EQ_IN(c, VolumeInfo::VolumePath(k.path), k.volumePath);
            CHECK_EQ_IN(c, VolumeInfo::IsTapeDrive(k.path), k.driveType == VolumeInfo::Tape);
            CHECK_EQ_IN(c, v.SANSerialNum(), std::wstring());
            CHECK_EQ_IN(c, VolumeInfo::VolumeDisplayName(k.path), k.path);
            if (k.path != L"/") {
                CHECK_EQ_IN(c, v.FileSystem(), std::wstring(L"TMPFS"));
                CHECK_EQ_IN(c, v.IsSupportingDMA(), false);
                CHECK_EQ_IN(c, VolumeInfo::IsSupportingDMA(k.path), false);
            }
        }
    });
}

// A path on the ext4 root listed in fstab is an HDD whose file system supports direct transfers.
TEST(VolumeInfo, Ext4RootIsHddWithDirectTransfers)
{
    if (!rootIsExt())
        GTEST_SKIP() << "the root file system here is not ext2/3/4";
    runIsolated(Tables::Both, [](Checks& c) {
        VolumeInfo v(L"/usr");
        CHECK_EQ_IN(c, v.FileSystem(), std::wstring(L"EXT2/3/4"));
        CHECK_EQ_IN(c, v.IsDriveTypeHDD(), true);
        CHECK_EQ_IN(c, v.IsSupportingDMA(), true);
        CHECK_EQ_IN(c, VolumeInfo::IsSupportingDMA(L"/usr"), true);
        CHECK_EQ_IN(c, v.VolumeName(), std::wstring(L"/dev/sda1"));
    });
}

// A path that does not exist gets only neutral answers.
TEST(VolumeInfo, MissingPathGivesNeutralAnswers)
{
    runIsolated(Tables::Both, [](Checks& c) {
        VolumeInfo v(L"/tmp/vol/missing/file");
        CHECK_EQ_IN(c, driveTypeOf(v), int64_t(VolumeInfo::Unknown));
        CHECK_EQ_IN(c, v.FileSystem(), std::wstring(L"UNKNOWN"));
        CHECK_EQ_IN(c, v.VolumeName(), std::wstring());
        CHECK_EQ_IN(c, v.TotalBytes(), uint64_t(0));
        CHECK_EQ_IN(c, v.FreeBytes(), uint64_t(0));
        CHECK_EQ_IN(c, v.DriveTypeStr(), std::wstring());
        CHECK_EQ_IN(c, VolumeInfo::VolumePath(L"/tmp/vol/missing/file"), std::wstring());
        CHECK_EQ_IN(c, VolumeInfo::IsTapeDrive(L""), false);
        // The mount point of /tmp is listed in neither table.
        CHECK_EQ_IN(c, VolumeInfo(L"/tmp").IsDriveTypeUnknown(), true);
    });
}

// Sizes are those of the file system holding the path, and free space follows what is written.
TEST(VolumeInfo, SizesComeFromTheHoldingFileSystem)
{
    runIsolated(Tables::Both, [](Checks& c) {
        VolumeInfo v(L"/tmp/vol/usb");
        CHECK_EQ_IN(c, v.TotalBytes(), uint64_t(1) << 20);
        CHECK_EQ_IN(c, v.FreeBytes(), uint64_t(1) << 20);
        const int fd = ::open("/tmp/vol/usb/blob", O_CREAT | O_WRONLY, 0644);
        const std::string block(65536, 'b');
        CHECK_EQ_IN(c, ::write(fd, block.data(), block.size()), ssize_t(65536));
        ::close(fd);
        CHECK_EQ_IN(c, v.FreeBytes(), (uint64_t(1) << 20) - 65536);
        CHECK_EQ_IN(c, VolumeInfo(L"/tmp/vol/usb/blob").TotalBytes(), uint64_t(1) << 20);
    });
}

// The lists follow "/etc/mtab" in table order: devices, their mount points and the NFS mounts.
TEST(VolumeInfo, ListsFollowTheMountTable)
{
    runIsolated(Tables::Both, [](Checks& c) {
        const std::wstring longDevice = L"/dev/" + std::wstring(300, L'x') + L"1";
        CHECK_EQ_IN(c, VolumeInfo::Volumes(),
                    (std::list<std::wstring>{L"/dev/sda1", L"/dev/sdb1", L"/dev/cdrom", L"/dev/fdd0", longDevice,
                                             L"/dev/sdc2", L"/dev/sdb1"}));
        CHECK_EQ_IN(c, VolumeInfo::DeviceMountPoints(),
                    (std::list<std::wstring>{L"/", L"/tmp/vol/usb", L"/tmp/vol/cdrom", L"/tmp/vol/floppy",
                                             L"/tmp/vol/tape", L"/tmp/vol/long", L"/tmp/vol/caf\u00e9",
                                             L"/tmp/vol/gone"}));
        CHECK_EQ_IN(c, VolumeInfo::NetworkDrives(),
                    (std::map<std::wstring, std::wstring>{{L"server:/export/in", L"server:/export/in"},
                                                          {L"server:/export/out", L"server:/export/out"}}));
        CHECK_EQ_IN(c, VolumeInfo::FileSystemRoot(), std::vector<std::wstring>{L"/"});
    });
}

// A device mount point matches only in its form with a trailing separator.
TEST(VolumeInfo, DeviceMountPointNeedsTheTrailingSeparator)
{
    runIsolated(Tables::Both, [](Checks& c) {
        CHECK_EQ_IN(c, VolumeInfo::IsDeviceMountPoint(L"/tmp/vol/usb/"), true);
        CHECK_EQ_IN(c, VolumeInfo::IsDeviceMountPoint(L"/tmp/vol/usb"), false);
        CHECK_EQ_IN(c, VolumeInfo::IsDeviceMountPoint(L"/"), true);
        CHECK_EQ_IN(c, VolumeInfo::IsDeviceMountPoint(L"/tmp/vol/tape/"), true);
        CHECK_EQ_IN(c, VolumeInfo::IsDeviceMountPoint(L"/tmp/vol/nfs-in/"), false);
    });
}

// Without the tables nothing is known of drives or devices; the file system is still asked.
TEST(VolumeInfo, MissingTablesGiveNoDrives)
{
    for (Tables tables : {Tables::None, Tables::FstabOnly}) {
        SCOPED_TRACE(tables == Tables::None ? "no tables" : "fstab only");
        runIsolated(tables, [](Checks& c) {
            VolumeInfo v(L"/tmp/vol/usb");
            CHECK_EQ_IN(c, v.IsDriveTypeUnknown(), true);
            CHECK_EQ_IN(c, v.DriveTypeStr(), std::wstring());
            CHECK_EQ_IN(c, v.VolumeName(), std::wstring());
            CHECK_EQ_IN(c, v.FileSystem(), std::wstring(L"TMPFS"));
            CHECK_EQ_IN(c, v.TotalBytes(), uint64_t(1) << 20);
            CHECK_EQ_IN(c, VolumeInfo::VolumePath(L"/tmp/vol/usb"), std::wstring());
            CHECK_EQ_IN(c, VolumeInfo::Volumes().empty(), true);
            CHECK_EQ_IN(c, VolumeInfo::DeviceMountPoints().empty(), true);
            CHECK_EQ_IN(c, VolumeInfo::NetworkDrives().empty(), true);
            CHECK_EQ_IN(c, VolumeInfo::IsDeviceMountPoint(L"/tmp/vol/usb/"), false);
        });
    }
}
