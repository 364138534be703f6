// Status texts: exact wording, truncation, and codes without text.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "session/fcb.h"

namespace {

std::string Text(FSStatus code, uint16_t size = 200) {
    char buf[256];
    std::memset(buf, 'x', sizeof buf);
    int32_t r = FSErrorStr(code, buf, size);
    EXPECT_EQ(r != 0, buf[0] != '\0') << code;
    return buf;
}

TEST(Messages, ExactTexts) {
    EXPECT_EQ(Text(20519), "Internal error:  Generic bad parameters.");
    EXPECT_EQ(Text(20487), "This file cannot be converted from old to new version");
    EXPECT_EQ(Text(20508), "This file crashed with no save or mini-save");
    EXPECT_EQ(Text(20554),
              "Internal error: Free list full - cannot save or mini-save.  Use save-as.");
    EXPECT_EQ(Text(20551), "Closing publication, some work may be lost.  Open the previously "
                           "saved publication.");
    // A file with both a saved and a mini-saved version gives the text of 20510.
    EXPECT_EQ(Text(FS_E_CRASHED + 3), Text(FS_E_CRASHED_MINI));
    EXPECT_EQ(Text(20510), "Document was open during a crash:  a mini-saved version exists.");
}

TEST(Messages, EveryListedCodeHasTextAndGapsHaveNone) {
    for (unsigned code = 20480; code <= 20554; ++code) {
        bool gap = (code >= 20490 && code <= 20507) || (code >= 20531 && code <= 20535);
        EXPECT_EQ(Text(static_cast<FSStatus>(code)).empty(), gap) << code;
    }
    EXPECT_EQ(Text(20555), "");
    EXPECT_EQ(Text(FS_E_RID_CLASS), "");
}

TEST(Messages, TruncatesToSizeMinusOne) {
    char buf[16];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(FSErrorStr(20519, buf, 10), 1);
    EXPECT_STREQ(buf, "Internal ");
    EXPECT_EQ(buf[10], 'x'); // nothing written past the buffer
    EXPECT_EQ(FSErrorStr(20519, buf, 1), 0);
    EXPECT_STREQ(buf, "");
}

TEST(Messages, NothingForCodeZeroNullBufferOrSizeZero) {
    char buf[8] = "keep";
    EXPECT_EQ(FSErrorStr(0, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    std::strcpy(buf, "keep");
    EXPECT_EQ(FSErrorStr(20519, buf, 0), 0);
    EXPECT_STREQ(buf, "keep");
    EXPECT_EQ(FSErrorStr(20519, nullptr, 80), 0);
}

TEST(Messages, ServicesStatusesComeFromTheServices) {
    EXPECT_FALSE(Text(VM_E_DISKFULL).empty());
    EXPECT_FALSE(Text(VM_E_SHARING).empty());
}

TEST(Status, FSErrorReadsTheSharedHead) {
    FCB fcb{};
    fcb.h.lastStatus = 20515;
    EXPECT_EQ(FSError(&fcb), 20515);
    SCB scb{};
    scb.status = 20513;
    EXPECT_EQ(FSError(&scb), 20513);
    EXPECT_EQ(FSError(nullptr), FS_E_BAD_PARAMS);
}

TEST(Accessors, FlagsAndNullFCB) {
    FCB fcb{};
    fcb.h.magic = FS_MAGIC;
    fcb.h.versionFlags = VER_CURRENT | VER_SAVED | VER_MINI;
    EXPECT_EQ(FSSaved(&fcb), 4);
    EXPECT_EQ(FSCommitted(&fcb), 2);
    EXPECT_EQ(FSDirty(&fcb), 0);
    FSDirtyFile(&fcb);
    EXPECT_EQ(FSDirtied(&fcb), 1);
    EXPECT_EQ(FSDirtiedPage(&fcb), 1);
    FSClearPageDirty(&fcb);
    EXPECT_EQ(FSDirty(&fcb), 1);
    FSClearDirty(&fcb);
    EXPECT_EQ(FSDirty(&fcb), 0);
    fcb.h.magic = 0;
    FSDirtyFile(&fcb); // wrong magic: nothing changes
    EXPECT_EQ(FSDirtied(&fcb), 0);
    EXPECT_EQ(FSDirty(nullptr), 0);
    FSClearDirty(nullptr);
    EXPECT_EQ(FSRevision(), 0x0209FFFFu);
}

} // namespace
