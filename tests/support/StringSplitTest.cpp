#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "stringsplit.h"

namespace {

std::vector<std::string> Split(const std::string& text, const std::string& sep)
{
    CStringSpliter s(text);
    s.Split(sep);
    return s.GetVec();
}

TEST(StringSplit, PiecesAreNonEmpty)
{
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), Split("a\n\nb\n", "\n"));
    EXPECT_EQ((std::vector<std::string>{}), Split("", "\n"));
    EXPECT_EQ((std::vector<std::string>{"abc"}), Split("abc", "\n"));
    EXPECT_EQ((std::vector<std::string>{"x", "y"}), Split("\n\nx\ny", "\n"));
    EXPECT_EQ((std::vector<std::string>{"a", "b=c"}), Split("a::b=c::", "::"));
    EXPECT_EQ((std::vector<std::string>{}), Split("\n\n\n", "\n"));
    // An empty separator must end: the whole text is one piece.
    EXPECT_EQ((std::vector<std::string>{"abc"}), Split("abc", ""));
}

TEST(StringSplit, SplitAppendsAndIndexesSafely)
{
    CStringSpliter s("a,b");
    s.Split(",");
    s.Split(",");
    ASSERT_EQ(4, s.Size());
    EXPECT_EQ("a", s[0]);
    EXPECT_EQ("b", s[3]);
    EXPECT_EQ("", s[4]);
    EXPECT_EQ("", s[-1]);
    s[99] = "scribble";  // out of range: goes nowhere
    EXPECT_EQ("", s[99]);
    const CStringSpliter& c = s;
    EXPECT_EQ("b", c[1]);
    EXPECT_EQ("", c[4]);
    EXPECT_EQ(4, s.Size());
}

TEST(StringSplit, DeleteChar)
{
    EXPECT_EQ("", DeleteChar("     ", ' '));
    EXPECT_EQ("ipmod=dhcp", DeleteChar(" ipmod = dhcp ", ' '));
    EXPECT_EQ("abc", DeleteChar("abc", 'x'));
    EXPECT_EQ("", DeleteChar("", 'x'));
}

TEST(StringSplit, ReplaceStrDoesNotRescanInsertedText)
{
    EXPECT_EQ("aaaaaa", ReplaceStr("aaa", "a", "aa"));
    EXPECT_EQ("x-y-z", ReplaceStr("x, y, z", ", ", "-"));
    EXPECT_EQ("", ReplaceStr("aaa", "a", ""));
    EXPECT_EQ("abc", ReplaceStr("abc", "", "zz"));
    EXPECT_EQ("abc", ReplaceStr("abc", "abcd", "zz"));
}

TEST(StringSplit, StrstrRepReplacesTheFirstOccurrence)
{
    char buffer[512] = "ipmod=static static";
    EXPECT_EQ(buffer, strstr_rep(buffer, "static", "dhcp"));
    EXPECT_STREQ("ipmod=dhcp static", buffer);
    strstr_rep(buffer, "nothere", "x");
    EXPECT_STREQ("ipmod=dhcp static", buffer);
    strstr_rep(buffer, "", "x");
    EXPECT_STREQ("ipmod=dhcp static", buffer);
    strstr_rep(buffer, "dhcp ", "");
    EXPECT_STREQ("ipmod=static", buffer);
    char empty[8] = "";
    strstr_rep(empty, "a", "b");
    EXPECT_STREQ("", empty);
}

TEST(StringSplit, StrstrRepRefusesResultsOverTheScratchArea)
{
    char buffer[600];
    std::string base(250, 'k');
    base += "=v";  // 252 characters
    strcpy(buffer, base.c_str());
    strstr_rep(buffer, "v", "1234");  // 255 characters: fits exactly
    EXPECT_EQ(255u, strlen(buffer));
    EXPECT_EQ(std::string(250, 'k') + "=1234", buffer);
    strstr_rep(buffer, "1234", "12345");  // 256: refused, unchanged
    EXPECT_EQ(std::string(250, 'k') + "=1234", buffer);

    std::string longText(400, 'a');  // already longer than the scratch area
    strcpy(buffer, longText.c_str());
    strstr_rep(buffer, "a", "b");
    EXPECT_EQ(longText, buffer);
}

}  // namespace
