#pragma once
// libxml2, a strict and well-kept XML reader, as the oracle of the daemon's XmlReader: for one
// body, both verdicts (well-formed and namespace-well-formed, or not) must agree, and for a body
// the reader accepts, its canonical form must carry the same elements, attributes and text as
// libxml2's reading of the original. Used by the reader's tests and its differential fuzz
// target. Not thread-safe (libxml2's parser state is per call, but its error hook is global).
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <strings.h>

#include <cstdio>
#include <string>

#include "soap/XmlReader.h"

namespace corvane_test {

struct OracleReading {
    // Well-formed and namespace-well-formed, as libxml2 reads it.
    bool accepted = false;
    // Holds what XML allows but the daemon refuses: a document type, a processing
    // instruction, an encoding other than UTF-8 (the daemon reads UTF-8 alone), or a version
    // "1." without digits, which libxml2 lets pass although XML's grammar does not.
    bool refusedByDesign = false;
    // One line per element, attribute, namespace declaration and run of text, in document
    // order; comments leave no trace, and text on both sides of one is one run.
    std::string tree;
};

namespace oracle_detail {

inline std::string Escaped(const xmlChar* text)
{
    std::string out;
    for (const xmlChar* p = text; p && *p; ++p) {
        if (*p < 0x20 || *p == '\\' || *p == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", *p);
            out += hex;
        } else {
            out += static_cast<char>(*p);
        }
    }
    return out;
}

inline std::string QualifiedName(const xmlChar* name, xmlNsPtr ns)
{
    std::string out;
    if (ns && ns->prefix)
        out = std::string(reinterpret_cast<const char*>(ns->prefix)) + ":";
    return out + reinterpret_cast<const char*>(name);
}

inline std::string Href(xmlNsPtr ns) { return ns && ns->href ? Escaped(ns->href) : "-"; }

struct Dump {
    std::string tree;
    std::string text;
    bool instruction = false;

    void Flush()
    {
        if (!text.empty())
            tree += "T " + Escaped(reinterpret_cast<const xmlChar*>(text.c_str())) + "\n";
        text.clear();
    }

    void Node(xmlNodePtr node)
    {
        for (; node; node = node->next) {
            switch (node->type) {
            case XML_ELEMENT_NODE: {
                Flush();
                tree += "E " + QualifiedName(node->name, node->ns) + " in " + Href(node->ns) + "\n";
                for (xmlNsPtr d = node->nsDef; d; d = d->next)
                    tree += "N " + (d->prefix ? Escaped(d->prefix) : std::string("(default)")) + " = " + Href(d) + "\n";
                for (xmlAttrPtr a = node->properties; a; a = a->next) {
                    xmlChar* value = xmlNodeGetContent(reinterpret_cast<xmlNodePtr>(a));
                    tree += "A " + QualifiedName(a->name, a->ns) + " in " + Href(a->ns) + " = " + Escaped(value) + "\n";
                    xmlFree(value);
                }
                Node(node->children);
                Flush();
                tree += "/E\n";
                break;
            }
            case XML_TEXT_NODE:
            case XML_CDATA_SECTION_NODE:
                if (node->content)
                    text += reinterpret_cast<const char*>(node->content);
                break;
            case XML_PI_NODE: instruction = true; break;
            default: break;
            }
        }
    }
};

inline void IgnoreErrors(void*, xmlErrorPtr) {}

// The daemon reads a raw ETB (0x17), the "setconfig" separator, where character data stands;
// libxml2 is given a private-use character in its place, which XML allows exactly there.
inline std::string EtbAsPrivateUse(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\x17')
            out += "\xEE\x80\x97";
        else
            out += c;
    }
    return out;
}

}  // namespace oracle_detail

