#pragma once
// A raw HTTP client over loopback for end-to-end tests: one request per connection, the whole
// answer read until the daemon closes the connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <regex>
#include <vector>
#include <string>

#include "soap/WexNamespace.h"

namespace corvane_test {

struct HttpAnswer {
    bool connected = false;
    std::string raw;  // everything received; empty when the daemon closed without answering
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;                            // de-chunked
};

inline int ConnectLoopback(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

inline bool SendAll(int fd, const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

inline int LocalPort(int fd)
{
    sockaddr_in address = {};
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

// The kernel's row of the TCP socket bound to local port `local` and connected to port
// `remote` (/proc/net/tcp): its inode and the bytes it has received that were not read yet.
// False while there is none.
struct TcpRow {
    unsigned long inode = 0;
    unsigned long unread = 0;
};
inline bool FindTcpRow(int local, int remote, TcpRow& row)
{
    FILE* table = std::fopen("/proc/net/tcp", "r");
    if (!table)
        return false;
    char line[512];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, table)) {
        unsigned localPort = 0, remotePort = 0;
        found = sscanf(line, " %*d: %*x:%x %*x:%x %*x %*x:%lx %*x:%*x %*x %*u %*u %lu", &localPort, &remotePort,
                       &row.unread, &row.inode) == 4 &&
                static_cast<int>(localPort) == local && static_cast<int>(remotePort) == remote;
    }
    std::fclose(table);
    return found;
}

// Reads until the peer closes or nothing arrives for `idle`.
inline std::string ReadAll(int fd, std::chrono::milliseconds idle = std::chrono::seconds(15))
{
    std::string out;
    char buf[65536];
    while (true) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(idle.count())) <= 0)
            break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

inline std::string Dechunk(const std::string& body)
{
    std::string out;
    size_t pos = 0;
    while (pos < body.size()) {
        size_t eol = body.find("\r\n", pos);
        if (eol == std::string::npos)
            break;
        size_t len = std::stoul(body.substr(pos, eol - pos), nullptr, 16);
        if (len == 0)
            break;
        out += body.substr(eol + 2, len);
        pos = eol + 2 + len + 2;
    }
    return out;
}

// `body` in chunks of `chunk` bytes, as a client sends it with Transfer-Encoding: chunked.
inline std::string Chunked(const std::string& body, size_t chunk)
{
    std::string out;
    char size[32];
    for (size_t at = 0; at < body.size(); at += chunk) {
        const std::string piece = body.substr(at, chunk);
        std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
        out += size + piece + "\r\n";
    }
    return out + "0\r\n\r\n";
}

inline HttpAnswer ParseAnswer(const std::string& raw)
{
    HttpAnswer a;
    a.connected = true;
    a.raw = raw;
    size_t headEnd = raw.find("\r\n\r\n");
    if (raw.compare(0, 5, "HTTP/") != 0 || headEnd == std::string::npos)
        return a;
    a.status = std::stoi(raw.substr(raw.find(' ') + 1, 3));
    size_t pos = raw.find("\r\n") + 2;
    while (pos < headEnd) {
        size_t eol = raw.find("\r\n", pos);
        std::string line = raw.substr(pos, eol - pos);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            for (char& c : name)
                c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            a.headers[name] = value;
        }
        pos = eol + 2;
    }
    a.body = raw.substr(headEnd + 4);
    auto te = a.headers.find("transfer-encoding");
    if (te != a.headers.end() && te->second == "chunked")
        a.body = Dechunk(a.body);
    return a;
}

inline HttpAnswer Exchange(int port, const std::string& request)
{
    int fd = ConnectLoopback(port);
    if (fd < 0)
        return HttpAnswer();
    SendAll(fd, request);
    HttpAnswer a = ParseAnswer(ReadAll(fd));
    close(fd);
    return a;
}

// An exchange as the client saw it happen.
struct TimedAnswer {
    HttpAnswer answer;
    bool sentWhole = false;  // the whole request went out, without a reset
    double firstByte = -1;   // seconds until the answer (or the end of the connection) began
    double ended = -1;       // seconds until the daemon ended the connection
    bool reset = false;      // it ended by a reset, not by a close
};

