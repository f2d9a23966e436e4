#pragma once
// The one reader of a request body's XML: a strict XML 1.0 parser with namespaces that reads the
// body whole in one linear pass, enforces the shape limits of RequestLimits as it goes, and
// writes what it read in one canonical form, which is all the runtime then parses. So whatever
// the runtime's own, lenient parser makes of markup it never sees: no declaration, comment,
// CDATA section, processing instruction, document type or character reference reaches it,
// only elements, attributes and text that it cannot read two ways. Pure function; any thread.
//
// One departure from XML, for the "setconfig" command: a raw ETB (0x17) is read as a character
// wherever character data may stand, and written as it is.
//
// The canonical form: UTF-8 without a byte order mark; the root element alone, nothing before or
// after it; names, and the order of attributes, as sent; attribute values normalised as XML
// says, in double quotes; text with its line ends normalised and CDATA sections as text; in
// both, `&`, `<`, `>` (and `"` in values) written as the predefined entities and every other
// character, a referenced one too, as itself; comments dropped; an empty-element tag stays one.
// It is at most four times the body's size (a raw '>' becomes "&gt;").
#include <string>

struct XmlReading {
    // Null when the body is well-formed and namespace-well-formed XML within the limits;
    // otherwise a short text naming the first problem found.
    const char* problem = nullptr;
    // The problem is one of RequestLimits' caps, which well-formed XML may exceed.
    bool overLimit = false;
    // 2 when the root element is in a SOAP 1.2 envelope namespace (any year in its path, as the
    // runtime matches it), otherwise 1; known once the root's start tag was read, so that a
    // refusal can answer in the envelope the caller speaks.
    int envelopeVersion = 1;
    // The body in canonical form; empty when there is a problem.
    std::string canonical;
};

XmlReading ReadXml(const std::string& body);

// Appends one byte of text as XML carries it: `&`, `<` and `>` as the predefined entities, and
// `"` too in an attribute value (`inValue`). Bytes of UTF-8 sequences pass unchanged.
void AppendXmlEscaped(std::string& out, char c, bool inValue = false);
