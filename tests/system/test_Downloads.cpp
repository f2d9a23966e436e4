// HTTP GET and HEAD downloads below /tmp/downloads/: whole files in a chunked body (or with a
// length for HEAD and HTTP/1.0), as long as they were when opened, 404 for the rest, 503 beyond
// half of the workers, and nothing from outside the directory whatever links, FIFOs or devices
// are put in it, or what /tmp/downloads itself is.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "DaemonFixture.h"

using namespace corvane_test;

namespace {

HttpAnswer Request(int port, const std::string& method, const std::string& path,
                   const std::string& version = "HTTP/1.1", const std::string& auth = "")
{
    std::string req = method + " " + path + " " + version + "\r\nHost: localhost\r\n";
    if (!auth.empty())
        req += "Authorization: Basic " + Base64(auth) + "\r\n";
    return Exchange(port, req + "\r\n");
}

// The answer ends with its head: no body bytes at all.
bool HeadOnly(const HttpAnswer& a)
{
    const size_t end = a.raw.find("\r\n\r\n");
    return end != std::string::npos && end + 4 == a.raw.size();
}

std::string Pattern(size_t size)
{
    std::string data;
    for (size_t i = 0; i < size; ++i)
        data += static_cast<char>((i * 7919) & 0xFF);
    return data;
}

// A loopback connection whose receive window is small (set before connecting, so the window
// is what the handshake announces), or -1.
int ConnectSmallWindow(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int window = 64 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A connection that takes a download at the pace of a small receive window: once the head and
// the first bytes are in, so that the daemon has opened the file and is sending it, `meanwhile`
// runs, then the rest is read to the end.
std::string SlowDownload(int port, const std::string& request, const std::function<void()>& meanwhile)
{
    const int fd = ConnectSmallWindow(port);
    std::string raw;
    if (fd >= 0 && SendAll(fd, request)) {
        char buf[4096];
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10000) > 0) {
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n > 0)
                raw.assign(buf, static_cast<size_t>(n));
        }
        meanwhile();
        raw += ReadAll(fd);
    }
    if (fd >= 0)
        close(fd);
    return raw;
}

// A connection that asks for a download with a small receive window and never reads it.
int UnreadDownload(int port, const std::string& path)
{
    const int fd = ConnectSmallWindow(port);
    if (fd >= 0 && !SendAll(fd, "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n")) {
        close(fd);
        return -1;
    }
    return fd;
}

