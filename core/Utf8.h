#pragma once
// Strict UTF-8 decoding and the characters an XML 1.0 document may hold, for the places that
// write outside text into a log line or an answer, or must refuse text that could not stand
// in one. Pure functions; any thread.
#include <cstddef>
#include <cstdint>
#include <string>

namespace Utf8 {

// Length of the well-formed UTF-8 sequence that starts at text[at] (its code point in `cp`),
// or 0 when the bytes there are not one: overlong forms, surrogates and values above
// U+10FFFF count as malformed.
std::size_t Sequence(const std::string& text, std::size_t at, std::uint32_t& cp);

// Whether the code point matches XML 1.0's Char: tab, line feed, carriage return and
// U+0020 to U+10FFFF without the surrogates, U+FFFE and U+FFFF.
bool IsXmlChar(std::uint32_t cp);

// Whether the text is well-formed UTF-8 made of XML characters only (NUL is none).
bool IsXmlText(const std::string& text);

// The text with U+FFFD in place of each character XML forbids and of each byte that is not
// part of well-formed UTF-8; text that is already XML text comes back unchanged.
std::string ToXmlText(const std::string& text);

}  // namespace Utf8
