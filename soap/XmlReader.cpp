#include "soap/XmlReader.h"

#include <strings.h>

#include <cctype>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/Utf8.h"
#include "soap/RequestLimits.h"

namespace {

constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view kXmlnsNamespace = "http://www.w3.org/2000/xmlns/";
// The one character outside XML's that a request carries: a "setconfig" command's parameters
// divide its command line from its configuration data with ETB, sent as it is (XML 1.0 has no
// reference for it either). It stands only where character data does, never in a name.
constexpr std::uint32_t kSetconfigSeparator = 0x17;

// Thrown inside the reader only, caught by ReadXml.
struct Refusal {
    const char* problem;
    bool overLimit;
};

[[noreturn]] void Refuse(const char* problem) { throw Refusal{problem, false}; }
[[noreturn]] void RefuseOverLimit(const char* problem) { throw Refusal{problem, true}; }

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// XML 1.0 (fifth edition) NameStartChar, without the colon, which namespaces give a role.
bool IsNameStart(std::uint32_t c)
{
    if (c < 0x80)
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) ||
           (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
           (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool IsNameChar(std::uint32_t c)
{
    return IsNameStart(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

void AppendUtf8(std::string& out, std::uint32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// A character of text (or of a value, `inValue`) as the runtime gets it.
void AppendEscaped(std::string& out, std::uint32_t c, bool inValue = false)
{
    if (c < 0x80)
        AppendXmlEscaped(out, static_cast<char>(c), inValue);
    else
        AppendUtf8(out, c);
}

bool IsSoap12Envelope(std::string_view uri)
{
    // The runtime's pattern for a SOAP 1.2 envelope: any segment in place of the year path.
    static constexpr std::string_view kHead = "http://www.w3.org/", kTail = "/soap-envelope";
    return uri.size() > kHead.size() + kTail.size() && uri.substr(0, kHead.size()) == kHead &&
           uri.substr(uri.size() - kTail.size()) == kTail;
}

class Reader {
public:
    explicit Reader(const std::string& in) : in_(in) { out_.reserve(in.size() + in.size() / 8); }

    std::string Run()
    {
        if (in_.compare(0, 3, "\xEF\xBB\xBF") == 0)
            p_ = 3;
        if (DeclarationHere())
            Declaration();
        Misc(false);
        Element();
        Misc(true);
        return std::move(out_);
    }

    int EnvelopeVersion() const { return envelopeVersion_; }

private:
    struct Attribute {
        std::string_view name;
        std::string value;
    };
    struct Open {
        std::string_view name;
        std::size_t bindings;  // of bindings_ before this element's declarations
    };
    struct Binding {
        std::string_view prefix;  // empty: the default namespace
        std::string uri;
    };

    bool AtEnd() const { return p_ >= in_.size(); }
    // "<?xml" and then no more of a name: the XML declaration, or an attempt at one.
    bool DeclarationHere() const
    {
        return Starts("<?xml") && p_ + 5 < in_.size() && (IsSpace(in_[p_ + 5]) || in_[p_ + 5] == '?');
    }
    bool Starts(std::string_view s) const { return in_.compare(p_, s.size(), s) == 0; }
    char Byte() const
    {
        if (AtEnd())
            Refuse("the document ends early");
        return in_[p_];
    }
    void Expect(char c, const char* problem)
    {
        if (Byte() != c)
            Refuse(problem);
        ++p_;
    }
    bool SkipSpace()
    {
        const std::size_t from = p_;
        while (!AtEnd() && IsSpace(in_[p_]))
            ++p_;
        return p_ != from;
    }

    // The character at p_, which it passes; refuses bytes that are not UTF-8 and characters
    // that XML does not allow in a document.
    std::uint32_t Char()
    {
        const unsigned char lead = static_cast<unsigned char>(Byte());
        std::uint32_t c = lead;
        if (lead < 0x80) {
            ++p_;
        } else {
            const std::size_t n = Utf8::Sequence(in_, p_, c);
            if (n == 0)
                Refuse("bytes that are not UTF-8");
            p_ += n;
        }
        if (!Utf8::IsXmlChar(c) && c != kSetconfigSeparator)
            Refuse("a character XML does not allow");
        return c;
    }

    // A CR LF pair or a lone CR reads as LF.
    std::uint32_t LineChar()
    {
        const std::uint32_t c = Char();
        if (c != '\r')
            return c;
        if (!AtEnd() && in_[p_] == '\n')
            ++p_;
        return '\n';
    }

    // A name, then whether it is a qualified name as namespaces allow: one colon at most,
    // between two non-empty parts that each begin with a name start character.
    std::string_view QName()
    {
        const std::size_t from = p_;
        std::size_t colons = 0;
        bool partStart = true;
        while (!AtEnd()) {
            const std::size_t at = p_;
            const unsigned char b = static_cast<unsigned char>(in_[p_]);
            if (b < 0x80 && (IsSpace(static_cast<char>(b)) || b == '>' || b == '/' || b == '=' || b == '?'))
                break;
            const std::uint32_t c = Char();
            if (c == ':') {
                if (partStart)
                    Refuse("a name that is not a qualified name");
                ++colons;
                partStart = true;
            } else if (partStart ? !IsNameStart(c) : !IsNameChar(c)) {
                if (at == from)
                    Refuse("a markup character where a name must be");
                Refuse("a character that cannot stand in a name");
            } else {
                partStart = false;
            }
            if (p_ - from > RequestLimits::kMaxNameBytes)
                RefuseOverLimit("a name too long");
        }
        if (AtEnd())
            Refuse("the document ends early");
        if (p_ == from)
            Refuse("a name is missing");
        if (partStart || colons > 1)
            Refuse("a name that is not a qualified name");
        return std::string_view(in_).substr(from, p_ - from);
    }

    // After '&': a character reference or one of the five predefined entities, decoded.
    std::uint32_t Reference()
    {
        if (Byte() == '#') {
            ++p_;
            const bool hex = Byte() == 'x';
            if (hex)
                ++p_;
            std::uint32_t value = 0;
            std::size_t digits = 0;
            for (;; ++p_, ++digits) {
                const char d = Byte();
                int v = -1;
                if (d >= '0' && d <= '9')
                    v = d - '0';
                else if (hex && d >= 'a' && d <= 'f')
                    v = d - 'a' + 10;
                else if (hex && d >= 'A' && d <= 'F')
                    v = d - 'A' + 10;
                if (v < 0)
                    break;
                // Past the last character the value only needs to stay too large.
                if (value <= 0x10FFFF)
                    value = value * (hex ? 16 : 10) + static_cast<std::uint32_t>(v);
            }
            if (digits == 0 || Byte() != ';')
                Refuse("malformed character reference");
            ++p_;
            if (!Utf8::IsXmlChar(value))
                Refuse("character reference to a character XML does not allow");
            return value;
        }
        static const struct {
            std::string_view name;
            char c;
        } kPredefined[] = {{"lt;", '<'}, {"gt;", '>'}, {"amp;", '&'}, {"apos;", '\''}, {"quot;", '"'}};
        for (const auto& e : kPredefined) {
            if (Starts(e.name)) {
                p_ += e.name.size();
                return static_cast<unsigned char>(e.c);
            }
        }
        // An entity of any other name would need a document type, which is refused.
        const std::size_t from = p_;
        while (!AtEnd() && in_[p_] != ';' && p_ - from <= RequestLimits::kMaxNameBytes &&
               !IsSpace(in_[p_]) && in_[p_] != '<' && in_[p_] != '&')
            ++p_;
        if (p_ > from && !AtEnd() && in_[p_] == ';')
            Refuse("an entity XML does not define");
        Refuse("an '&' that begins no reference");
    }

    // <?xml version="1.x" encoding="UTF-8" standalone="yes"?>, the encoding and standalone
    // parts optional; the declaration itself is not written.
    void Declaration()
    {
        p_ += 5;
        const char* malformed = "malformed XML declaration";
        auto value = [&](std::string_view name) -> std::string_view {
            if (!Starts(name))
                Refuse(malformed);
            p_ += name.size();
            SkipSpace();
            Expect('=', malformed);
            SkipSpace();
            const char quote = Byte();
            if (quote != '"' && quote != '\'')
                Refuse(malformed);
            const std::size_t from = ++p_;
            while (Byte() != quote)
                ++p_;
            return std::string_view(in_).substr(from, p_++ - from);
        };
        if (!SkipSpace())
            Refuse(malformed);
        const std::string_view version = value("version");
        if (version.size() < 3 || version.substr(0, 2) != "1." ||
            version.find_first_not_of("0123456789", 2) != std::string_view::npos)
            Refuse(malformed);
        bool space = SkipSpace();
        if (space && Starts("encoding")) {
            const std::string_view name = value("encoding");
            bool valid = !name.empty() && std::isalpha(static_cast<unsigned char>(name[0]));
            for (const char c : name)
                valid = valid && (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-');
            if (!valid)
                Refuse(malformed);
            if (name.size() != 5 || strncasecmp(name.data(), "UTF-8", 5) != 0)
                Refuse("an encoding other than UTF-8");
            space = SkipSpace();
        }
        if (space && Starts("standalone")) {
            const std::string_view standalone = value("standalone");
            if (standalone != "yes" && standalone != "no")
                Refuse(malformed);
            SkipSpace();
        }
        if (!Starts("?>"))
            Refuse(malformed);
        p_ += 2;
    }

    // White space and comments before the root (`after`: behind it), up to the root's '<'.
    void Misc(bool after)
    {
        for (;;) {
            SkipSpace();
            if (AtEnd()) {
                if (!after)
                    Refuse("no root element");
                return;
            }
            if (Starts("<!--")) {
                Comment();
            } else if (Starts("<![CDATA[")) {
                Refuse("character data outside the root element");
            } else if (Starts("<?") || Starts("<!")) {
                RefuseDeclarations();
            } else if (in_[p_] == '<') {
                if (!after)
                    return;
                Refuse("more than one root element");
            } else {
                Refuse("text outside the root element");
            }
        }
    }

    // At "<?" or "<!" (neither a comment nor a CDATA section), anywhere after the start:
    // whatever stands there is refused.
    [[noreturn]] void RefuseDeclarations() const
    {
        if (Starts("<?"))
            Refuse(DeclarationHere() ? "an XML declaration that is not at the start"
                                     : "processing instructions are not accepted");
        Refuse(Starts("<!DOCTYPE") ? "document type declarations are not accepted" : "malformed markup");
    }

    // After its "<!--": through the end "-->"; "--" may not stand inside.
    void Comment()
    {
        p_ += 4;
        for (;;) {
            if (Byte() == '-' && p_ + 1 < in_.size() && in_[p_ + 1] == '-') {
                if (p_ + 2 >= in_.size() || in_[p_ + 2] != '>')
                    Refuse("'--' inside a comment");
                p_ += 3;
                return;
            }
            Char();
        }
    }

    // The root element and everything in it; iterative, so depth costs no stack.
    void Element()
    {
        StartTag();
        while (!open_.empty()) {
            const char b = Byte();
            if (b == '<') {
                if (Starts("</"))
                    EndTag();
                else if (Starts("<!--"))
                    Comment();
                else if (Starts("<![CDATA["))
                    CData();
                else if (Starts("<?") || Starts("<!"))
                    RefuseDeclarations();
                else
                    StartTag();
            } else if (b == '&') {
                ++p_;
                AppendEscaped(out_, Reference());
            } else {
                Text();
            }
        }
    }

    // Character data up to the next '<' or '&'.
    void Text()
    {
        std::size_t brackets = 0;  // ']' just before, for the "]]>" XML forbids in text
        while (!AtEnd() && in_[p_] != '<' && in_[p_] != '&') {
            const std::uint32_t c = LineChar();
            if (c == '>' && brackets >= 2)
                Refuse("']]>' in text");
            brackets = c == ']' ? brackets + 1 : 0;
            AppendEscaped(out_, c);
        }
    }

    void CData()
    {
        p_ += 9;
        while (!Starts("]]>"))
            AppendEscaped(out_, LineChar());
        p_ += 3;
    }

    void StartTag()
    {
        ++p_;
        if (open_.size() >= RequestLimits::kMaxNesting)
            RefuseOverLimit("elements nested too deeply");
        const std::string_view name = QName();
        attributes_.clear();
        bool empty = false;
        for (;;) {
            const bool space = SkipSpace();
            const char b = Byte();
            if (b == '>') {
                ++p_;
                break;
            }
            if (b == '/') {
                ++p_;
                Expect('>', "malformed start tag");
                empty = true;
                break;
            }
            if (!space)
                Refuse("malformed attribute");
            if (attributes_.size() >= RequestLimits::kMaxAttributesPerElement)
                RefuseOverLimit("too many attributes on one element");
            Attribute attribute{QName(), std::string()};
            SkipSpace();
            Expect('=', "malformed attribute");
            SkipSpace();
            Value(attribute.value);
            for (const Attribute& earlier : attributes_) {
                if (earlier.name == attribute.name)
                    Refuse("repeated attribute");
            }
            attributes_.push_back(std::move(attribute));
        }

        const std::size_t before = bindings_.size();
        Declare();
        const std::string_view uri = Resolve(name, true);
        if (open_.empty() && IsSoap12Envelope(uri))
            envelopeVersion_ = 2;
        CheckExpandedNames();

        out_ += '<';
        out_ += name;
        for (const Attribute& a : attributes_) {
            out_ += ' ';
            out_ += a.name;
            out_ += "=\"";
            // The value is UTF-8 already; only its markup characters change.
            for (const char c : a.value)
                AppendXmlEscaped(out_, c, true);
            out_ += '"';
        }
        if (empty) {
            out_ += "/>";
            bindings_.resize(before);
        } else {
            out_ += '>';
            open_.push_back(Open{name, before});
        }
    }

    // A quoted value, normalised: references decoded, white space read as a space.
    void Value(std::string& value)
    {
        const char quote = Byte();
        if (quote != '"' && quote != '\'')
            Refuse("malformed attribute");
        ++p_;
        for (;;) {
            const char b = Byte();
            if (b == quote) {
                ++p_;
                return;
            }
            if (b == '<')
                Refuse("'<' in an attribute value");
            if (b == '&') {
                ++p_;
                AppendUtf8(value, Reference());
                continue;
            }
            const std::uint32_t c = LineChar();
            AppendUtf8(value, c == '\t' || c == '\n' ? ' ' : c);
        }
    }

    // The namespace declarations among the attributes, checked and put in scope.
    void Declare()
    {
        for (const Attribute& a : attributes_) {
            std::string_view prefix;
            if (a.name == "xmlns")
                prefix = std::string_view();
            else if (a.name.substr(0, 6) == "xmlns:")
                prefix = a.name.substr(6);
            else
                continue;
            if (prefix == "xmlns")
                Refuse("the prefix xmlns declared");
            if (prefix == "xml" ? a.value != kXmlNamespace : a.value == kXmlNamespace)
                Refuse("the prefix xml bound to another namespace, or its namespace to another prefix");
            if (a.value == kXmlnsNamespace)
                Refuse("the xmlns namespace declared");
            if (!prefix.empty() && a.value.empty())
                Refuse("a prefix declared with an empty namespace");
            if (bindings_.size() >= RequestLimits::kMaxNamespacesInScope)
                RefuseOverLimit("too many namespace declarations in scope");
            bindings_.push_back(Binding{prefix, a.value});
        }
    }

    // The namespace of a qualified name, empty for none (valid until bindings_ changes);
    // refuses an undeclared prefix. An unprefixed attribute is in no namespace, an
    // unprefixed element in the default one.
    std::string_view Resolve(std::string_view name, bool element) const
    {
        const std::size_t colon = name.find(':');
        const std::string_view prefix = colon == std::string_view::npos ? std::string_view() : name.substr(0, colon);
        if (prefix.empty() && !element)
            return std::string_view();
        if (prefix == "xml")
            return kXmlNamespace;
        for (std::size_t i = bindings_.size(); i-- > 0;) {
            if (bindings_[i].prefix == prefix)
                return bindings_[i].uri;
        }
        if (prefix.empty())
            return std::string_view();
        Refuse("a namespace prefix that is not declared");
    }

    // No two attributes may have one namespace and local name, whatever their prefixes.
    void CheckExpandedNames()
    {
        uris_.clear();
        for (const Attribute& a : attributes_) {
            const bool declaration = a.name == "xmlns" || a.name.substr(0, 6) == "xmlns:";
            uris_.push_back(declaration ? std::string_view() : Resolve(a.name, false));
        }
        for (std::size_t i = 0; i < attributes_.size(); ++i) {
            if (uris_[i].empty())
                continue;
            const std::string_view local = attributes_[i].name.substr(attributes_[i].name.find(':') + 1);
            for (std::size_t j = 0; j < i; ++j) {
                if (uris_[j] == uris_[i] && attributes_[j].name.substr(attributes_[j].name.find(':') + 1) == local)
                    Refuse("repeated attribute");
            }
        }
    }

    void EndTag()
    {
        p_ += 2;
        const std::string_view name = QName();
        SkipSpace();
        Expect('>', "malformed end tag");
        if (name != open_.back().name)
            Refuse("end tag does not match its start tag");
        bindings_.resize(open_.back().bindings);
        open_.pop_back();
        out_ += "</";
        out_ += name;
        out_ += '>';
    }

    const std::string& in_;
    std::size_t p_ = 0;
    std::string out_;
    int envelopeVersion_ = 1;
    std::vector<Open> open_;
    std::vector<Binding> bindings_;
    std::vector<Attribute> attributes_;
    std::vector<std::string_view> uris_;
};

}  // namespace

void AppendXmlEscaped(std::string& out, char c, bool inValue)
{
    switch (c) {
    case '&': out += "&amp;"; break;
    case '<': out += "&lt;"; break;
    case '>': out += "&gt;"; break;
    case '"': out += inValue ? "&quot;" : "\""; break;
    default: out += c;
    }
}

XmlReading ReadXml(const std::string& body)
{
    XmlReading reading;
    Reader reader(body);
    try {
        reading.canonical = reader.Run();
    } catch (const Refusal& refusal) {
        reading.problem = refusal.problem;
        reading.overLimit = refusal.overLimit;
    }
    reading.envelopeVersion = reader.EnvelopeVersion();
    return reading;
}