inline OracleReading ReadWithLibxml2(const std::string& body)
{
    OracleReading reading;
    xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
    if (!ctxt)
        return reading;
    // Namespace errors are counted here, so that the one libxml2 raises for a namespace name
    // that is no valid URI, which Namespaces in XML does not make an error, can be told apart.
    struct Errors {
        bool namespaces = false;
    } errors;
    ctxt->_private = &errors;
    xmlSetStructuredErrorFunc(ctxt, [](void* user, xmlErrorPtr e) {
        auto* c = static_cast<xmlParserCtxtPtr>(user);
        if (e->domain == XML_FROM_NAMESPACE && e->level != XML_ERR_WARNING && e->code != XML_WAR_NS_URI &&
            e->code != XML_WAR_NS_URI_RELATIVE)
            static_cast<Errors*>(c->_private)->namespaces = true;
    });
    xmlDocPtr doc = xmlCtxtReadMemory(ctxt, body.data(), static_cast<int>(body.size()), nullptr, nullptr,
                                      XML_PARSE_NONET | XML_PARSE_NOCDATA);
    xmlSetStructuredErrorFunc(nullptr, &oracle_detail::IgnoreErrors);
    reading.accepted = doc && ctxt->wellFormed && !errors.namespaces;
    if (doc) {
        oracle_detail::Dump dump;
        dump.Node(doc->children);
        reading.tree = dump.tree;
        const char* encoding = reinterpret_cast<const char*>(doc->encoding ? doc->encoding : ctxt->encoding);
        const std::string version = doc->version ? reinterpret_cast<const char*>(doc->version) : "1.0";
        reading.refusedByDesign = dump.instruction || doc->intSubset || doc->extSubset ||
                                  (encoding && strcasecmp(encoding, "UTF-8") != 0) || version == "1.";
        xmlFreeDoc(doc);
    }
    xmlFreeParserCtxt(ctxt);
    return reading;
}

// The canonical form as libxml2 reads it. libxml2 would normalise a CR anywhere, and a tab or
// line feed in a value, which the runtime keeps as it finds them; so those are written as
// references first (the canonical form holds no '<', '>' or '"' but as markup).
inline OracleReading ReadCanonicalWithLibxml2(const std::string& canonical)
{
    std::string text;
    bool inTag = false, inValue = false;
    for (const char c : canonical) {
        if (c == '\r')
            text += "&#13;";
        else if (inValue && c == '\t')
            text += "&#9;";
        else if (inValue && c == '\n')
            text += "&#10;";
        else
            text += c;
        if (c == '<' && !inValue)
            inTag = true;
        else if (c == '>' && !inValue)
            inTag = false;
        else if (c == '"' && inTag)
            inValue = !inValue;
    }
    return ReadWithLibxml2(text);
}

// Empty when the daemon's reader and libxml2 agree on the body, else what they disagree on.
inline std::string Disagreement(const std::string& body)
{
    const XmlReading ours = ReadXml(body);
    if (ours.problem && ours.overLimit)
        return std::string();  // a cap of ours that well-formed XML may exceed
    // libxml2 takes a NUL after the root for the end of its input; XML allows no NUL anywhere.
    if (body.find('\0') != std::string::npos)
        return ours.problem ? std::string() : "accepted a NUL";
    const OracleReading theirs = ReadWithLibxml2(oracle_detail::EtbAsPrivateUse(body));
    if (!theirs.accepted || theirs.refusedByDesign) {
        if (ours.problem)
            return std::string();
        return theirs.accepted ? "accepted what the daemon refuses by design" : "accepted what libxml2 refuses";
    }
    if (ours.problem)
        return std::string("refused what libxml2 accepts: ") + ours.problem;
    const OracleReading canonical = ReadCanonicalWithLibxml2(oracle_detail::EtbAsPrivateUse(ours.canonical));
    if (!canonical.accepted || canonical.refusedByDesign)
        return "the canonical form is not well-formed: " + ours.canonical;
    if (canonical.tree != theirs.tree)
        return "the canonical form reads otherwise:\n" + canonical.tree + "where libxml2 read:\n" + theirs.tree;
    return std::string();
}

}  // namespace corvane_test
