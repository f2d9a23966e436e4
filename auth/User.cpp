#include "auth/User.h"

#include <utility>

User::User(std::string name, std::vector<std::string> tokens)
    : name(std::move(name)), tokens(std::move(tokens))
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
