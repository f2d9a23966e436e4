#include "soap/XmlShape.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "soap/RequestLimits.h"

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool EndsName(char c)
{
    return IsSpace(c) || c == '/' || c == '>' || c == '=' || c == '<' || c == '"' || c == '\'';
}

// The characters XML 1.0 allows in a document.
bool IsXmlChar(unsigned long c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

int DigitValue(char c, bool hex)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (hex && c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The runtime decodes character references leniently: a NUL ends the text, and digits beyond
// what it takes are left as text. Each one in text or a value is checked here: "&#" then
// decimal digits or "x" and hexadecimal ones, then ';', for a character XML allows.
const char* CharacterReferenceProblem(const char* p, const char* end)
{
    for (;;) {
        const void* amp = std::memchr(p, '&', static_cast<std::size_t>(end - p));
        if (!amp)
            return nullptr;
        p = static_cast<const char*>(amp) + 1;
        if (p >= end || *p != '#')
            continue;
        ++p;
        const bool hex = p < end && *p == 'x';
        if (hex)
            ++p;
        const char* digits = p;
        unsigned long value = 0;
        for (int d; p < end && (d = DigitValue(*p, hex)) >= 0; ++p) {
            // Past the last character the value only needs to stay too large.
            if (value <= 0x10FFFF)
                value = value * (hex ? 16 : 10) + static_cast<unsigned long>(d);
        }
        if (p == digits || p >= end || *p != ';')
            return "malformed character reference";
        if (!IsXmlChar(value))
            return "character reference to a character XML does not allow";
    }
}

class Scanner {
public:
    Scanner(const char* data, std::size_t size) : p_(data), end_(data + size) {}

    const char* Run()
    {
        static const char kBom[] = "\xEF\xBB\xBF";
        if (Rest() >= 3 && std::memcmp(p_, kBom, 3) == 0)
            p_ += 3;
        while (p_ < end_) {
            if (*p_ != '<') {
                if (const char* problem = Text())
                    return problem;
                continue;
            }
            const char* problem = nullptr;
            if (Starts("<?"))
                problem = SkipPast("?>", "unterminated processing instruction");
            else if (Starts("<!--"))
                problem = SkipPast("-->", "unterminated comment");
            else if (Starts("<![CDATA["))
                problem = open_.empty() ? "character data outside the root element"
                                        : SkipPast("]]>", "unterminated character data");
            else if (Starts("<!"))
                problem = "document type declarations are not accepted";
            else if (Starts("</"))
                problem = EndTag();
            else
                problem = StartTag();
            if (problem)
                return problem;
        }
        if (!open_.empty())
            return "the document ends inside an element";
        if (!rootDone_)
            return "no root element";
        return nullptr;
    }

private:
    std::size_t Rest() const { return static_cast<std::size_t>(end_ - p_); }
    bool Starts(const char* s) const
    {
        const std::size_t n = std::strlen(s);
        return Rest() >= n && std::memcmp(p_, s, n) == 0;
    }
    void SkipSpace()
    {
        while (p_ < end_ && IsSpace(*p_))
            ++p_;
    }
    std::string_view Name()
    {
        const char* start = p_;
        while (p_ < end_ && !EndsName(*p_))
            ++p_;
        return std::string_view(start, static_cast<std::size_t>(p_ - start));
    }

    const char* SkipPast(const char* terminator, const char* problem)
    {
        const std::string_view rest(p_, Rest());
        const std::size_t at = rest.find(terminator, 2);
        if (at == std::string_view::npos)
            return problem;
        p_ += at + std::strlen(terminator);
        return nullptr;
    }

    // Inside the root anything up to the next tag is content; around it only white space.
    const char* Text()
    {
        if (!open_.empty()) {
            const void* next = std::memchr(p_, '<', Rest());
            const char* from = p_;
            p_ = next ? static_cast<const char*>(next) : end_;
            return CharacterReferenceProblem(from, p_);
        }
        if (!IsSpace(*p_))
            return "text outside the root element";
        ++p_;
        return nullptr;
    }

    const char* EndTag()
    {
        p_ += 2;
        const std::string_view name = Name();
        SkipSpace();
        if (p_ >= end_ || *p_ != '>')
            return "malformed end tag";
        ++p_;
        if (open_.empty() || open_.back().name != name)
            return "end tag does not match its start tag";
        namespaces_ -= open_.back().namespaces;
        open_.pop_back();
        if (open_.empty())
            rootDone_ = true;
        return nullptr;
    }

    const char* StartTag()
    {
        if (open_.empty() && rootDone_)
            return "more than one root element";
        ++p_;
        const std::string_view name = Name();
        if (name.empty())
            return "malformed start tag";
        names_.clear();
        std::size_t namespaces = 0;
        for (;;) {
            const char* before = p_;
            SkipSpace();
            if (p_ >= end_)
                return "the document ends inside a tag";
            if (*p_ == '>' || Starts("/>")) {
                const bool empty = *p_ == '/';
                p_ += empty ? 2 : 1;
                if (empty) {
                    if (open_.empty())
                        rootDone_ = true;
                    return nullptr;
                }
                if (open_.size() >= RequestLimits::kMaxNesting)
                    return "elements nested too deeply";
                open_.push_back(Element{name, namespaces});
                namespaces_ += namespaces;
                return nullptr;
            }
            if (p_ == before)
                return "malformed attribute";
            const std::string_view attribute = Name();
            SkipSpace();
            if (attribute.empty() || p_ >= end_ || *p_ != '=')
                return "malformed attribute";
            ++p_;
            SkipSpace();
            if (p_ >= end_ || (*p_ != '"' && *p_ != '\''))
                return "malformed attribute";
            const void* close = std::memchr(p_ + 1, *p_, Rest() - 1);
            if (!close)
                return "the document ends inside an attribute value";
            const char* valueEnd = static_cast<const char*>(close);
            if (std::memchr(p_ + 1, '<', static_cast<std::size_t>(valueEnd - p_ - 1)))
                return "'<' in an attribute value";
            if (const char* problem = CharacterReferenceProblem(p_ + 1, valueEnd))
                return problem;
            p_ = valueEnd + 1;
            if (names_.size() >= RequestLimits::kMaxAttributesPerElement)
                return "too many attributes on one element";
            // The runtime keeps the last of two attributes of one name; XML allows only one.
            for (const std::string_view& earlier : names_) {
                if (earlier == attribute)
                    return "repeated attribute";
            }
            names_.push_back(attribute);
            if (attribute == "xmlns" || attribute.substr(0, 6) == "xmlns:") {
                if (namespaces_ + ++namespaces > RequestLimits::kMaxNamespacesInScope)
                    return "too many namespace declarations in scope";
            }
        }
    }

    struct Element {
        std::string_view name;
        std::size_t namespaces;
    };

    const char* p_;
    const char* const end_;
    std::vector<Element> open_;
    // The attribute names of the start tag being read.
    std::vector<std::string_view> names_;
    std::size_t namespaces_ = 0;
    bool rootDone_ = false;
};

}  // namespace

const char* XmlShapeProblem(const char* data, std::size_t size)
{
    return Scanner(data, size).Run();
}

int XmlEnvelopeVersion(const char* data, std::size_t size)
{
    const std::string_view text(data, size);
    std::size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    // The prolog: white space, the XML declaration, instructions and comments.
    for (;;) {
        while (at < size && IsSpace(text[at]))
            ++at;
        const char* end = text.compare(at, 2, "<?") == 0 ? "?>" : text.compare(at, 4, "<!--") == 0 ? "-->" : nullptr;
        if (!end)
            break;
        const std::size_t close = text.find(end, at + 2);
        if (close == std::string_view::npos)
            return 1;
        at = close + std::strlen(end);
    }
    if (at >= size || text[at] != '<')
        return 1;
    std::size_t nameEnd = ++at;
    while (nameEnd < size && !EndsName(text[nameEnd]))
        ++nameEnd;
    const std::string_view name = text.substr(at, nameEnd - at);
    const std::size_t colon = name.find(':');
    const std::string declaration =
        colon == std::string_view::npos ? "xmlns" : "xmlns:" + std::string(name.substr(0, colon));
    // The attributes of the root start tag, up to its end.
    for (at = nameEnd; at < size && text[at] != '>';) {
        while (at < size && IsSpace(text[at]))
            ++at;
        std::size_t attributeEnd = at;
        while (attributeEnd < size && !EndsName(text[attributeEnd]))
            ++attributeEnd;
        const std::string_view attribute = text.substr(at, attributeEnd - at);
        at = attributeEnd;
        while (at < size && (IsSpace(text[at]) || text[at] == '='))
            ++at;
        if (at >= size || (text[at] != '"' && text[at] != '\''))
            return 1;
        const std::size_t close = text.find(text[at], at + 1);
        if (close == std::string_view::npos)
            return 1;
        const std::string_view value = text.substr(at + 1, close - at - 1);
        at = close + 1;
        if (attribute == declaration) {
            // The runtime's pattern for a SOAP 1.2 envelope: any year in its path.
            static const std::string_view kHead = "http://www.w3.org/", kTail = "/soap-envelope";
            const bool soap12 = value.size() > kHead.size() + kTail.size() && value.substr(0, kHead.size()) == kHead &&
                                value.substr(value.size() - kTail.size()) == kTail;
            return soap12 ? 2 : 1;
        }
    }
    return 1;
}
