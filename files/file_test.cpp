// Buffered file: capturing files and handles, line splitting, growth of the memory image,
// seeks in memory, writing the image back, and the formatted writers.
#include "tarnkernl/files.h"

#include "files/testdir.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

namespace {

using tarn::TestDir;

// A file in memory mode holding `bytes`.
void Fill(File& file, const std::string& bytes) {
    ASSERT_EQ(file.write(bytes.data(), static_cast<unsigned>(bytes.size())), bytes.size());
    file.seekset(0);
}

int FormatIntoNoFile(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = vfprintf(static_cast<File*>(nullptr), format, args);
    va_end(args);
    return result;
}

TEST(BufferedFile, CaptureWholeFiles) {
    TestDir dir;
    dir.MakeFile("empty.txt");
    File file;
    ASSERT_TRUE(file.capture(dir.Path("empty.txt").c_str()));
    EXPECT_EQ(file.length, 0u);
    char buffer[8];
    EXPECT_EQ(file.gets(buffer, sizeof buffer), nullptr);

    dir.MakeFile("data.txt", 5);
    ASSERT_TRUE(file.capture(dir.Path("data.txt").c_str()));
    EXPECT_EQ(std::string(file.image, file.length), "xxxxx");
    EXPECT_EQ(file.pos, 0u);
    EXPECT_FALSE(file.handle.IsOpen()) << "memory mode after capturing";

    EXPECT_FALSE(file.capture(dir.Path("missing.txt").c_str()));
    EXPECT_FALSE(file.capture(dir.Path("").c_str())) << "a directory";
}

TEST(BufferedFile, GetsTakesLineEndsIntoTheLine) {
    File file;
    Fill(file, std::string("a\r\n\r\nb", 6));
    str line;
    ASSERT_STREQ(file.gets(line), "a\r\n\r\n");
    ASSERT_STREQ(file.gets(line), "b");
    EXPECT_EQ(file.gets(line), nullptr);
    EXPECT_STREQ(line, "") << "emptied at the end";

    file.seekset(0);
    Fill(file, std::string("one\0two\n", 8));
    ASSERT_STREQ(file.gets(line), "one") << "a zero byte ends a line";
    EXPECT_EQ(file.pos, 4u);

    // The buffer form stores at most size - 1 characters and stops in the middle of a line.
    File text;
    Fill(text, "abcdef\n");
    char buffer[4];
    ASSERT_STREQ(text.gets(buffer, 4), "abc");
    char next;
    EXPECT_EQ(text.read(&next, 1), 1u);
    EXPECT_EQ(next, 'd');
    ASSERT_STREQ(text.gets(buffer, 4), "ef\n");
    EXPECT_EQ(text.gets(buffer, 4), nullptr);
    text.seekset(0);
    EXPECT_EQ(text.gets(buffer, 0), nullptr);
    EXPECT_EQ(text.gets(reinterpret_cast<char*>(16), 4), nullptr) << "unwritable buffer";
}

TEST(BufferedFile, MemoryImageGrowsTwiceAndTheRequestAndSeeks) {
    File file;
    EXPECT_EQ(file.write("0123456789", 10), 10u);
    EXPECT_EQ(file.length, 10u);
    EXPECT_EQ(file.capacity, 10u);
    EXPECT_EQ(file.ownsImage, 1);
    EXPECT_EQ(file.write("a", 1), 1u);
    EXPECT_EQ(file.length, 11u);
    EXPECT_EQ(file.capacity, 21u);

    // Overwriting inside the image neither grows nor lengthens it.
    file.seekset(2);
    EXPECT_EQ(file.write("XY", 2), 2u);
    EXPECT_EQ(file.length, 11u);
    EXPECT_EQ(std::string(file.image, file.length), "01XY456789a");

    EXPECT_EQ(file.write(tarn::kUnreadableText, 3), 0u) << "unreadable data";
    EXPECT_EQ(file.write("x", 0), 0u);
    EXPECT_EQ(file.puts("tail"), 4);
    EXPECT_EQ(std::string(file.image, file.length), "01XYtail89a");

    EXPECT_EQ(file.seekend(0), 11);
    EXPECT_EQ(file.seekend(3), 8);
    EXPECT_EQ(file.seekcur(-2), 6);
    EXPECT_EQ(file.seekset(1), 1);
    char bytes[4] = {};
    EXPECT_EQ(file.read(bytes, 3), 3u);
    EXPECT_STREQ(bytes, "1XY");
    file.seekset(20);
    EXPECT_EQ(file.read(bytes, 3), 0u) << "beyond the end";
    EXPECT_EQ(file.read(reinterpret_cast<void*>(16), 3), 0u) << "unwritable buffer";
}

TEST(BufferedFile, CloseWritesTheImageToItsHandleAndCaptureReadsOne) {
    TestDir dir;
    const std::string name = dir.Path("out.txt");
    File file;
    Fill(file, "memory");
    EXPECT_FALSE(file.close()) << "never had a handle";
    EXPECT_EQ(std::string(file.image, file.length), "memory");

    ASSERT_TRUE(file.handle.creat(name.c_str()));
    EXPECT_EQ(file.write("disk ", 5), 5u) << "straight to the handle";
    EXPECT_TRUE(file.close());
    EXPECT_FALSE(file.handle.IsOpen());

    File back;
    ASSERT_TRUE(back.capture(name.c_str()));
    EXPECT_EQ(std::string(back.image, back.length), "disk memory");

    // Capturing from a handle takes the rest, or exactly the count asked for.
    TFileHandle from;
    ASSERT_TRUE(from.open(dir.Path("in.txt").c_str(), 2, CREATE_ALWAYS));
    ASSERT_EQ(from.write("header:body", 11), 11u);
    from.seek(7, FILE_BEGIN);

    File rest;
    ASSERT_TRUE(rest.capture(from, -1));
    EXPECT_EQ(std::string(rest.image, rest.length), "body");
    EXPECT_EQ(from.tell(), 11);

    from.seek(0, FILE_BEGIN);
    File part;
    ASSERT_TRUE(part.capture(from, 6));
    EXPECT_EQ(std::string(part.image, part.length), "header");
    EXPECT_FALSE(part.capture(from, 100)) << "fewer bytes than asked for";
}

TEST(BufferedFile, FormattedWriters) {
    File file;
    EXPECT_EQ(fprintf(file, "%s=%d\n", "n", 7), 4);
    EXPECT_EQ(fprintf(&file, "%05d", 42), 5);
    std::string big(3000, 'b');
    EXPECT_EQ(fprintf(file, "%s", big.c_str()), 3000) << "beyond the inline buffer";
    EXPECT_EQ(std::string(file.image, 9), "n=7\n00042");
    EXPECT_EQ(file.length, 3009u);

    EXPECT_EQ(FormatIntoNoFile("%d", 1), -1);
}

}  // namespace
