#include "platform/Uuid.h"

#include <unordered_set>

#include <gtest/gtest.h>

using namespace qm;

TEST(Uuid, TextFormRoundTripsUpperCase) {
    auto u = Uuid::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(Uuid::fromString(u->uuidString()), u);
    for (const char* bad : {"", "E621E1F8-C36C-495A-93FC-0C247A3E6E5", "E621E1F8C36C-495A-93FC-0C247A3E6E5FF",
                            "E621E1F8-C36C-495A-93FC-0C247A3E6E5G", "E621E1F8_C36C-495A-93FC-0C247A3E6E5F",
                            "{621E1F8-C36C-495A-93FC-0C247A3E6E5F"})
        EXPECT_FALSE(Uuid::fromString(bad)) << bad;
}

TEST(Uuid, RandomIdentifiersAreVersion4AndDistinct) {
    std::unordered_set<Uuid> seen;
    for (int i = 0; i < 1000; ++i) {
        Uuid u = Uuid::random();
        std::string s = u.uuidString();
        EXPECT_EQ(s[14], '4');
        EXPECT_NE(std::string("89AB").find(s[19]), std::string::npos);
        EXPECT_TRUE(seen.insert(u).second);
    }
}
