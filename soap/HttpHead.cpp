#include "soap/HttpHead.h"

#include <cctype>
#include <cstring>
#include <limits>

#include "soap/RequestLimits.h"

namespace {

bool IsTokenChar(unsigned char c)
{
    return std::isalnum(c) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trimmed(const std::string& s)
{
    std::size_t begin = 0, end = s.size();
    while (begin < end && IsBlank(s[begin]))
        ++begin;
    while (end > begin && IsBlank(s[end - 1]))
        --end;
    return s.substr(begin, end - begin);
}

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

HttpHead Refused(HttpHead head, int status, const char* problem)
{
    head.refusal = status;
    head.problem = problem;
    return head;
}

// The lines of the head without their CR LF; false when a line ends otherwise or holds a
// control character other than tab.
bool SplitLines(const std::string& head, std::vector<std::string>& lines)
{
    std::size_t at = 0;
    while (at < head.size()) {
        std::size_t end = at;
        while (end < head.size() && head[end] != '\r' && head[end] != '\n') {
            const unsigned char c = static_cast<unsigned char>(head[end]);
            if ((c < 0x20 && c != '\t') || c == 0x7F)
                return false;
            ++end;
        }
        if (head.compare(end, 2, "\r\n") != 0)
            return false;
        lines.push_back(head.substr(at, end - at));
        at = end + 2;
    }
    return true;
}

}  // namespace

HttpHead ParseHttpHead(const std::string& text)
{
    HttpHead head;
    std::vector<std::string> lines;
    if (!SplitLines(text, lines))
        return Refused(head, 400, "a head line not ended by CR LF or holding a control character");
    if (lines.size() < 2 || !lines.back().empty())
        return Refused(head, 400, "a head without its empty line");
    lines.pop_back();
    head.method = lines[0].substr(0, lines[0].find(' '));

    int lengths = 0, transferCodings = 0, contentCodings = 0;
    std::string lengthText;
    std::vector<std::string> codings;
    std::string contentCoding;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.size() > RequestLimits::kMaxHeaderLineBytes)
            return Refused(head, 431, "a header line too long");
        if (IsBlank(line[0]))
            return Refused(head, 400, "a folded header line");
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0)
            return Refused(head, 400, "a header line without a name");
        for (std::size_t k = 0; k < colon; ++k) {
            if (!IsTokenChar(static_cast<unsigned char>(line[k])))
                return Refused(head, 400, "a malformed header name");
        }
        const std::string name = Lower(line.substr(0, colon));
        const std::string value = Trimmed(line.substr(colon + 1));
        if (name == "content-length") {
            ++lengths;
            lengthText = value;
        } else if (name == "transfer-encoding") {
            ++transferCodings;
            for (std::size_t from = 0;;) {
                const std::size_t comma = value.find(',', from);
                codings.push_back(Lower(Trimmed(value.substr(from, comma - from))));
                if (comma == std::string::npos)
                    break;
                from = comma + 1;
            }
        } else if (name == "content-encoding") {
            ++contentCodings;
            contentCoding = Lower(value);
        } else if (name == "authorization") {
            // Proxy-Authorization is meant for a proxy on the way, not for this server.
            head.credentials.push_back(value);
        }
    }

    if (lengths > 0 && transferCodings > 0)
        return Refused(head, 400, "Content-Length beside Transfer-Encoding");
    if (lengths > 1)
        return Refused(head, 400, "a repeated Content-Length");
    if (contentCodings > 1)
        return Refused(head, 400, "a repeated Content-Encoding");
    if (lengths == 1) {
        if (lengthText.empty() || lengthText.find_first_not_of("0123456789") != std::string::npos)
            return Refused(head, 400, "a malformed Content-Length");
        head.framing = HttpHead::Framing::kLength;
        const unsigned long long kMax = std::numeric_limits<unsigned long long>::max();
        for (char digit : lengthText) {
            const unsigned d = static_cast<unsigned>(digit - '0');
            head.length = head.length > (kMax - d) / 10 ? kMax : head.length * 10 + d;
        }
    }
    if (transferCodings > 0) {
        bool other = false, empty = false;
        for (const std::string& coding : codings) {
            empty = empty || coding.empty();
            other = other || (!coding.empty() && coding != "chunked");
        }
        if (other)
            return Refused(head, 501, "a transfer coding other than chunked");
        if (empty || codings.size() != 1)
            return Refused(head, 400, "a malformed Transfer-Encoding");
        head.framing = HttpHead::Framing::kChunked;
    }
    if (contentCoding == "gzip" || contentCoding == "x-gzip")
        head.coding = HttpHead::Coding::kGzip;
    else if (contentCoding == "deflate")
        head.coding = HttpHead::Coding::kDeflate;
    else if (!contentCoding.empty() && contentCoding != "identity")
        return Refused(head, 415, "a content coding other than gzip or deflate");
    return head;
}

bool DecodeBasicCredentials(const std::string& value, std::string& user, std::string& password)
{
    if (value.size() < 6 || Lower(value.substr(0, 5)) != "basic" || value[5] != ' ')
        return false;
    std::size_t at = 5;
    while (at < value.size() && value[at] == ' ')
        ++at;
    const std::string code = value.substr(at);
    if (code.empty() || code.size() % 4 != 0)
        return false;
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::size_t padding = 0;
    while (padding < 2 && code[code.size() - 1 - padding] == '=')
        ++padding;
    std::string decoded;
    unsigned long bits = 0;
    int count = 0;
    for (std::size_t i = 0; i < code.size() - padding; ++i) {
        const char* digit = code[i] ? std::strchr(kAlphabet, code[i]) : nullptr;
        if (digit == nullptr)
            return false;
        bits = (bits << 6) | static_cast<unsigned long>(digit - kAlphabet);
        count += 6;
        if (count >= 8) {
            count -= 8;
            decoded += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    // The bits the last digit carries beyond the last byte must be 0 in the one spelling.
    if ((bits & ((1ul << count) - 1)) != 0)
        return false;
    const std::size_t colon = decoded.find(':');
    if (colon == std::string::npos || decoded.find('\0') != std::string::npos)
        return false;
    user = decoded.substr(0, colon);
    password = decoded.substr(colon + 1);
    return true;
}
