// The service's own XML namespace URI, bound to the prefix "wex" by both bindings.
// soap/CMakeLists.txt reads the literal below, so keep it on one line.
#pragma once

#define CORVANE_WEX_NAMESPACE "http://corvane.example.org/schemas/wex-types/2013/07"
