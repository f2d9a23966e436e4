#pragma once
// A plug-in's view for one token list: filtered description text and the command map
// (command name -> command word, sorted permitted parameter ids). Cached by Plugin and never
// changed once built, so any thread may read an entry it obtained from the cache.
#include <string>
#include <vector>

#include <boost/tuple/tuple.hpp>
#include <boost/unordered_map.hpp>

typedef boost::unordered_map<std::string, boost::tuple<const std::string, std::vector<std::string>>>
    CommandMap;
typedef boost::tuple<const std::string, CommandMap> Variant;
