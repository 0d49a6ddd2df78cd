#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include <IdFramework/core/IdGlobal.h>

using namespace Id;

// The exclusive read stream is enforced by the system: nobody may write the file while it is
// open, though others may still read it.
TEST(IdGlobal, TheExclusiveReadStreamKeepsWritersOut) {
    wchar_t folder[MAX_PATH] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0u);
    const std::u16string name = reinterpret_cast<const char16_t*>(folder) + std::u16string(u"id-exclusive-read.txt");
    {
        TFileStream create(name, TFileMode::fmCreate);
        create.WriteBuffer("abc", 3);
    }
    {
        TIdReadFileExclusiveStream stream(name);
        EXPECT_THROW(TFileStream(name, TFileMode::fmOpenReadWrite), EFOpenError);
        TFileStream reader(name, TFileMode::fmOpenRead);
        EXPECT_EQ(reader.Size(), 3);
    }
    // Closed, the file is open to writers again.
    EXPECT_NO_THROW(TFileStream(name, TFileMode::fmOpenReadWrite));
    DeleteFileW(reinterpret_cast<const wchar_t*>(name.c_str()));
}