// Sends the request and reads the answer until the daemon ends the connection or nothing
// arrives for `idle`. A `sendBuffer` in bytes keeps the sender sending as long as the daemon
// has not read the request, as on a real network; 0 leaves loopback's, which takes megabytes.
inline TimedAnswer TimedExchange(int port, const std::string& request,
                                 std::chrono::milliseconds idle = std::chrono::seconds(15), int sendBuffer = 0)
{
    using Clock = std::chrono::steady_clock;
    auto since = [](Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); };
    TimedAnswer t;
    const int fd = ConnectLoopback(port);
    if (fd < 0)
        return t;
    if (sendBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    const auto start = Clock::now();
    t.sentWhole = SendAll(fd, request);
    std::string raw;
    char buf[65536];
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(idle.count())) <= 0)
            break;
        if (t.firstByte < 0)
            t.firstByte = since(start);
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            t.ended = since(start);
            t.reset = n < 0;
            break;
        }
        raw.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    t.answer = ParseAnswer(raw);
    return t;
}

inline std::string Base64(const std::string& in)
{
    static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
        out += table[v >> 18 & 63];
        out += table[v >> 12 & 63];
        out += table[v >> 6 & 63];
        out += table[v & 63];
    }
    if (i + 1 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16;
        out += table[v >> 18 & 63];
        out += table[v >> 12 & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
        out += table[v >> 18 & 63];
        out += table[v >> 12 & 63];
        out += table[v >> 6 & 63];
        out += '=';
    }
    return out;
}

// An HTTP POST of `body`; `auth` is "user:password" or empty for none.
inline std::string Post(const std::string& body, const std::string& auth = "")
{
    std::string head = "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: text/xml; charset=utf-8\r\n";
    if (!auth.empty())
        head += "Authorization: Basic " + Base64(auth) + "\r\n";
    head += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    return head + body;
}

inline std::string XmlEscape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

const char* const kWexNamespace = CORVANE_WEX_NAMESPACE;

// A SOAP 1.1 request for `operation` ("command") with the fields in the given order.
inline std::string Envelope(const std::string& operation,
                            const std::vector<std::pair<std::string, std::string>>& fields = {})
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                      "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                      "xmlns:wex=\"" + std::string(kWexNamespace) + "\"><SOAP-ENV:Body><wex:" + operation + ">";
    for (const auto& f : fields)
        xml += "<" + f.first + ">" + XmlEscape(f.second) + "</" + f.first + ">";
    xml += "</wex:" + operation + "></SOAP-ENV:Body></SOAP-ENV:Envelope>";
    return xml;
}

// Text of the first element with the local name `tag`, XML entities of the five kinds undone.
inline std::string ElementText(const std::string& xml, const std::string& tag)
{
    if (xml.find("<" + tag + "/>") != std::string::npos)
        return "";
    size_t open = xml.find("<" + tag + ">");
    if (open == std::string::npos)
        return "<missing>";
    open += tag.size() + 2;
    size_t close = xml.find("</" + tag + ">", open);
    std::string t = xml.substr(open, close - open);
    std::string out;
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '&') {
            size_t semi = t.find(';', i);
            std::string ent = t.substr(i + 1, semi - i - 1);
            out += ent == "lt" ? "<" : ent == "gt" ? ">" : ent == "amp" ? "&" : ent == "quot" ? "\"" : ent == "apos" ? "'" : "?";
            i = semi;
        } else {
            out += t[i];
        }
    }
    return out;
}

const char* const kSoap11Envelope = "http://schemas.xmlsoap.org/soap/envelope/";
const char* const kSoap12Envelope = "http://www.w3.org/2003/05/soap-envelope";

// A fault as an answer carries it: the namespace its envelope is bound to, and its code, text
// and detail (SOAP 1.1: faultcode, faultstring, detail; SOAP 1.2: Code/Value, Reason/Text,
// Detail). A part the answer lacks stays empty.
struct SoapFault {
    std::string envelope;
    std::string code;
    std::string string;
    std::string detail;
};

inline SoapFault FaultOf(const std::string& xml)
{
    // The last group that took part in the first match.
    auto first = [&xml](const char* pattern) {
        std::smatch m;
        if (std::regex_search(xml, m, std::regex(pattern))) {
            for (size_t i = m.size() - 1; i > 0; --i)
                if (m[i].matched)
                    return m[i].str();
        }
        return std::string();
    };
    SoapFault f;
    f.envelope = first("<([A-Za-z0-9_-]+):Envelope[^>]* xmlns:\\1=\"([^\"]*)\"");
    f.code = first("<faultcode>([^<]*)</faultcode>|<[A-Za-z0-9_-]+:Code><[A-Za-z0-9_-]+:Value>([^<]*)<");
    f.string = first("<faultstring>([^<]*)</faultstring>|<[A-Za-z0-9_-]+:Text[^>]*>([^<]*)<");
    f.detail = first("<detail>([^<]*)</detail>|<[A-Za-z0-9_-]+:Detail>([^<]*)<");
    return f;
}

inline int FreePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

}  // namespace corvane_test
