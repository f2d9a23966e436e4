// The shape check a request body passes before the runtime parses it: well-formed documents
// of every form clients send pass, broken or costly ones are named.
#include <gtest/gtest.h>

#include <string>

#include "soap/RequestLimits.h"
#include "soap/XmlShape.h"

namespace {

std::string Repeat(const std::string& s, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += s;
    return out;
}

std::string Attributes(size_t n, const std::string& prefix)
{
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += " " + prefix + std::to_string(i) + "='v'";
    return out;
}

TEST(XmlShape, CasesTable)
{
    const size_t kAttrs = RequestLimits::kMaxAttributesPerElement;
    const size_t kNs = RequestLimits::kMaxNamespacesInScope;
    const struct {
        const char* what;
        std::string xml;
        const char* problem;  // null: passes
    } cases[] = {
        {"envelope", "<?xml version=\"1.0\"?>\n<s:E xmlns:s=\"urn:s\"><s:B><w:op xmlns:w='urn:w'><a>1</a></w:op></s:B></s:E>\n", nullptr},
        {"byte order mark", "\xEF\xBB\xBF<a/>", nullptr},
        {"comments, instructions, character data",
         "<!-- c --><?pi x?><a><!-- <b> --><![CDATA[<c></d>]]><?p ?>text &amp; more</a><!-- end -->", nullptr},
        {"quotes hide > and / in values", "<a x=\"1>2\" y='/>'><b/></a>", nullptr},
        {"white space in tags", "<a\n\tx = \"1\"\n></a >", nullptr},
        {"attributes at the limit", "<a" + Attributes(kAttrs, "b") + "/>", nullptr},
        {"namespaces at the limit, in two levels",
         "<a" + Attributes(kNs / 2, "xmlns:p") + "><b" + Attributes(kNs - kNs / 2, "xmlns:q") + "/></a>", nullptr},
        {"declarations of siblings do not add up",
         "<a>" + Repeat("<b" + Attributes(kNs, "xmlns:p") + "/>", 3) + "</a>", nullptr},
        {"nesting at the limit", Repeat("<a>", RequestLimits::kMaxNesting) + Repeat("</a>", RequestLimits::kMaxNesting),
         nullptr},

        {"mismatched end tag", "<a><b></c></a>", "end tag does not match its start tag"},
        {"end tag with another prefix", "<s:a xmlns:s='u' xmlns:t='u'></t:a>", "end tag does not match its start tag"},
        {"end tag without start", "</a>", "end tag does not match its start tag"},
        {"truncated", "<a><b>", "the document ends inside an element"},
        {"truncated in a tag", "<a x='1'", "the document ends inside a tag"},
        {"truncated in a value", "<a x='1", "the document ends inside an attribute value"},
        {"plain text", "hello", "text outside the root element"},
        {"text after the root", "<a/>x", "text outside the root element"},
        {"empty", "", "no root element"},
        {"only a declaration", "<?xml version='1.0'?>", "no root element"},
        {"two roots", "<a/><b/>", "more than one root element"},
        {"document type", "<!DOCTYPE a [<!ENTITY e 'x'>]><a>&e;</a>", "document type declarations are not accepted"},
        {"character data outside", "<![CDATA[x]]><a/>", "character data outside the root element"},
        {"unterminated comment", "<a><!-- </a>", "unterminated comment"},
        {"attribute without value", "<a x></a>", "malformed attribute"},
        {"unquoted value", "<a x=1></a>", "malformed attribute"},
        {"no space between attributes", "<a x='1'y='2'/>", "malformed attribute"},
        {"< in a value", "<a x='<'/>", "'<' in an attribute value"},
        {"empty name", "< a/>", "malformed start tag"},
        {"too many attributes", "<a" + Attributes(kAttrs + 1, "b") + "/>", "too many attributes on one element"},
        {"too many namespaces in scope",
         "<a" + Attributes(kNs / 2, "xmlns:p") + "><b" + Attributes(kNs - kNs / 2 + 1, "xmlns:q") + "/></a>",
         "too many namespace declarations in scope"},
        {"default namespace counts", "<a xmlns='u'><b" + Attributes(kNs, "xmlns:p") + "/></a>",
         "too many namespace declarations in scope"},
        {"nested too deeply", Repeat("<a>", RequestLimits::kMaxNesting + 1), "elements nested too deeply"},
        {"the same name on two elements", "<a x='1'><b x='1'/><b x='2'/></a>", nullptr},
        {"names that differ in prefix or case", "<a x='1' p:x='2' X='3' xmlns:p='u'/>", nullptr},
        {"a repeated attribute", "<a x='1' x='2'></a>", "repeated attribute"},
        {"a repeated attribute on an empty element", "<a y='' x='1' z='' x=\"1\"/>", "repeated attribute"},
        {"a repeated namespace declaration", "<a xmlns:q='u' xmlns:q='v'/>", "repeated attribute"},
        {"a repeated default namespace", "<a><b xmlns='u' xmlns='u'/></a>", "repeated attribute"},
        {"the last of the attributes repeats the first",
         "<a" + Attributes(kAttrs - 1, "b") + " b0='v'/>", "repeated attribute"},
        {"character references XML allows",
         "<a x='&#9;&#x10FFFF;'>&#10;&#xD;&#32;&#xD7FF;&#xE000;&#xfffd;&#x10000;&#1114111;&amp;&lt;</a>", nullptr},
        {"references in character data are text", "<a><![CDATA[&#0; &#x]]></a>", nullptr},
        {"leading zeros", "<a>&#x000041;&#00065;</a>", nullptr},
        {"NUL", "<a>a&#0;b</a>", "character reference to a character XML does not allow"},
        {"a control character", "<a>&#x1F;</a>", "character reference to a character XML does not allow"},
        {"a surrogate", "<a>&#xD800;</a>", "character reference to a character XML does not allow"},
        {"U+FFFE", "<a>&#x0FFFE;</a>", "character reference to a character XML does not allow"},
        {"U+FFFF", "<a>&#65535;</a>", "character reference to a character XML does not allow"},
        {"beyond Unicode", "<a>&#x110000;</a>", "character reference to a character XML does not allow"},
        {"beyond any integer", "<a>&#x" + Repeat("F", 40) + ";</a>",
         "character reference to a character XML does not allow"},
        {"decimal beyond any integer", "<a>&#" + Repeat("9", 40) + ";</a>",
         "character reference to a character XML does not allow"},
        {"in a value", "<a x='&#0;'/>", "character reference to a character XML does not allow"},
        {"no digits", "<a>&#;</a>", "malformed character reference"},
        {"no hexadecimal digits", "<a>&#x;</a>", "malformed character reference"},
        {"an upper-case X", "<a>&#X41;</a>", "malformed character reference"},
        {"hexadecimal digits without x", "<a>&#4A;</a>", "malformed character reference"},
        {"no semicolon", "<a>&#65 b</a>", "malformed character reference"},
        {"cut at the end of the text", "<a>&#65</a>", "malformed character reference"},
        {"cut at the end of a value", "<a x='&#x41'/>", "malformed character reference"},
    };
    for (const auto& c : cases) {
        const char* problem = XmlShapeProblem(c.xml.data(), c.xml.size());
        if (c.problem == nullptr)
            EXPECT_EQ(problem, nullptr) << c.what << ": " << problem;
        else
            EXPECT_STREQ(problem, c.problem) << c.what;
    }
}

// The check sees only the bytes it is given: a document cut at its end is incomplete.
TEST(XmlShape, ReadsNoFurtherThanTheGivenSize)
{
    const std::string xml = "<a></a>";
    EXPECT_EQ(XmlShapeProblem(xml.data(), xml.size()), nullptr);
    EXPECT_STREQ(XmlShapeProblem(xml.data(), xml.size() - 1), "malformed end tag");
}

// A refusal answers in the envelope the root's prefix is bound to: SOAP 1.2 for any year of
// the W3C namespace (as the runtime takes it), SOAP 1.1 for everything else.
TEST(XmlShape, EnvelopeVersionTable)
{
    const struct {
        const char* what;
        std::string xml;
        int version;
    } cases[] = {
        {"SOAP 1.1", "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>", 1},
        {"SOAP 1.2", "<e:Envelope xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\"><e:Body></x>", 2},
        {"SOAP 1.2 as default namespace, after a declaration and a comment",
         "\xEF\xBB\xBF<?xml version='1.0'?>\n<!-- c -->\n<Envelope a='1' xmlns = 'http://www.w3.org/2001/12/soap-envelope'>",
         2},
        {"SOAP 1.2 bound to another prefix", "<s:Envelope xmlns:e='http://www.w3.org/2003/05/soap-envelope' xmlns:s='u'>", 1},
        {"SOAP 1.2 namespace in the text only", "<s:E xmlns:s='u'>http://www.w3.org/2003/05/soap-envelope</s:E>", 1},
        {"a truncated root tag", "<e:Envelope xmlns:e='http://www.w3.org/2003/05/soap-", 1},
        {"no root at all", "just text", 1},
        {"empty", "", 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(XmlEnvelopeVersion(c.xml.data(), c.xml.size()), c.version) << c.what;
}

}  // namespace