// The first bytes of the answer on `fd` up to the end of its head, peeked so that nothing is
// taken from the connection's window; empty when no whole head arrives within the limit.
std::string PeekHead(int fd, std::chrono::milliseconds limit)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    char buf[2048];
    while (std::chrono::steady_clock::now() < until) {
        const ssize_t n = recv(fd, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) {
            const std::string seen(buf, static_cast<size_t>(n));
            const size_t end = seen.find("\r\n\r\n");
            if (end != std::string::npos)
                return seen.substr(0, end + 4);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return "";
}

class Downloads : public DaemonFixture {
protected:
    void SetUp() override
    {
        DaemonFixture::SetUp();
        struct stat st;
        ASSERT_TRUE(stat("/tmp/downloads", &st) == 0 && S_ISDIR(st.st_mode))
            << "no /tmp/downloads: run the test through tests/isolated.sh";
        UsePlugins("plugins");
        MakeUsers();
        name = "t" + std::to_string(port);
        sub = "/tmp/downloads/" + name;
        ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
        Start();
    }
    void TearDown() override
    {
        if (daemon) {
            EXPECT_EQ(Stop(), 0);
        }
        std::system(("rm -rf '" + sub + "'").c_str());
    }
    HttpAnswer Get(const std::string& path, const std::string& auth = "")
    {
        return Request(port, "GET", path, "HTTP/1.1", auth);
    }
    // Paths that must be refused, with the fixture files RefusedPaths() makes.
    std::vector<std::string> RefusedPaths()
    {
        WriteFile(dir / "outside.txt", "secret");
        mkdir((dir / "outside-dir").c_str(), 0755);
        WriteFile(dir / "outside-dir/f.txt", "secret");
        WriteFile(sub + "/inside.txt", "fine");
        mkdir((sub + "/folder").c_str(), 0755);
        symlink((dir / "outside.txt").c_str(), (sub + "/out-link").c_str());
        symlink((dir / "outside-dir").c_str(), (sub + "/out-dir").c_str());
        symlink("../../../../../../../etc/passwd", (sub + "/up-link").c_str());
        symlink(("/tmp/downloads/../.." + dir.path() + "/outside.txt").c_str(), (sub + "/dotdot-abs").c_str());
        symlink("/etc/passwd", (sub + "/etc-link").c_str());
        symlink("/dev/zero", (sub + "/zero-link").c_str());
        symlink("loop-b", (sub + "/loop-a").c_str());
        symlink("loop-a", (sub + "/loop-b").c_str());
        symlink("folder", (sub + "/folder-link").c_str());
        mkfifo((sub + "/fifo").c_str(), 0644);
        symlink("fifo", (sub + "/fifo-link").c_str());
        mknod((sub + "/zero").c_str(), S_IFCHR | 0644, makedev(1, 5));
        const std::string base = "/downloads/" + name;
        return {
            "/downloads/",
            "/",
            "/index.html",
            base,
            base + "/folder",
            base + "/folder-link",
            base + "/missing",
            base + "/inside.txt/",
            base + "/inside.txt/x",
            base + "/out-link",
            base + "/out-dir/f.txt",
            base + "/up-link",
            base + "/dotdot-abs",
            base + "/etc-link",
            base + "/zero-link",
            base + "/loop-a",
            base + "/fifo",
            base + "/fifo-link",
            base + "/zero",
            "/downloads/../etc/passwd",
            base + "/../../../etc/passwd",
            base + "/folder/../inside.txt",
            "/downloads/%2e%2e/etc/passwd",
            "/downloads/%2E%2E%2Fetc%2Fpasswd",
            "/downloads/..",
            "/xdownloads/" + name + "/inside.txt",
        };
    }
    std::string name;  // this test's folder inside the download directory
    std::string sub;
};

// Files of several sizes arrive whole, byte for byte, as application/octet-stream.
TEST_F(Downloads, FileArrivesWhole)
{
    for (size_t size : {size_t(0), size_t(1), size_t(1024), size_t(2500), size_t(300000)}) {
        const std::string data = Pattern(size);
        WriteFile(sub + "/f.bin", data);
        for (const char* auth : {"", "tech:pw1"}) {
            HttpAnswer a = Get("/downloads/" + name + "/f.bin", auth);
            EXPECT_EQ(a.status, 200) << size;
            EXPECT_EQ(a.headers["content-type"], "application/octet-stream");
            EXPECT_EQ(a.body.size(), size);
            EXPECT_TRUE(a.body == data) << size;
            if (size == 0) {
                // No chunk to send: a plain empty body, not a malformed chunked end.
                EXPECT_EQ(a.headers.count("transfer-encoding"), 0u);
                EXPECT_EQ(a.headers["content-length"], "0");
                EXPECT_EQ(a.raw.substr(a.raw.size() - 4), "\r\n\r\n");
            } else {
                EXPECT_EQ(a.headers["transfer-encoding"], "chunked");
                EXPECT_EQ(a.raw.substr(a.raw.size() - 5), "0\r\n\r\n");
            }
        }
    }
}

// An HTTP/1.0 client, which cannot read chunks, gets the file with its length instead.
TEST_F(Downloads, Http10GetsContentLength)
{
    for (size_t size : {size_t(0), size_t(1), size_t(1024), size_t(2500), size_t(300000)}) {
        const std::string data = Pattern(size);
        WriteFile(sub + "/f.bin", data);
        HttpAnswer a = Request(port, "GET", "/downloads/" + name + "/f.bin", "HTTP/1.0");
        EXPECT_EQ(a.status, 200) << size;
        EXPECT_EQ(a.headers["content-type"], "application/octet-stream");
        EXPECT_EQ(a.headers.count("transfer-encoding"), 0u) << size;
        EXPECT_EQ(a.headers["content-length"], std::to_string(size));
        EXPECT_TRUE(a.body == data) << size;
    }
}

// HEAD gets the head GET would get, with the file's length and no body; whatever GET
// refuses is 404 without a body.
TEST_F(Downloads, HeadAnswersLikeGetWithoutBody)
{
    for (size_t size : {size_t(0), size_t(2500), size_t(300000)}) {
        WriteFile(sub + "/f.bin", Pattern(size));
        for (const char* version : {"HTTP/1.1", "HTTP/1.0"}) {
            HttpAnswer a = Request(port, "HEAD", "/downloads/" + name + "/f.bin", version);
            EXPECT_EQ(a.status, 200) << size << " " << version;
            EXPECT_EQ(a.headers["content-type"], "application/octet-stream");
            EXPECT_EQ(a.headers["content-length"], std::to_string(size));
            EXPECT_EQ(a.headers.count("transfer-encoding"), 0u);
            EXPECT_TRUE(HeadOnly(a)) << a.raw;
        }
    }
    for (const std::string& path : RefusedPaths()) {
        HttpAnswer a = Request(port, "HEAD", path);
        EXPECT_EQ(a.status, 404) << path << "\n" << a.raw;
        EXPECT_TRUE(HeadOnly(a)) << path << "\n" << a.raw;
    }
}

// Everything that is not a regular file inside the directory is 404, whether the name is a
// link leading out, a FIFO or a device (neither of which may block a worker).
TEST_F(Downloads, RefusedPathsAre404)
{
    for (const std::string& path : RefusedPaths()) {
        for (const char* version : {"HTTP/1.1", "HTTP/1.0"}) {
            HttpAnswer a = Request(port, "GET", path, version);
            EXPECT_EQ(a.status, 404) << path << "\n" << a.raw;
            EXPECT_EQ(ElementText(a.body, "faultstring"), "HTTP Error: 404 Not Found") << path;
        }
    }
    EXPECT_EQ(Get("/downloads/" + name + "/inside.txt").body, "fine");
}

// A file is sent with the length it had when it was opened. One that shrinks meanwhile ends
// the transfer early and visibly: no closing chunk (HTTP/1.1), fewer bytes than announced
// (HTTP/1.0). One that grows is sent as it was, whole.
TEST_F(Downloads, FileChangedWhileSentKeepsItsOpenedLength)
{
    const size_t size = 16 * 1024 * 1024;
    const struct {
        const char* what;
        const char* version;
        bool shrinks;
    } cases[] = {
        {"shrinks, HTTP/1.1", "HTTP/1.1", true},
        {"shrinks, HTTP/1.0", "HTTP/1.0", true},
        {"grows, HTTP/1.1", "HTTP/1.1", false},
        {"grows, HTTP/1.0", "HTTP/1.0", false},
    };
    for (const auto& c : cases) {
        const std::string file = sub + "/changing.bin";
        const std::string data = Pattern(size);
        WriteFile(file, data);
        const std::string raw = SlowDownload(
            port, "GET /downloads/" + name + "/changing.bin " + c.version + "\r\nHost: localhost\r\n\r\n", [&] {
                if (c.shrinks) {
                    ASSERT_EQ(truncate(file.c_str(), 1024 * 1024), 0);
                } else {
                    std::ofstream(file, std::ios::binary | std::ios::app) << std::string(1024 * 1024, 'x');
                }
            });
        HttpAnswer a = ParseAnswer(raw);
        EXPECT_EQ(a.status, 200) << c.what;
        const bool chunked = std::string(c.version) == "HTTP/1.1";
        const bool closingChunk = raw.size() >= 5 && raw.compare(raw.size() - 5, 5, "0\r\n\r\n") == 0;
        EXPECT_EQ(closingChunk, chunked && !c.shrinks) << c.what;
        if (!chunked) {
            EXPECT_EQ(a.headers["content-length"], std::to_string(size)) << c.what;
        }
        if (c.shrinks) {
            EXPECT_LT(a.body.size(), size) << c.what;
        } else {
            EXPECT_EQ(a.body.size(), size) << c.what;
            EXPECT_TRUE(a.body == data) << c.what;
        }
    }
}

// Downloads whose readers never read hold at most half of the workers: each one beyond that is
// answered at once with 503, Retry-After and a fault, so calls and HEAD go on being answered;
// once the readers go, downloads are served again.
TEST_F(Downloads, UnreadDownloadsHoldAtMostHalfTheWorkers)
{
    // Downloads sent at once by the number of CPUs, one worker each: half of them, and one
    // on a host of up to 3.
    const std::map<int, int> kSlotsByCpus = {{1, 1}, {2, 1}, {3, 1}, {4, 2}, {6, 3}, {8, 4},
                                             {12, 6}, {16, 8}, {24, 12}, {32, 16}, {64, 32}};
    const int workers = static_cast<int>(std::thread::hardware_concurrency());
    const auto stated = kSlotsByCpus.find(workers);
    ASSERT_NE(stated, kSlotsByCpus.end()) << "no download share stated for a host of " << workers << " CPUs";
    const int slots = stated->second;
    WriteFile(sub + "/big.bin", Pattern(32 * 1024 * 1024));
    WriteFile(sub + "/inside.txt", "fine");
    const std::string path = "/downloads/" + name + "/big.bin";
    std::vector<int> readers;
    for (int i = 0; i < workers; ++i)
        readers.push_back(UnreadDownload(port, path));
    int held = 0, refused = 0;
    for (int fd : readers) {
        HttpAnswer head = ParseAnswer(PeekHead(fd, std::chrono::seconds(10)));
        if (head.status == 200) {
            ++held;
        } else if (head.status == 503) {
            ++refused;
            HttpAnswer whole = ParseAnswer(ReadAll(fd, std::chrono::seconds(10)));
            EXPECT_EQ(whole.headers["retry-after"], "5") << whole.raw;
            EXPECT_EQ(ElementText(whole.body, "faultstring"), "HTTP Error: 503 Service Unavailable") << whole.raw;
        } else {
            ADD_FAILURE() << "answer " << head.status << ": " << head.raw;
        }
    }
    EXPECT_EQ(held, slots);
    EXPECT_EQ(refused, workers - slots);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ElementText(Call("auth-user").body, "result"), "*");
    std::printf("a call while %d downloads stall: %.2f s\n", held,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    EXPECT_EQ(Request(port, "HEAD", path).status, 200);
    EXPECT_EQ(Get(path).status, 503);

    for (int fd : readers)
        close(fd);
    EXPECT_TRUE(WaitFor([&] { return Get("/downloads/" + name + "/inside.txt").body == "fine"; }));
}

// Links inside the directory to regular files inside it are served, however they are spelled.
TEST_F(Downloads, LinksInsideAreServed)
{
    mkdir((sub + "/d").c_str(), 0755);
    mkdir((sub + "/d/e").c_str(), 0755);
    WriteFile(sub + "/f.txt", "fine");
    WriteFile(sub + "/d/inner.txt", "inner");
    const struct {
        const char* link;
        std::string target;
    } links[] = {
        {"abs", sub + "/f.txt"},
        {"abs-odd", "/tmp//downloads/./" + name + "/f.txt"},
        {"rel", "f.txt"},
        {"chain", "rel"},
        {"d/up", "../f.txt"},
        {"d/e/up2", "../../d/../f.txt"},
        {"dir-link", "d"},
        {"abs-dir", sub + "/d"},
    };
    for (const auto& l : links)
        ASSERT_EQ(symlink(l.target.c_str(), (sub + "/" + l.link).c_str()), 0) << l.link;
    const struct {
        std::string path;
        const char* body;
    } cases[] = {
        {"abs", "fine"},      {"abs-odd", "fine"},           {"rel", "fine"},
        {"chain", "fine"},    {"d/up", "fine"},              {"d/e/up2", "fine"},
        {"dir-link/inner.txt", "inner"}, {"abs-dir/up", "fine"}, {"d/./inner.txt", "inner"},
    };
    for (const auto& c : cases) {
        HttpAnswer a = Get("/downloads/" + name + "/" + c.path);
        EXPECT_EQ(a.status, 200) << c.path << "\n" << a.raw;
        EXPECT_EQ(a.body, c.body) << c.path;
    }
}

// A name swapped back and forth between a regular file, a link to a file outside and a FIFO
// while it is fetched never serves the outside file and never holds a worker.
TEST_F(Downloads, SwappedNameNeverLeaks)
{
    WriteFile(dir / "outside.txt", "SECRET");
    WriteFile(sub + "/name", "public");
    ASSERT_EQ(symlink((dir / "outside.txt").c_str(), (sub + "/link").c_str()), 0);
    ASSERT_EQ(mkfifo((sub + "/fifo").c_str(), 0644), 0);
    const std::string nameAt = sub + "/name";
    std::atomic<bool> done{false};
    std::thread swapper([&] {
        const std::string partners[] = {sub + "/link", sub + "/fifo"};
        while (!done.load()) {
            for (const std::string& other : partners) {
                // Each exchange is made twice, so the name is a regular file between pairs.
                renameat2(AT_FDCWD, nameAt.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE);
                renameat2(AT_FDCWD, nameAt.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE);
            }
        }
    });
    int served = 0, refused = 0, other = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (int i = 0; i < 3000 && std::chrono::steady_clock::now() < until; ++i) {
        HttpAnswer a = Request(port, "GET", "/downloads/" + name + "/name", i % 2 ? "HTTP/1.0" : "HTTP/1.1");
        if (a.status == 200 && a.body == "public")
            ++served;
        else if (a.status == 404)
            ++refused;
        else
            ++other;
        ASSERT_EQ(a.body.find("SECRET"), std::string::npos) << "request " << i;
    }
    done.store(true);
    swapper.join();
    EXPECT_EQ(other, 0);
    EXPECT_GT(served, 0);
    // The daemon still serves.
    EXPECT_EQ(ElementText(Call("auth-user").body, "result"), "*");
}

// What /tmp/downloads itself is decides whether anything is served: a directory (whoever
// owns it) or a link that root made is used; a link made by another user, a file or a
// missing name refuses every download with one error line naming the reason. The daemon
// runs with a /tmp of its own, so that /tmp/downloads can be made anything.
struct DirectoryCase {
    const char* name;
    std::string setup;   // shell commands run as root in the daemon's /tmp; $D is the test directory
    std::string reason;  // the error line's text; empty when the files are served
};

class DownloadDirectory : public DaemonFixture, public ::testing::WithParamInterface<DirectoryCase> {
protected:
    std::vector<std::string> Wrapper()
    {
        const std::string script =
            "set -e\n"
            "D=\"$1\"; B=\"$2\"; SETUP=\"$3\"; shift 3\n"
            "old=/run/corvane-old-tmp.$$\n"
            "mkdir -p \"$old\"\n"
            "mount --bind /tmp \"$old\"\n"
            "mount -t tmpfs -o mode=1777 tmpfs /tmp\n"
            "for keep in \"$D\" \"$B\"; do\n"
            "  case \"$keep\" in /tmp/*) mkdir -p \"$keep\"; mount --bind \"$old${keep#/tmp}\" \"$keep\" ;; esac\n"
            "done\n"
            "eval \"$SETUP\"\n"
            "exec \"$@\"\n";
        return {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script, "sh",
                dir.path(), CORVANE_BINARY_DIR, GetParam().setup};
    }
};

TEST_P(DownloadDirectory, DecidesWhatIsServed)
{
    UsePlugins("plugins");
    MakeUsers();
    ASSERT_EQ(mkdir((dir / "dl").c_str(), 0755), 0);
    ASSERT_EQ(chown((dir / "dl").c_str(), 65534, 65534), 0);
    WriteFile(dir / "dl/f.txt", "served");
    Start("", Wrapper());
    ASSERT_TRUE(ProcessAlive(daemon->pid())) << ReadFile(dir / "stderr");
    // The discovery identity is the file the measured attack read through a planted link.
    for (const char* file : {"f.txt", "corvaned_uuid"}) {
        HttpAnswer a = Request(port, "GET", std::string("/downloads/") + file);
        HttpAnswer head = Request(port, "HEAD", std::string("/downloads/") + file);
        if (GetParam().reason.empty() && std::string(file) == "f.txt") {
            EXPECT_EQ(a.status, 200) << a.raw;
            EXPECT_EQ(a.body, "served");
            EXPECT_EQ(head.status, 200);
        } else {
            EXPECT_EQ(a.status, 404) << file << "\n" << a.raw;
            EXPECT_EQ(head.status, 404) << file;
            EXPECT_EQ(a.body.find("urn:uuid:"), std::string::npos);
        }
    }
    EXPECT_EQ(Stop(), 0);
    const std::string log = Log();
    std::string reason = GetParam().reason;
    if (reason.find("$D") != std::string::npos)
        reason.replace(reason.find("$D"), 2, dir.path());
    if (reason.empty()) {
        EXPECT_EQ(log.find("downloads refused"), std::string::npos) << log;
    } else {
        // One line for each of the four refused requests.
        EXPECT_EQ(CountOf(log, "ERROR:  downloads refused: /tmp/downloads " + reason + "\n"), 4) << log;
        EXPECT_EQ(CountOf(log, "downloads refused"), 4) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(
    States, DownloadDirectory,
    ::testing::Values(
        DirectoryCase{"LinkByAnotherUser", "ln -s /var/lib/corvane /tmp/downloads; chown -h 65534:65534 /tmp/downloads",
                      "is a link owned by uid 65534, neither root nor the daemon's user"},
        DirectoryCase{"LinkByAnotherUserToFiles", "ln -s \"$D/dl\" /tmp/downloads; chown -h 65534:65534 /tmp/downloads",
                      "is a link owned by uid 65534, neither root nor the daemon's user"},
        DirectoryCase{"LinkByRoot", "ln -s \"$D/dl\" /tmp/downloads", ""},
        DirectoryCase{"RelativeLinkByRoot", "ln -s \"${D#/tmp/}/dl\" /tmp/downloads", ""},
        DirectoryCase{"DirectoryOfAnotherUser", "mkdir /tmp/downloads; mount --bind \"$D/dl\" /tmp/downloads", ""},
        DirectoryCase{"LinkByRootToAFile", "ln -s \"$D/dl/f.txt\" /tmp/downloads",
                      "links to $D/dl/f.txt, which cannot be opened as a directory: Not a directory"},
        DirectoryCase{"RegularFile", "echo x > /tmp/downloads", "is neither a directory nor a link"},
        DirectoryCase{"Missing", "", "cannot be opened: No such file or directory"}),
    [](const auto& param) { return param.param.name; });

}  // namespace
