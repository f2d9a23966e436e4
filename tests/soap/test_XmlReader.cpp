// The one reader of a request body: what it accepts and the canonical form it writes for the
// runtime, what it refuses and why, and, for every body here and every seed of its fuzz
// target, the same verdict and reading as libxml2.
#include <gtest/gtest.h>

#include <dirent.h>

#include <string>

#include "common/TestSupport.h"
#include "common/XmlOracle.h"
#include "soap/RequestLimits.h"
#include "soap/XmlReader.h"

namespace {

using corvane_test::ReadFile;
using corvane_test::Repeat;

// n attributes prefix0='v' ...; `canonical`: as the reader writes them.
std::string Attributes(size_t n, const std::string& prefix, bool canonical = false)
{
    const char* quote = canonical ? "\"" : "'";
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += " " + prefix + std::to_string(i) + "=" + quote + "v" + quote;
    return out;
}

const size_t kAttrs = RequestLimits::kMaxAttributesPerElement;
const size_t kNs = RequestLimits::kMaxNamespacesInScope;
const size_t kDepth = RequestLimits::kMaxNesting;

struct Accepted {
    const char* what;
    std::string body;
    std::string canonical;
};

const Accepted kAccepted[] = {
    {"an envelope after a declaration", "<?xml version=\"1.0\" encoding='utf-8' standalone='yes'?>\n<s:E xmlns:s=\"urn:s\"><s:B/></s:E>\n",
     "<s:E xmlns:s=\"urn:s\"><s:B/></s:E>"},
    {"a byte order mark", "\xEF\xBB\xBF<a/>", "<a/>"},
    {"any version 1.x", "<?xml version='1.10'?><a/>", "<a/>"},
    {"comments anywhere are dropped", "<!-- c --><a><!-- <b> -->x<!---->y</a><!-- end -->", "<a>xy</a>"},
    {"character data becomes text", "<a><![CDATA[<c></d>&#0; &amp;]]]]></a>", "<a>&lt;c&gt;&lt;/d&gt;&amp;#0; &amp;amp;]]</a>"},
    {"quotes: the other quote and '>' in values", "<a x=\"'1>2\" y='\"/>'/>", "<a x=\"'1&gt;2\" y=\"&quot;/&gt;\"/>"},
    {"white space inside tags", "<a\n\tx = \"1\"\n></a >", "<a x=\"1\"></a>"},
    {"the predefined entities", "<a x='&apos;&quot;'>&lt;&gt;&amp;&apos;&quot;</a>", "<a x=\"'&quot;\">&lt;&gt;&amp;'\"</a>"},
    {"'>' in text", "<a>1 > 0 ]></a>", "<a>1 &gt; 0 ]&gt;</a>"},
    // Every reference arrives as its character, however it is written.
    {"long character references", "<a x='&#x1F600;'>&#128512;&#x10FFFF;&#x0000041;&#00000065;&#x00000410;</a>",
     "<a x=\"\xF0\x9F\x98\x80\">\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF" "AA\xD0\x90</a>"},
    {"references to markup characters stay text", "<a x='&#60;&#x22;'>&#38;lt;&#x3C;b/></a>",
     "<a x=\"&lt;&quot;\">&amp;lt;&lt;b/&gt;</a>"},
    {"references at the edges of XML's characters", "<a>&#9;&#xD7FF;&#xE000;&#xFFFD;&#x10000;</a>",
     "<a>\t\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBD\xF0\x90\x80\x80</a>"},
    // Line ends: CR LF and a lone CR read as LF; in a value, white space as a space, except
    // what a reference wrote.
    {"line ends in text", "<a>1\r\n2\r3\n\r</a>", "<a>1\n2\n3\n\n</a>"},
    {"line ends and tabs in a value", "<a x='1\r\n2\t3\n4&#10;&#13;&#9;'/>", "<a x=\"1 2 3 4\n\r\t\"/>"},
    {"UTF-8 text and names", "<\xC3\xA9l \xE2\x82\xACx='\xF0\x9F\x98\x80'>\xE2\x82\xAC</\xC3\xA9l>",
     "<\xC3\xA9l \xE2\x82\xACx=\"\xF0\x9F\x98\x80\">\xE2\x82\xAC</\xC3\xA9l>"},
    {"names with every punctuation XML allows", "<_a.b-c\xC2\xB7 d-1.e_='1'/>", "<_a.b-c\xC2\xB7 d-1.e_=\"1\"/>"},
    {"the xml prefix, declared or not", "<a xml:lang='en' xmlns:xml='http://www.w3.org/XML/1998/namespace'><xml:b/></a>",
     "<a xml:lang=\"en\" xmlns:xml=\"http://www.w3.org/XML/1998/namespace\"><xml:b/></a>"},
    {"a default namespace undeclared", "<a xmlns='u'><b xmlns=''/></a>", "<a xmlns=\"u\"><b xmlns=\"\"/></a>"},
    {"one local name in two namespaces", "<a p:x='1' q:x='2' x='3' xmlns:p='u' xmlns:q='v'/>",
     "<a p:x=\"1\" q:x=\"2\" x=\"3\" xmlns:p=\"u\" xmlns:q=\"v\"/>"},
    {"a prefix bound again inside", "<p:a xmlns:p='u'><p:b xmlns:p='v'/></p:a>",
     "<p:a xmlns:p=\"u\"><p:b xmlns:p=\"v\"/></p:a>"},
    {"white space after the root", "<a/>\n \r\n\t", "<a/>"},
    {"attributes at the limit", "<a" + Attributes(kAttrs, "b") + "/>", "<a" + Attributes(kAttrs, "b", true) + "/>"},
    {"namespaces at the limit in two levels",
     "<a" + Attributes(kNs / 2, "xmlns:p") + "><b" + Attributes(kNs - kNs / 2, "xmlns:q") + "/></a>",
     "<a" + Attributes(kNs / 2, "xmlns:p", true) + "><b" + Attributes(kNs - kNs / 2, "xmlns:q", true) + "/></a>"},
    {"the declarations of siblings do not add up", "<a>" + Repeat("<b" + Attributes(kNs, "xmlns:p") + "/>", 3) + "</a>",
     "<a>" + Repeat("<b" + Attributes(kNs, "xmlns:p", true) + "/>", 3) + "</a>"},
    {"nesting at the limit, an empty element included", Repeat("<a>", kDepth - 1) + "<a/>" + Repeat("</a>", kDepth - 1),
     Repeat("<a>", kDepth - 1) + "<a/>" + Repeat("</a>", kDepth - 1)},
    {"the setconfig separator where character data stands", "<a x='1\x17'>c\x17" "data<![CDATA[\x17]]><!--\x17--></a>",
     "<a x=\"1\x17\">c\x17" "data\x17</a>"},
    {"a name at the limit", "<" + std::string(RequestLimits::kMaxNameBytes, 'n') + "/>",
     "<" + std::string(RequestLimits::kMaxNameBytes, 'n') + "/>"},
};

struct Refused {
    const char* what;
    std::string body;
    const char* problem;
};

const Refused kRefused[] = {
    // Markup the runtime would read otherwise than a strict reader.
    {"an instruction with '?' before its end", "<a><?p ? >HIDDEN?></a>", "processing instructions are not accepted"},
    {"an instruction before the root", "<?p x?><a/>", "processing instructions are not accepted"},
    {"an instruction named xml in the root", "<a><?xml-stylesheet x?></a>", "processing instructions are not accepted"},
    {"a declaration not first", " <?xml version='1.0'?><a/>", "an XML declaration that is not at the start"},
    {"a declaration inside", "<a><?xml version='1.0'?></a>", "an XML declaration that is not at the start"},
    {"a bare '&' before a comment", "<a>demo&<!--xyz</a>HIDDEN<a>e--></a>", "an '&' that begins no reference"},
    {"a bare '&' before character data", "<a>x&<![CDATA[y]]></a>", "an '&' that begins no reference"},
    {"a bare '&' before the end tag", "<a>x&</a>", "an '&' that begins no reference"},
    {"a bare '&' in a value", "<a x='&'/>", "an '&' that begins no reference"},
    {"'--' then '>' inside a comment", "<a><!-- -- >HIDDEN--></a>", "'--' inside a comment"},
    {"'--' inside a comment", "<a><!-- a--b --></a>", "'--' inside a comment"},
    {"a comment ending '--->'", "<a><!-- a ---></a>", "'--' inside a comment"},
    {"an unterminated comment", "<a><!---></a>", "the document ends early"},
    {"a document type", "<!DOCTYPE a [<!ENTITY e 'x'>]><a>&e;</a>", "document type declarations are not accepted"},
    {"a document type inside", "<a><!DOCTYPE a></a>", "document type declarations are not accepted"},
    {"other markup declarations", "<a><!ELEMENT a ANY></a>", "malformed markup"},
    // Bytes that are not UTF-8, or characters XML does not allow.
    {"an incomplete sequence before '<'", "<a>\xE2\x82<![CDATA[<b/>]]></a>", "bytes that are not UTF-8"},
    {"an incomplete sequence at the end of a name", "<a\xC3></a>", "bytes that are not UTF-8"},
    {"an overlong '<'", "<a>\xC0\xBC</a>", "bytes that are not UTF-8"},
    {"an overlong 'o'", "<a>ech\xC1\xAF</a>", "bytes that are not UTF-8"},
    {"an overlong NUL", "<a>\xC0\x80</a>", "bytes that are not UTF-8"},
    {"an encoded surrogate", "<a>\xED\xA0\x80</a>", "bytes that are not UTF-8"},
    {"beyond U+10FFFF", "<a>\xF4\x90\x80\x80</a>", "bytes that are not UTF-8"},
    {"Latin-1", "<a>caf\xE9</a>", "bytes that are not UTF-8"},
    {"a raw NUL", std::string("<a>echo\0x</a>", 12), "a character XML does not allow"},
    {"a raw control character in a value", "<a x='\x01'/>", "a character XML does not allow"},
    {"a raw U+FFFE", "<a>\xEF\xBF\xBE</a>", "a character XML does not allow"},
    {"the setconfig separator in a name", "<a\x17/>", "a character that cannot stand in a name"},
    {"the setconfig separator as a reference", "<a>&#x17;</a>", "character reference to a character XML does not allow"},
    {"an encoding other than UTF-8", "<?xml version='1.0' encoding='ISO-8859-1'?><a/>", "an encoding other than UTF-8"},
    {"UTF-16 named", "<?xml version='1.0' encoding='UTF-16'?><a/>", "an encoding other than UTF-8"},
    // References.
    {"undefined entities", "<a>&foo;</a>", "an entity XML does not define"},
    {"an entity in the wrong case", "<a>&LT;</a>", "an entity XML does not define"},
    {"an HTML entity in a value", "<a x='&nbsp;'/>", "an entity XML does not define"},
    {"a reference to NUL", "<a>a&#0;b</a>", "character reference to a character XML does not allow"},
    {"a long reference to NUL", "<a>A&#x0000000;B</a>", "character reference to a character XML does not allow"},
    {"a reference to a control character", "<a>&#x1F;</a>", "character reference to a character XML does not allow"},
    {"a reference to a surrogate", "<a>&#xD800;</a>", "character reference to a character XML does not allow"},
    {"a reference to U+FFFF", "<a>&#65535;</a>", "character reference to a character XML does not allow"},
    {"a reference beyond Unicode", "<a>&#x110000;</a>", "character reference to a character XML does not allow"},
    {"a reference beyond any integer", "<a>&#x" + Repeat("F", 40) + ";</a>",
     "character reference to a character XML does not allow"},
    {"a decimal reference beyond any integer", "<a x='&#" + Repeat("9", 40) + ";'/>",
     "character reference to a character XML does not allow"},
    {"a reference without digits", "<a>&#;</a>", "malformed character reference"},
    {"an upper-case X", "<a>&#X41;</a>", "malformed character reference"},
    {"hexadecimal digits without x", "<a>&#4A;</a>", "malformed character reference"},
    {"a reference without its semicolon", "<a>&#65 b</a>", "malformed character reference"},
    {"a reference cut by the end tag", "<a x='&#x41'/>", "malformed character reference"},
    // Declarations.
    {"a declaration without version", "<?xml encoding='UTF-8'?><a/>", "malformed XML declaration"},
    {"version 2.0", "<?xml version='2.0'?><a/>", "malformed XML declaration"},
    {"version 1. without digits", "<?xml version='1.'?><a/>", "malformed XML declaration"},
    {"standalone maybe", "<?xml version='1.0' standalone='maybe'?><a/>", "malformed XML declaration"},
    {"an encoding name that is none", "<?xml version='1.0' encoding='8bit'?><a/>", "malformed XML declaration"},
    {"the parts out of order", "<?xml version='1.0' standalone='yes' encoding='UTF-8'?><a/>", "malformed XML declaration"},
    {"a declaration cut short", "<?xml version='1.0'", "malformed XML declaration"},
    // Names and namespaces.
    {"a name that begins with a digit", "<1a/>", "a markup character where a name must be"},
    {"an attribute name that begins with '-'", "<a -x='1'/>", "a markup character where a name must be"},
    {"a character that cannot stand in a name", "<a\"b/>", "a character that cannot stand in a name"},
    {"an empty element name", "< a/>", "a name is missing"},
    {"a name with two colons", "<a:b:c xmlns:a='u'/>", "a name that is not a qualified name"},
    {"a name ending in a colon", "<a: xmlns:a='u'/>", "a name that is not a qualified name"},
    {"a name beginning with a colon", "<:a/>", "a name that is not a qualified name"},
    {"an undeclared element prefix", "<w:a/>", "a namespace prefix that is not declared"},
    {"an undeclared attribute prefix", "<a w:p='1'/>", "a namespace prefix that is not declared"},
    {"a prefix used outside its element", "<a><b xmlns:w='u'/><w:c/></a>", "a namespace prefix that is not declared"},
    {"an element in xmlns", "<xmlns:a/>", "a namespace prefix that is not declared"},
    {"a prefix bound to nothing", "<a xmlns:w=''/>", "a prefix declared with an empty namespace"},
    {"xml bound to another namespace", "<a xmlns:xml='urn:x'/>", "the prefix xml bound to another namespace, or its namespace to another prefix"},
    {"the xml namespace under another prefix", "<a xmlns:x='http://www.w3.org/XML/1998/namespace'/>",
     "the prefix xml bound to another namespace, or its namespace to another prefix"},
    {"xmlns declared", "<a xmlns:xmlns='urn:x'/>", "the prefix xmlns declared"},
    {"the xmlns namespace declared", "<a xmlns:x='http://www.w3.org/2000/xmlns/'/>", "the xmlns namespace declared"},
    {"a repeated attribute", "<a x='1' x='2'></a>", "repeated attribute"},
    {"a repeated namespace declaration", "<a xmlns:q='u' xmlns:q='v'/>", "repeated attribute"},
    {"one expanded name under two prefixes", "<a p:x='1' q:x='2' xmlns:p='u' xmlns:q='u'/>", "repeated attribute"},
    {"the last attribute repeats the first", "<a" + Attributes(kAttrs - 1, "b") + " b0='v'/>", "repeated attribute"},
    // Structure.
    {"a mismatched end tag", "<a><b></c></a>", "end tag does not match its start tag"},
    {"an end tag with another prefix", "<s:a xmlns:s='u' xmlns:t='u'></t:a>", "end tag does not match its start tag"},
    {"an end tag first", "</a>", "a name is missing"},
    {"truncated", "<a><b>", "the document ends early"},
    {"truncated in a value", "<a x='1", "the document ends early"},
    {"plain text", "hello", "text outside the root element"},
    {"text after the root", "<a/>x", "text outside the root element"},
    {"empty", "", "no root element"},
    {"only a declaration", "<?xml version='1.0'?>", "no root element"},
    {"two roots", "<a/><b/>", "more than one root element"},
    {"character data outside the root", "<![CDATA[x]]><a/>", "character data outside the root element"},
    {"']]>' in text", "<a>x]]>y</a>", "']]>' in text"},
    {"an attribute without a value", "<a x></a>", "malformed attribute"},
    {"an unquoted value", "<a x=1></a>", "malformed attribute"},
    {"no space between attributes", "<a x='1'y='2'/>", "malformed attribute"},
    {"'<' in a value", "<a x='<'/>", "'<' in an attribute value"},
    {"'/' without '>'", "<a/ >", "malformed start tag"},
    {"a malformed end tag", "<a></a x>", "malformed end tag"},
};

// Well-formed XML beyond one of RequestLimits' caps.
const Refused kOverLimit[] = {
    {"too many attributes", "<a" + Attributes(kAttrs + 1, "b") + "/>", "too many attributes on one element"},
    {"too many namespaces in scope",
     "<a" + Attributes(kNs / 2, "xmlns:p") + "><b" + Attributes(kNs - kNs / 2 + 1, "xmlns:q") + "/></a>",
     "too many namespace declarations in scope"},
    {"too many namespaces, the default one counting", "<a xmlns='u'><b" + Attributes(kNs, "xmlns:p") + "/></a>",
     "too many namespace declarations in scope"},
    {"nested too deeply, by an empty element", Repeat("<a>", kDepth) + "<a/>" + Repeat("</a>", kDepth),
     "elements nested too deeply"},
    {"a name too long", "<a " + std::string(RequestLimits::kMaxNameBytes + 1, 'n') + "='1'/>", "a name too long"},
};

TEST(XmlReader, AcceptedBodiesInCanonicalForm)
{
    for (const Accepted& c : kAccepted) {
        const XmlReading reading = ReadXml(c.body);
        EXPECT_EQ(reading.problem, nullptr) << c.what << ": " << reading.problem;
        EXPECT_EQ(reading.canonical, c.canonical) << c.what;
    }
}

TEST(XmlReader, RefusedBodiesAreNamed)
{
    auto expect = [](const Refused& c, bool overLimit) {
        const XmlReading reading = ReadXml(c.body);
        EXPECT_STREQ(reading.problem, c.problem) << c.what;
        EXPECT_EQ(reading.canonical, "") << c.what;
        EXPECT_EQ(reading.overLimit, overLimit) << c.what;
    };
    for (const Refused& c : kRefused)
        expect(c, false);
    for (const Refused& c : kOverLimit)
        expect(c, true);
}

// The canonical form is a fixed point: read again, it reads the same. (A tab, line feed or
// carriage return that a reference put into a value stands in it as itself, which the runtime
// keeps but XML would read as a space: those rows are the oracle's to check.)
TEST(XmlReader, CanonicalFormReadsAsItself)
{
    for (const Accepted& c : kAccepted) {
        if (c.canonical.find_first_of("\t\r") != std::string::npos)
            continue;
        const XmlReading again = ReadXml(c.canonical);
        EXPECT_EQ(again.problem, nullptr) << c.what;
        EXPECT_EQ(again.canonical, c.canonical) << c.what;
    }
}

// A refusal answers in the envelope the root's prefix is bound to: SOAP 1.2 for any year of
// the W3C namespace (as the runtime takes it), SOAP 1.1 for everything else.
TEST(XmlReader, EnvelopeVersionTable)
{
    const struct {
        const char* what;
        std::string body;
        int version;
    } cases[] = {
        {"SOAP 1.1", "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>", 1},
        {"SOAP 1.2, refused later", "<e:Envelope xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\"><e:Body></x>", 2},
        {"SOAP 1.2 as the default namespace, after a declaration and a comment",
         "\xEF\xBB\xBF<?xml version='1.0'?>\n<!-- c -->\n<Envelope a='1' xmlns = 'http://www.w3.org/2001/12/soap-envelope'>", 2},
        {"SOAP 1.2 accepted", "<e:Envelope xmlns:e='http://www.w3.org/2003/05/soap-envelope'/>", 2},
        {"SOAP 1.2 bound to another prefix", "<s:Envelope xmlns:e='http://www.w3.org/2003/05/soap-envelope' xmlns:s='u'>", 1},
        {"SOAP 1.2 in the text only", "<s:E xmlns:s='u'>http://www.w3.org/2003/05/soap-envelope</s:E>", 1},
        {"a truncated root tag", "<e:Envelope xmlns:e='http://www.w3.org/2003/05/soap-", 1},
        {"no root at all", "just text", 1},
        {"empty", "", 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReadXml(c.body).envelopeVersion, c.version) << c.what;
}

// Every body above, and every seed of the fuzz target, read alike by libxml2.
TEST(XmlReader, AgreesWithLibxml2)
{
    for (const Accepted& c : kAccepted)
        EXPECT_EQ(corvane_test::Disagreement(c.body), "") << c.what;
    for (const Refused& c : kRefused)
        EXPECT_EQ(corvane_test::Disagreement(c.body), "") << c.what;
    for (const Refused& c : kOverLimit)
        EXPECT_EQ(corvane_test::Disagreement(c.body), "") << c.what;
    const std::string dir = CORVANE_SOURCE_DIR "/fuzz/corpus/fuzz_xml_reader";
    DIR* seeds = ::opendir(dir.c_str());
    ASSERT_NE(seeds, nullptr) << dir;
    int read = 0;
    while (const dirent* entry = ::readdir(seeds)) {
        if (entry->d_name[0] == '.')
            continue;
        EXPECT_EQ(corvane_test::Disagreement(ReadFile(dir + "/" + entry->d_name)), "") << entry->d_name;
        ++read;
    }
    ::closedir(seeds);
    EXPECT_GT(read, 0) << "no seeds in " << dir;
}

}  // namespace
