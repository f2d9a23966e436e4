#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "auth/User.h"

using Tokens = std::vector<std::string>;

// The fixed tokens and lists carry the values every rights check depends on.
TEST(UserTokens, ConstantsHoldFixedValues)
{
    EXPECT_EQ(TOKEN_ANY, "*");
    EXPECT_EQ(TOKEN_AUTHED, "AUTHED");
    EXPECT_EQ(TOKEN_LIST_ANY, (Tokens{"*"}));
    EXPECT_EQ(TOKEN_LIST_AUTHED, (Tokens{"*", "AUTHED"}));
    EXPECT_EQ(USER_ANONYM.getName(), "Anonym");
    EXPECT_EQ(USER_ANONYM.getTokens(), TOKEN_LIST_ANY);
}

// TokenString joins with comma and blank, without brackets, in list order.
TEST(UserTokens, TokenStringJoinsWithCommaBlank)
{
    const struct {
        Tokens tokens;
        std::string expected;
    } cases[] = {
        {{}, ""},
        {{"admin"}, "admin"},
        {{"*", "AUTHED"}, "*, AUTHED"},
        {{"b", "a", "b"}, "b, a, b"},
        {{"", ""}, ", "},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TokenString(c.tokens), c.expected) << c.expected;
}

// The constructor keeps the list as given; sorting is the builder's job.
TEST(User, KeepsNameAndTokensUnchanged)
{
    const User user("someone", {"zeta", "alpha"});
    EXPECT_EQ(user.getName(), "someone");
    EXPECT_EQ(user.getTokens(), (Tokens{"zeta", "alpha"}));
    const Tokens& asList = user;
    EXPECT_EQ(&asList, &user.getTokens());
}

// Equality needs equal names and the same tokens in the same positions.
TEST(User, EqualityIsByNameAndOrderedTokens)
{
    const struct {
        User user;
        bool equalsAnonym;
    } cases[] = {
        {User("Anonym", {"*"}), true},
        {User("Anonym", {"*", "AUTHED"}), false},
        {User("anonym", {"*"}), false},
        {User("Anonym", {}), false},
        {User("Anonym", {"*", "*"}), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.user == USER_ANONYM, c.equalsAnonym) << c.user.getName() << ": "
                                                          << TokenString(c.user.getTokens());
    EXPECT_FALSE(User("u", {"a", "b"}) == User("u", {"b", "a"}));
    EXPECT_TRUE(User("u", {"a", "b"}) == User("u", {"a", "b"}));
}
