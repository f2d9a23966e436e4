// HTTP GET downloads below /tmp/downloads/: whole files in a chunked body, 404 for the rest.
#include "DaemonFixture.h"

using namespace corvane_test;

namespace {

class Downloads : public DaemonFixture {
protected:
    void SetUp() override
    {
        DaemonFixture::SetUp();
        ASSERT_TRUE(std::ifstream("/tmp/downloads/.").good()) << "no /tmp/downloads (tests/isolated.sh makes it)";
        UsePlugins("plugins");
        MakeUsers();
        sub = "/tmp/downloads/t" + std::to_string(port);
        mkdir(sub.c_str(), 0755);
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
        std::string req = "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n";
        if (!auth.empty())
            req += "Authorization: Basic " + Base64(auth) + "\r\n";
        return Exchange(port, req + "\r\n");
    }
    std::string sub;  // this test's folder inside the download directory
};

// Files of several sizes arrive whole, byte for byte, as application/octet-stream.
TEST_F(Downloads, FileArrivesWhole)
{
    std::string name = "t" + std::to_string(port);
    for (size_t size : {size_t(0), size_t(1), size_t(1024), size_t(2500), size_t(300000)}) {
        std::string data;
        for (size_t i = 0; i < size; ++i)
            data += static_cast<char>((i * 7919) & 0xFF);
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

// Everything that is not a regular file inside the directory is 404, links leading out included.
TEST_F(Downloads, RefusedPathsAre404)
{
    std::string name = "t" + std::to_string(port);
    WriteFile(dir / "outside.txt", "secret");
    WriteFile(sub + "/inside.txt", "fine");
    symlink((dir / "outside.txt").c_str(), (sub + "/out-link").c_str());
    symlink((sub + "/inside.txt").c_str(), (sub + "/in-link").c_str());
    mkdir((sub + "/folder").c_str(), 0755);
    const std::string refused[] = {
        "/downloads/",
        "/",
        "/index.html",
        "/downloads/" + name,
        "/downloads/" + name + "/folder",
        "/downloads/" + name + "/missing",
        "/downloads/" + name + "/out-link",
        "/downloads/../etc/passwd",
        "/downloads/" + name + "/../../../etc/passwd",
        "/downloads/%2e%2e/etc/passwd",
        "/downloads/%2E%2E%2Fetc%2Fpasswd",
        "/downloads/..",
        "/xdownloads/" + name + "/inside.txt",
    };
    for (const std::string& path : refused) {
        HttpAnswer a = Get(path);
        EXPECT_EQ(a.status, 404) << path << "\n" << a.raw;
        EXPECT_EQ(ElementText(a.body, "faultstring"), "HTTP Error: 404 Not Found") << path;
    }
    EXPECT_EQ(Get("/downloads/" + name + "/in-link").body, "fine");
}

}  // namespace
