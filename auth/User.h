#pragma once
// A caller of the service: the name given at login and its token list, sorted by bytes.
// A value owned by whoever holds it; never changed after construction, so any thread may
// read it. Also holds the fixed tokens every caller or logged-in caller carries.
#include <string>
#include <vector>

#include <boost/array.hpp>

class User {
public:
    // Copies the list unchanged: whoever builds a token list sorts it.
    User(std::string name, std::vector<std::string> tokens);
    virtual ~User() = default;
    User(const User&) = default;
    User& operator=(const User&) = default;

    const std::string& getName() const { return name; }
    const std::vector<std::string>& getTokens() const { return tokens; }
    operator const std::vector<std::string>&() const { return tokens; }

    // Order-sensitive: equal names and equal tokens in the same positions.
    bool operator==(const User& other) const;

private:
    std::string name;
    std::vector<std::string> tokens;
};

// The tokens in list order, joined with ", ".
std::string TokenString(const std::vector<std::string>& tokens);

const std::string TOKEN_ANY = "*";
const std::string TOKEN_AUTHED = "AUTHED";

namespace {
const boost::array<std::string, 1> TOKEN_ANY_LIST_HELPER = {{TOKEN_ANY}};
const boost::array<std::string, 2> TOKEN_AUTHED_LIST_HELPER = {{TOKEN_ANY, TOKEN_AUTHED}};
}  // namespace

const std::vector<std::string> TOKEN_LIST_ANY(TOKEN_ANY_LIST_HELPER.begin(), TOKEN_ANY_LIST_HELPER.end());
const std::vector<std::string> TOKEN_LIST_AUTHED(TOKEN_AUTHED_LIST_HELPER.begin(),
                                                 TOKEN_AUTHED_LIST_HELPER.end());

const User USER_ANONYM("Anonym", TOKEN_LIST_ANY);
