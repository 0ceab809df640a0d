// Resource strings from the test program's own resources (loadres_test.rc), the placeholder
// and its one box; the selected text of combo boxes of the window table (real ones on Windows).
#include "tarnkernl/text.h"

#include "log/messagebox.h"
#include "platform/testing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Box {
    std::string text, caption;
    unsigned style;
};
std::vector<Box> gBoxes;
bool gLookUpInTheBox;

int RecordBox(HWND, const char* text, const char* caption, unsigned style) {
    gBoxes.push_back({text, caption, style});
    if (gLookUpInTheBox) {
        str again;
        EXPECT_EQ(std::string(LoadRes(again, 43, nullptr, true)).rfind("'RESOURCE #43", 0), 0u);
    }
    return IDOK;
}

class ResourceStrings : public ::testing::Test {
protected:
    ResourceStrings() : previous_(tarn::SetMessageBoxForTesting(RecordBox)) { gBoxes.clear(); }
    ~ResourceStrings() override { tarn::SetMessageBoxForTesting(previous_); }

    static std::string ModuleName() {
        char name[1024];
        return std::string(name, GetModuleFileNameA(nullptr, name, sizeof name));
    }

    tarn::MessageBoxHandler previous_;
};

TEST_F(ResourceStrings, AreFoundByNumberAndByName) {
    str text;
    HINSTANCE self = GetModuleHandleA(nullptr);
    EXPECT_STREQ(LoadRes(text, 1, self, false), "own text");
    ResId named(0, self);
    named.id = reinterpret_cast<uintptr_t>("tarnNamedText");
    EXPECT_STREQ(LoadRes(text, named, true), "named text");
    EXPECT_TRUE(gBoxes.empty());
}

TEST_F(ResourceStrings, AMissingOneIsNullOrAPlaceholderWithOneBox) {
    str text("old");
    HINSTANCE self = GetModuleHandleA(nullptr);
    EXPECT_EQ(LoadRes(text, 42, self, false), nullptr);
    EXPECT_STREQ(text.p, "");
    EXPECT_TRUE(gBoxes.empty());

    gLookUpInTheBox = true;
    const std::string placeholder = "'RESOURCE #42, MODULE " + ModuleName() + "'";
    EXPECT_EQ(LoadRes(text, 42, self, true), placeholder);
    gLookUpInTheBox = false;
    ASSERT_EQ(gBoxes.size(), 1u) << "a lookup while the box shows adds none";
    EXPECT_EQ(gBoxes[0].text, "Not found: " + placeholder);
    EXPECT_EQ(gBoxes[0].caption, "INTERNAL ERROR");
    EXPECT_EQ(gBoxes[0].style, unsigned(MB_TASKMODAL | MB_OK));

    ResId named(0, self);
    named.id = reinterpret_cast<uintptr_t>("tarnNoText");
    EXPECT_EQ(LoadRes(text, named, true), "'RESOURCE 'tarnNoText', MODULE " + ModuleName() + "'");
    EXPECT_EQ(gBoxes.size(), 2u);
}

TEST(ComboStr, GivesTheSelectedItemOrNothing) {
    HWND dialog = tarn::CreateWindowForTesting(nullptr, 0, "dialog");
    HWND combo = tarn::CreateComboForTesting(dialog, 7);
    ASSERT_TRUE(combo);
    for (const char* item : {"first", "second item", ""})
        SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
    EXPECT_STREQ(ComboStr(combo).p, "") << "no selection yet";
    SendMessageA(combo, CB_SETCURSEL, 1, 0);
    EXPECT_STREQ(ComboStr(combo).p, "second item");
    EXPECT_STREQ(ComboStr(dialog, 7).p, "second item");
    EXPECT_STREQ(ComboStr(dialog, 8).p, "");
    SendMessageA(combo, CB_SETCURSEL, 2, 0);
    EXPECT_STREQ(ComboStr(combo).p, "");
    SendMessageA(combo, CB_SETCURSEL, 0, 0);
    ComboStr text(combo);
    EXPECT_STREQ(text.p, "first");
    tarn::DestroyWindowForTesting(dialog);
    text.vGetCurSelText(combo);
    EXPECT_STREQ(text.p, "") << "a destroyed window";
    EXPECT_STREQ(ComboStr(nullptr).p, "");
}

}  // namespace
