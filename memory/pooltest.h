// For the memory tests: a guarded pool made and released around each test, the report texts
// that reach the log and the exception file while it runs, and the raw blocks it took.
#pragma once

#include "memory/companion.h"
#include "memory/markpool.h"
#include "platform/win32.h"
#include "tarnkernl/log.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstring>
#include <string>
#include <vector>

namespace tarn::test {

// The whole text of a file the library writes; empty when it cannot be opened.
inline std::string FileText(const str& name) {
    std::string text;
    HANDLE file =
        CreateFileA(name.p ? name.p : "", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read != 0)
        text.append(buffer, read);
    CloseHandle(file);
    return text;
}

// What a file gained since the mark was set.
class FileTail {
public:
    explicit FileTail(const str& name) : name_(name) { Mark(); }
    void Mark() { start_ = FileText(name_).size(); }
    std::string Text() const {
        std::string text = FileText(name_);
        return text.size() > start_ ? text.substr(start_) : std::string();
    }

private:
    const str& name_;
    size_t start_ = 0;
};

inline bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// "0x" and the address as the reports print it, with at least `digits` digits.
inline std::string Hex(const void* p, int digits = 1) {
    char text[32];
    snprintf(text, sizeof text, "0x%0*" PRIXPTR, digits, reinterpret_cast<uintptr_t>(p));
    return text;
}

// A pool named "Test pool", made after the start-up phase; released at the end unless the
// test released it. Every block a test gets through Track is remembered with the raw block the
// pool took, so that the test can tell afterwards that the runtime holds none of them.
class PoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        EndStartup();
        pool = new MarkPool("Test pool");
        log.Mark();
        exc.Mark();
    }
    void TearDown() override { ReleasePool(); }

    void ReleasePool() {
        if (pool)
            pool->Release();
        pool = nullptr;
    }

    char* Track(void* block) {
        if (block)
            taken.push_back({UpMarkOf(block), UpMarkOf(block)->size + kBlockOverhead});
        return static_cast<char*>(block);
    }

    // Raw blocks the pool took that the runtime still holds, as such.
    int RawBlocksLeft() const {
        int left = 0;
        for (const Raw& raw : taken)
            left += tarnrtl_GetSize(raw.block) == raw.size;
        return left;
    }

    // The lists of the pool, head first.
    std::vector<Mark*> UpList() const {
        std::vector<Mark*> marks;
        for (Mark* m = pool->lists.UpBeg; m && marks.size() < 100; m = m->next)
            marks.push_back(m);
        return marks;
    }
    std::vector<Mark*> DownList() const {
        std::vector<Mark*> marks;
        for (Mark* m = pool->lists.DwBeg; m && marks.size() < 100; m = m->next)
            marks.push_back(m);
        return marks;
    }

    struct Raw {
        void* block;
        size_t size;
    };

    MarkPool* pool = nullptr;
    FileTail log{GetProcess().logName};
    FileTail exc{GetProcess().excName};
    std::vector<Raw> taken;
};

}  // namespace tarn::test
