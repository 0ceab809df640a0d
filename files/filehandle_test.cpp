// File handle: the open mode table, existing-only opening, creating with directories, reading,
// writing, positions and sizes, the text writers and the heap-free writer.
#include "tarnkernl/files.h"

#include "files/testdir.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using tarn::TestDir;

std::string Contents(const std::string& name) {
    TFileHandle file;
    std::string text;
    if (!file.open(name.c_str(), 0, OPEN_EXISTING))
        return "(missing)";
    for (int c; (c = file.getc()) != -1;)
        text += static_cast<char>(c);
    return text;
}

TEST(FileHandle, OpenModeTable) {
    TestDir dir;
    const std::string name = dir.Path("data.txt");
    dir.MakeFile("data.txt", 4);
    struct Case {
        unsigned mode;
        bool reads, writes;
    } cases[] = {
        {0, true, false},          {0x80000000, true, false}, {1, false, true},
        {0x40000000, false, true}, {2, true, true},           {0xC0000000, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        TFileHandle file;
        ASSERT_TRUE(file.open(name.c_str(), static_cast<int>(c.mode), OPEN_EXISTING));
        EXPECT_TRUE(file.owned);
        char byte;
        EXPECT_EQ(file.read(&byte, 1), c.reads ? 1u : 0u);
        EXPECT_EQ(file.write("y", 1), c.writes ? 1u : 0u);
        if (!c.writes) {
            EXPECT_NE(file.lastError, 0u);
        }
    }

    // An unknown mode changes nothing: the open handle stays.
    TFileHandle file;
    ASSERT_TRUE(file.open(name.c_str(), 0, OPEN_EXISTING));
    void* open = file.handle;
    EXPECT_FALSE(file.open(name.c_str(), 5, OPEN_EXISTING));
    EXPECT_EQ(file.handle, open);
    EXPECT_EQ(file.getc(), 'y') << "written by the modes that write";

    // 0x1000 creates, with directories, whatever the disposition says.
    const std::string created = dir.Path("made\\new.txt");
    EXPECT_TRUE(file.open(created.c_str(), 0x1000, OPEN_EXISTING));
    EXPECT_EQ(file.write("z", 1), 1u);
    file.close();
    EXPECT_EQ(Contents(created), "z");
}

TEST(FileHandle, MissingFilesAreNotFoundOrCreated) {
    TestDir dir;
    const std::string name = dir.Path("missing.txt");
    TFileHandle file;
    SetLastError(0);
    EXPECT_FALSE(file.open(name.c_str(), 2, OPEN_EXISTING));
    EXPECT_EQ(file.lastError, 2u);
    EXPECT_EQ(GetLastError(), 2u);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(existfile(name.c_str()));

    // With a disposition that creates, the same name is made.
    EXPECT_TRUE(file.open(name.c_str(), 2, OPEN_ALWAYS));
    EXPECT_TRUE(existfile(name.c_str()));

    // creat makes missing directories and replaces a file.
    const std::string deep = dir.Path("new\\sub\\file.txt");
    ASSERT_TRUE(file.creat(deep.c_str()));
    EXPECT_TRUE(existdirectory(dir.Path("new\\sub").c_str()));
    EXPECT_EQ(file.write("old text", 8), 8u);
    char byte;
    EXPECT_EQ(file.read(&byte, 1), 0u) << "created for writing only";
    ASSERT_TRUE(file.close());

    ASSERT_TRUE(file.creat(deep.c_str()));
    EXPECT_EQ(file.size(), 0u);
    file.close();
    EXPECT_EQ(Contents(deep), "");
}

TEST(FileHandle, PositionsSizesAndBytes) {
    TestDir dir;
    const std::string name = dir.Path("bytes.bin");
    TFileHandle file;
    ASSERT_TRUE(file.open(name.c_str(), 2, CREATE_ALWAYS));
    const unsigned char bytes[] = {'a', 0xFF, 'c', 'd', 'e'};
    EXPECT_EQ(file.write(bytes, sizeof bytes), 5u);
    EXPECT_EQ(file.tell(), 5);
    EXPECT_EQ(file.size(), 5u);
    EXPECT_EQ(file.seek(1, FILE_BEGIN), 1);
    EXPECT_EQ(file.getc(), 255) << "a byte 0xFF is not the end";
    EXPECT_EQ(file.seek(-1, FILE_END), 4);
    EXPECT_EQ(file.getc(), 'e');
    EXPECT_EQ(file.getc(), -1);
    EXPECT_EQ(file.read(nullptr, 3), 0u);

    EXPECT_TRUE(file.ChSize(2));
    EXPECT_EQ(file.size(), 2u);
    EXPECT_TRUE(file.ChSize(10));
    EXPECT_EQ(file.size(), 10u);
    EXPECT_EQ(file.seek(-1, FILE_BEGIN), -1);
    EXPECT_NE(file.lastError, 0u);
}

TEST(FileHandle, BorrowedHandlesStayOpen) {
    TestDir dir;
    const std::string name = dir.Path("shared.txt");
    TFileHandle owner;
    ASSERT_TRUE(owner.open(name.c_str(), 2, CREATE_ALWAYS));
    {
        TFileHandle borrower(owner.handle, false);
        EXPECT_EQ(borrower.write("ab", 2), 2u);
        EXPECT_TRUE(borrower.close());
        EXPECT_FALSE(borrower.IsOpen());
    }
    EXPECT_EQ(owner.write("c", 1), 1u) << "the borrower did not close it";
    owner.attach(TFileHandle::InvalidHandle(), false);
    EXPECT_FALSE(owner.IsOpen());
    EXPECT_EQ(Contents(name), "abc");
}

TEST(FileHandle, TextWriters) {
    TestDir dir;
    const std::string name = dir.Path("text.txt");
    struct Case {
        const char* text;
        int result;
        const char* written;
    } cases[] = {
        {"a\nb", 4, "a\r\nb"}, {"a\n", 3, "a\r\n"},   {"\n\n", 4, "\r\n\r\n"},
        {"", 0, ""},           {"plain", 5, "plain"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TFileHandle file;
        ASSERT_TRUE(file.creat(name.c_str()));
        EXPECT_EQ(fputs(c.text, file), c.result);
        file.close();
        EXPECT_EQ(Contents(name), c.written);
    }

    TFileHandle file;
    ASSERT_TRUE(file.creat(name.c_str()));
    EXPECT_EQ(fputc('\n', file), '\n');
    EXPECT_EQ(fputc(0, file), 0);
    EXPECT_EQ(fputc('x', file), 'x');
    EXPECT_EQ(fprintf(file, "%d\n", 42), 3) << "no line-end translation";
    EXPECT_EQ(fputs(tarn::kUnreadableText, file), -1);
    file.close();
    EXPECT_EQ(Contents(name), "\r\nx42\n");
}

TEST(FileHandle, StaticWriterMakesTheFileAnew) {
    TestDir dir;
    const std::string name = dir.Path("static.txt");
    dir.MakeFile("static.txt", 20);
    {
        StaticFileHandle file(UNICODE_Str(name.c_str()));
        EXPECT_NE(file.fWriteData("abc", 3), 0);
    }
    EXPECT_EQ(Contents(name), "abc");

    StaticFileHandle nowhere(UNICODE_Str(dir.Path("no\\such\\file").c_str()));
    EXPECT_EQ(nowhere.fWriteData("abc", 3), 0);
}

}  // namespace
