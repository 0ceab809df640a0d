// Zones and stored strings: the record format byte for byte, opening a record by name, and
// damaged records, which are refused. Reading records in order, writing them back, the tags a
// record may carry and the sizer's reading are the fuzz target's round trip (zone_fuzzer).
#include "tarnkernl/files.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Bytes(const File& file) { return std::string(file.image, file.length); }

// A parent in memory mode holding `bytes`, at position 0.
void Hold(File& parent, const std::string& bytes) {
    parent.write(bytes.data(), static_cast<unsigned>(bytes.size()));
    parent.seekset(0);
}

// The record of a zone, written by the library.
std::string Record(const char* name, int tag, const std::string& data) {
    File parent;
    Zone zone;
    zone.create(&parent, name);
    zone.write(data.data(), static_cast<unsigned>(data.size()));
    EXPECT_TRUE(zone.close(tag));
    return Bytes(parent);
}

const std::string kCfgRecord("\0\0\4\0cfg\0\7\0\3\0\0\0abc\0\0", 19);

TEST(StoredStrings, LengthCountsTheTerminatorAndTooLongTextsAreRefused) {
    File file;
    EXPECT_TRUE(Save("", &file));
    EXPECT_TRUE(Save("hello", &file));
    EXPECT_EQ(Bytes(file), std::string("\1\0\0\6\0hello\0", 11));

    file.seekset(0);
    str text("previous");
    EXPECT_TRUE(Load(text, &file));
    EXPECT_STREQ(text, "");
    EXPECT_TRUE(Load(text, &file));
    EXPECT_STREQ(text, "hello");
    EXPECT_FALSE(Load(text, &file)) << "nothing left";

    File zero;
    Hold(zero, std::string("\0\0", 2));
    EXPECT_TRUE(Load(text, &zero));
    EXPECT_STREQ(text, "hello") << "a stored length of 0 leaves the text";

    File sizes;
    EXPECT_TRUE(SaveSizer(0xABCD, &sizes));
    EXPECT_EQ(Bytes(sizes), "\xCD\xAB");

    // The longest text that can be stored, and what is refused beyond it.
    const std::string longest(32766, 'l');
    File most;
    EXPECT_TRUE(Save(longest.c_str(), &most));
    most.seekset(0);
    EXPECT_TRUE(Load(text, &most));
    EXPECT_EQ(text.Length(), 32766);

    File refused;
    EXPECT_FALSE(Save((longest + "l").c_str(), &refused));
    EXPECT_FALSE(Save(std::string(70000, 'l').c_str(), &refused));
    EXPECT_FALSE(Save(reinterpret_cast<const char*>(16), &refused));
    EXPECT_EQ(refused.length, 0u) << "nothing written";
}

TEST(Zones, RecordFormatAndOpeningByName) {
    EXPECT_EQ(Record("cfg", 7, "abc"), kCfgRecord);
    EXPECT_EQ(Record("", 0x12345, ""), std::string("\0\0\1\0\0\x45\x23\0\0\0\0\0\0", 13))
        << "the low 16 bits of the tag";

    Zone orphan;
    orphan.create(nullptr, "x");
    EXPECT_FALSE(orphan.close(1));

    // Opening checks the name, exactly.
    File parent;
    Hold(parent, kCfgRecord + "rest");
    for (const char* name : {"cfg", static_cast<const char*>(nullptr)}) {
        parent.seekset(0);
        Zone zone;
        ASSERT_TRUE(zone.open(&parent, name));
        EXPECT_STREQ(zone.name, "cfg");
        EXPECT_EQ(zone.tag, 7);
        EXPECT_EQ(Bytes(zone), "abc");
        EXPECT_EQ(zone.pos, 0u);
        EXPECT_EQ(parent.pos, 19u) << "after the record";
    }
    for (const char* name : {"CFG", "cf", "cfg2"}) {
        parent.seekset(0);
        Zone zone;
        EXPECT_FALSE(zone.open(&parent, name)) << name;
        EXPECT_EQ(parent.pos, 0u);
    }
}

TEST(Zones, DamagedRecordsLeaveTheParentInPlace) {
    const std::string good = kCfgRecord;
    struct Damage {
        const char* what;
        size_t at;
        std::string bytes;
    } damages[] = {
        {"opening marker", 0, "\1"},
        {"opening marker", 1, "\1"},
        {"closing marker", 17, "\1"},
        {"closing marker", 18, "\x80"},
        {"name without terminator", 7, "x"},
        {"data beyond the end", 10, std::string("\4\0\0\0", 4)},
        {"data far beyond the end", 10, "\xFF\xFF\xFF\xFF"},
        {"name length beyond the end", 2, "\xFF\x7F"},
    };
    // Refused, and the parent is neither read nor moved.
    auto expectRefused = [](const std::string& bad) {
        const std::string prefix = "PREFIX";
        File parent;
        Hold(parent, prefix + bad);
        parent.seekset(static_cast<long>(prefix.size()));
        Zone zone;
        EXPECT_FALSE(zone.open(&parent, nullptr));
        EXPECT_EQ(parent.pos, prefix.size());
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        std::string bad = good;
        expectRefused(bad.replace(d.at, d.bytes.size(), d.bytes));
    }
    Zone zone;
    EXPECT_FALSE(zone.open(nullptr, nullptr));
}

}  // namespace
