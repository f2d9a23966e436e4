#include "soap/HttpGet.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <boost/regex.hpp>

#include "core/Logger.h"
#include "soap/DownloadLimits.h"
#include "stdsoap2.h"

namespace {

const boost::regex kDownloadPath("/downloads/(.+)");
const char* const kDownloadDir = "/tmp/downloads/";
// As many links as the kernel follows in one path.
const int kMaxLinks = 40;

// Downloads that may be sent at once, and those being sent.
std::atomic<int> downloadSlots{1};
std::atomic<int> downloadsSent{0};

// One download being sent, counted for as long as it lasts; not held when every slot was taken.
class DownloadSlot {
public:
    DownloadSlot() : held_(downloadsSent.fetch_add(1) < downloadSlots.load())
    {
        if (!held_)
            downloadsSent.fetch_sub(1);
    }
    ~DownloadSlot()
    {
        if (held_)
            downloadsSent.fetch_sub(1);
    }
    DownloadSlot(const DownloadSlot&) = delete;
    DownloadSlot& operator=(const DownloadSlot&) = delete;

    bool held() const { return held_; }

private:
    const bool held_;
};

// Answers that the request cannot be served now: 503 with Retry-After; the runtime adds its
// fault ("HTTP Error: 503 Service Unavailable") and closes the connection.
int AnswerBusy(struct soap* soap, std::chrono::seconds retryAfter)
{
    // The runtime sends the header with its next answer; the context owns the text until then.
    soap->http_extra_header = soap_strdup(soap, ("Retry-After: " + std::to_string(retryAfter.count())).c_str());
    return 503;
}

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Descriptor& operator=(Descriptor&& other) noexcept
    {
        std::swap(fd_, other.fd_);
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

// The download directory's path without its trailing slash, and its parent.
std::string DirectoryPath() { return std::string(kDownloadDir, std::strlen(kDownloadDir) - 1); }

std::string ParentPath()
{
    const std::string dir = DirectoryPath();
    const std::string::size_type slash = dir.rfind('/');
    return slash == 0 ? "/" : dir.substr(0, slash);
}

std::deque<std::string> Components(const std::string& path)
{
    std::deque<std::string> parts;
    std::string::size_type start = 0;
    while (start <= path.size()) {
        std::string::size_type slash = path.find('/', start);
        if (slash == std::string::npos)
            slash = path.size();
        parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

// Components without the empty and "." ones, for comparing absolute paths.
std::vector<std::string> Named(const std::deque<std::string>& parts)
{
    std::vector<std::string> named;
    for (const std::string& part : parts)
        if (!part.empty() && part != ".")
            named.push_back(part);
    return named;
}

std::vector<std::string> Named(const std::string& path) { return Named(Components(path)); }

// The text of the link that `fd` (opened with O_PATH | O_NOFOLLOW) stands for; empty on failure.
std::string LinkText(int fd)
{
    std::vector<char> buf(256);
    while (true) {
        const ssize_t n = readlinkat(fd, "", buf.data(), buf.size());
        if (n < 0)
            return "";
        if (static_cast<size_t>(n) < buf.size())
            return std::string(buf.data(), static_cast<size_t>(n));
        buf.resize(buf.size() * 2);
    }
}

// The download directory, opened for lookups below it. Refused (and the reason logged once
// for the request) unless the path is a directory, or a link that root or this process's
// user made: /tmp is writable by everyone, and anyone may have created the name first.
Descriptor OpenDownloadDirectory(std::vector<std::vector<std::string>>& names)
{
    const std::string path = DirectoryPath();
    const auto refuse = [&path](const std::string& why) {
        Logger::GetInstance()->Log(Logger::eError, "downloads refused: " + path + " " + why);
        return Descriptor();
    };
    Descriptor entry(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!entry || fstat(entry.get(), &st) != 0)
        return refuse(std::string("cannot be opened: ") + std::strerror(errno));
    names.push_back(Named(path));
    if (S_ISDIR(st.st_mode))
        return entry;
    if (!S_ISLNK(st.st_mode))
        return refuse("is neither a directory nor a link");
    if (st.st_uid != 0 && st.st_uid != geteuid())
        return refuse("is a link owned by uid " + std::to_string(st.st_uid) + ", neither root nor the daemon's user");

    // Follow exactly the link that was checked, not whatever the name holds by now.
    const std::string target = LinkText(entry.get());
    if (target.empty())
        return refuse(std::string("is a link that cannot be read: ") + std::strerror(errno));
    const std::string resolved = target[0] == '/' ? target : ParentPath() + "/" + target;
    Descriptor dir(::open(resolved.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir)
        return refuse("links to " + target + ", which cannot be opened as a directory: " + std::strerror(errno));
    names.push_back(Named(resolved));
    return dir;
}

// Where the directory really is, so that absolute links naming it that way are understood.
void AddRealName(int dir, std::vector<std::vector<std::string>>& names)
{
    char real[4096];
    const std::string self = "/proc/self/fd/" + std::to_string(dir);
    const ssize_t n = readlink(self.c_str(), real, sizeof real - 1);
    if (n > 0 && real[0] == '/')
        names.push_back(Named(std::string(real, static_cast<size_t>(n))));
}

// Drops the leading components that name the download directory; false when the absolute
// path does not lead into it.
bool StripDirectoryName(std::deque<std::string>& parts, const std::vector<std::vector<std::string>>& names)
{
    const std::vector<std::string> named = Named(parts);
    for (const auto& name : names) {
        if (named.size() >= name.size() && std::equal(name.begin(), name.end(), named.begin())) {
            parts.assign(named.begin() + static_cast<std::ptrdiff_t>(name.size()), named.end());
            return true;
        }
    }
    return false;
}

// Opens the regular file `name` below `root` for reading without ever leaving the directory:
// each component is opened relative to its parent without following links, and a link is
// resolved the same way from where it stands (an absolute one only when it names the
// directory). The result is the descriptor that was checked, so a name swapped meanwhile
// for a link, a FIFO or a device is refused instead of served; O_NONBLOCK keeps a FIFO or
// device from blocking the open.
Descriptor OpenBeneath(int root, const std::vector<std::vector<std::string>>& names, const std::string& name)
{
    std::deque<std::string> rest = Components(name);
    std::vector<Descriptor> below;  // the directories between root and the current component
    int links = 0;
    while (!rest.empty()) {
        const std::string part = rest.front();
        rest.pop_front();
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (below.empty())
                return Descriptor();
            below.pop_back();
            continue;
        }
        const int parent = below.empty() ? root : below.back().get();
        Descriptor entry(openat(parent, part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (!entry || fstat(entry.get(), &st) != 0)
            return Descriptor();
        if (S_ISLNK(st.st_mode)) {
            const std::string target = LinkText(entry.get());
            if (++links > kMaxLinks || target.empty())
                return Descriptor();
            std::deque<std::string> parts = Components(target);
            if (target[0] == '/') {
                if (!StripDirectoryName(parts, names))
                    return Descriptor();
                below.clear();
            }
            rest.insert(rest.begin(), parts.begin(), parts.end());
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            below.push_back(std::move(entry));
            continue;
        }
        // A regular file ends the name; "file/" or "file/x" does not name it.
        if (!S_ISREG(st.st_mode) || !rest.empty())
            return Descriptor();
        Descriptor file(openat(parent, part.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat opened;
        if (!file || fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_dev != st.st_dev
            || opened.st_ino != st.st_ino)
            return Descriptor();
        return file;
    }
    return Descriptor();  // the name ends on a directory
}

bool HasDotDotSegment(const std::string& name)
{
    for (const std::string& part : Components(name))
        if (part == "..")
            return true;
    return false;
}

// The file a request names; throws HTTP_404 when the request is refused.
Descriptor OpenDownload(struct soap* soap)
{
    boost::smatch m;
    const std::string path = soap->path;
    if (!boost::regex_match(path, m, kDownloadPath))
        throw HTTP_404();
    const std::string name = m[1].str();
    // Names with ".." segments are refused outright, whatever they would lead to.
    if (HasDotDotSegment(name))
        throw HTTP_404();
    std::vector<std::vector<std::string>> names;
    Descriptor dir = OpenDownloadDirectory(names);
    if (!dir)
        throw HTTP_404();
    AddRealName(dir.get(), names);
    Descriptor file = OpenBeneath(dir.get(), names, name);
    if (!file)
        throw HTTP_404();
    return file;
}

// Whether the request line asked for HTTP/1.1 or later; the runtime keeps that line in
// msgbuf while its method hooks run, and reports the version nowhere else.
bool RequestAllowsChunks(const struct soap* soap)
{
    const std::string line = soap->msgbuf;
    const std::string::size_type space = line.rfind(' ');
    if (space == std::string::npos || line.compare(space + 1, 5, "HTTP/") != 0)
        return false;
    unsigned major = 0, minor = 0;
    if (std::sscanf(line.c_str() + space + 6, "%u.%u", &major, &minor) != 2)
        return false;
    return major > 1 || (major == 1 && minor >= 1);
}

ssize_t ReadSome(int fd, char* buf, size_t size)
{
    ssize_t n;
    do {
        n = ::read(fd, buf, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

// Sends `size` bytes of the file as the body. False when the file ended sooner or the peer is
// gone: the body is then cut short and must not be ended like a whole one.
bool SendBody(struct soap* soap, int fd, ULONG64 size)
{
    while (size > 0) {
        const size_t want = size < sizeof(soap->tmpbuf) ? static_cast<size_t>(size) : sizeof(soap->tmpbuf);
        const ssize_t n = ReadSome(fd, soap->tmpbuf, want);
        if (n <= 0 || soap_send_raw(soap, soap->tmpbuf, static_cast<size_t>(n)))
            return false;
        size -= static_cast<ULONG64>(n);
    }
    return true;
}

int Serve(struct soap* soap, bool withBody)
{
    Descriptor file;
    struct stat st;
    try {
        file = OpenDownload(soap);
        if (fstat(file.get(), &st) != 0)
            throw HTTP_404();
    } catch (const HTTP_404&) {
        if (withBody)
            return 404;  // the runtime answers with its 404 fault
        // The answer to HEAD carries no body, so it must not be the runtime's fault.
        return soap_send_empty_response(soap, 404);
    }
    // A body goes out at the reader's pace and holds this worker all the while; HEAD does not.
    std::optional<DownloadSlot> slot;
    if (withBody) {
        slot.emplace();
        if (!slot->held())
            return AnswerBusy(soap, DownloadLimits::kRetryAfter);
    }
    // The length the file has now is the length sent: a file that grows meanwhile is not
    // followed, one that shrinks cuts the body short.
    const ULONG64 size = static_cast<ULONG64>(st.st_size);
    soap->http_content = "application/octet-stream";

    if (!withBody || size == 0 || !RequestAllowsChunks(soap)) {
        // A head with the length: for HEAD, for HTTP/1.0 clients, which cannot read chunks,
        // and for an empty file, whose chunked body the runtime would end with a stray line
        // break. The head is sent straight away, not stored with the body: files may be large.
        soap->omode = (soap->omode & ~SOAP_IO) | SOAP_IO_BUFFER;
        soap->status = SOAP_FILE;
        if (soap_begin_send(soap) || soap->fresponse(soap, SOAP_FILE, size))
            return 0;  // the peer is gone; nothing more to send
        if (SendBody(soap, file.get(), withBody ? size : 0))
            soap_end_send(soap);
        return 0;
    }

    soap->omode = (soap->omode & ~SOAP_IO) | SOAP_IO_CHUNK;
    if (soap_response(soap, SOAP_FILE))
        return 0;
    // A body cut short ends without the closing chunk, so the client sees it incomplete.
    if (SendBody(soap, file.get(), size))
        soap_end_send(soap);
    return 0;
}

}  // namespace

int corvane_http_get(struct soap* soap) { return Serve(soap, true); }

int corvane_http_head(struct soap* soap) { return Serve(soap, false); }

void SetDownloadWorkers(int workers)
{
    downloadSlots.store(std::max(1, workers / DownloadLimits::kWorkersPerDownload));
}
