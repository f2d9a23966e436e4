#pragma once
// The daemon's one UTF-8 decoder, strict, and the classes of characters its callers ask about:
// those an XML 1.0 document may hold and those that may end a line or control a terminal. For
// every place that writes outside text into a log line or an answer, or must refuse text that
// could not stand in one. Pure functions; any thread.
#include <cstddef>
#include <cstdint>
#include <string>

namespace Utf8 {

// Length of the well-formed UTF-8 sequence that starts at text[at] (its code point in `cp`),
// or 0 when the bytes there are not one: overlong forms, surrogates and values above
// U+10FFFF count as malformed.
std::size_t Sequence(const std::string& text, std::size_t at, std::uint32_t& cp);

// Whether the code point is a control character (C0 with tab, DEL, C1 with NEL) or LINE or
// PARAGRAPH SEPARATOR: what some reader of a line may take for its end or a terminal control.
bool IsControl(std::uint32_t cp);

// Whether the code point matches XML 1.0's Char: tab, line feed, carriage return and
// U+0020 to U+10FFFF without the surrogates, U+FFFE and U+FFFF.
bool IsXmlChar(std::uint32_t cp);

// Whether the text is well-formed UTF-8 made of XML characters only (NUL is none).
bool IsXmlText(const std::string& text);

// The text with U+FFFD in place of each character XML forbids and of each byte that is not
// part of well-formed UTF-8; text that is already XML text comes back unchanged.
std::string ToXmlText(const std::string& text);

}  // namespace Utf8
