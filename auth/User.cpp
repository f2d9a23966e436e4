#include "auth/User.h"

#include <utility>

User::User(std::string userName, std::vector<std::string> userTokens)
    : name(std::move(userName)), tokens(std::move(userTokens))
{
}

bool User::operator==(const User& other) const
{
    return name == other.name && tokens == other.tokens;
}

std::string TokenString(const std::vector<std::string>& tokens)
{
    std::string text;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (i != 0)
            text += ", ";
        text += tokens[i];
    }
    return text;
}
