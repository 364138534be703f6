// Resource libraries and LoadStringA.
#include <cstring>

#include <gtest/gtest.h>

#include <zunvm/zunvm.h>

namespace {

const VMStringEntry kTable[] = {{7, "Seven days"}, {-3, "negative id"}, {9, ""}};
const VMStringEntry kOther[] = {{7, "replaced"}};

TEST(ResourceLibraries, FoundByNameWithoutRegardToCase) {
    VMRegisterResLib("Test.RSL", kTable, 3);
    uintptr_t m = VMLoadResLib("test.rsl");
    EXPECT_NE(m, 0u);
    EXPECT_EQ(VMLoadResLib("TEST.RSL"), m);
    EXPECT_EQ(VMLoadResLib("absent.rsl"), 0u);
    EXPECT_EQ(VMLoadResLib(nullptr), 0u);
}

TEST(ResourceLibraries, LoadStringTruncatesAndCounts) {
    VMRegisterResLib("strings.rsl", kTable, 3);
    uintptr_t m = VMLoadResLib("strings.rsl");
    char buffer[32];
    EXPECT_EQ(LoadStringA(m, 7, buffer, sizeof buffer), 10);
    EXPECT_STREQ(buffer, "Seven days");
    EXPECT_EQ(LoadStringA(m, 7, buffer, 6), 5);
    EXPECT_STREQ(buffer, "Seven");
    EXPECT_EQ(LoadStringA(m, 7, buffer, 1), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(LoadStringA(m, -3, buffer, sizeof buffer), 11);
    EXPECT_STREQ(buffer, "negative id");

    // No string: 0 and an empty buffer.
    std::strcpy(buffer, "old");
    EXPECT_EQ(LoadStringA(m, 8, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    std::strcpy(buffer, "old");
    EXPECT_EQ(LoadStringA(m + 1000, 7, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(LoadStringA(m, 9, buffer, sizeof buffer), 0);

    // No room: nothing written.
    std::strcpy(buffer, "old");
    EXPECT_EQ(LoadStringA(m, 7, buffer, 0), 0);
    EXPECT_STREQ(buffer, "old");
}

TEST(ResourceLibraries, RegisteringAgainReplacesTheTable) {
    VMRegisterResLib("again.rsl", kTable, 3);
    uintptr_t m = VMLoadResLib("again.rsl");
    VMRegisterResLib("AGAIN.rsl", kOther, 1);
    EXPECT_EQ(VMLoadResLib("again.rsl"), m);
    char buffer[16];
    EXPECT_EQ(LoadStringA(m, 7, buffer, sizeof buffer), 8);
    EXPECT_STREQ(buffer, "replaced");
    EXPECT_EQ(LoadStringA(m, -3, buffer, sizeof buffer), 0);
}

} // namespace
