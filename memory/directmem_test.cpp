// The plain allocators: the edges of every slot, the resize fallback, installation and the
// release of a chain of interfaces, the named allocator's closing line.
#include "memory/pooltest.h"

namespace tarn::test {
namespace {

TEST(DirectMem, SlotsPassToTheRuntime) {
    DirectMem& direct = *new DirectMem;
    EXPECT_EQ(direct.Get(0), nullptr);
    EXPECT_TRUE(direct.Free(nullptr));
    EXPECT_EQ(direct.Expand(nullptr, 10), nullptr);
    EXPECT_FALSE(direct.FreeAll());
    EXPECT_TRUE(direct.CheckForBugs());
    EXPECT_TRUE(CheckMemory());

    char* block = static_cast<char*>(direct.Realloc(nullptr, 100));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(direct.GetSize(block), 100u);
    EXPECT_EQ(tarnrtl_GetSize(block), 100u);
    memset(block, 'x', 100);
    char* grown = static_cast<char*>(direct.Realloc(block, 5000));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(std::string(grown, 100), std::string(100, 'x'));
    EXPECT_EQ(direct.Realloc(grown, 0), nullptr);
    EXPECT_EQ(tarnrtl_GetSize(grown), 0u) << "released";

    for (auto make : {&DirectMem::New, &DirectMem::NewV}) {
        void* made = (direct.*make)(24);
        EXPECT_EQ(tarnrtl_GetSize(made), 24u);
        EXPECT_TRUE(direct.Delete(made));
    }
    char local[16] = {};
    EXPECT_EQ(direct.GetSize(local), 0u);
    EXPECT_FALSE(direct.Free(local));
    EXPECT_FALSE(direct.DeleteV(local));
    direct.Release();
}

// The runtime cannot resize a block it does not know: the fallback copies what is readable into
// a new block, and leaves the old one alone, as it cannot tell its size.
TEST(DirectMem, ResizeFailureTakesANewBlockAndReports) {
    FileTail exc(GetProcess().excName);
    DirectMem& direct = *new DirectMem;
    static char foreign[200];
    memset(foreign, 'f', sizeof foreign);
    char* moved = static_cast<char*>(direct.Realloc(foreign, 150));
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(tarnrtl_GetSize(moved), 150u);
    EXPECT_EQ(std::string(moved, 150), std::string(150, 'f'));
    std::string report = exc.Text();
    EXPECT_TRUE(Has(report, "GlobalRealloc() error: GetLastError(")) << report;
    EXPECT_TRUE(Has(report, "data=" + Hex(foreign) + "; newsize=150, oldsize=0?, caller EIP=0x"))
        << report;
    EXPECT_TRUE(direct.Free(moved));
    direct.Release();
}

// The bottom of a test chain: forwards to the interface that was current and records its
// release, which puts that interface back.
class Bottom : public ICppMemIface {
public:
    Bottom() { below_ = tarnrtl_SetMemIface(this); }

    void* Get(size_t size) override { return below_->Get(size); }
    bool Free(void* block) override { return below_->Free(block); }
    void* Realloc(void* block, size_t size) override { return below_->Realloc(block, size); }
    void* Expand(void* block, size_t size) override { return below_->Expand(block, size); }
    bool FreeAll() override { return below_->FreeAll(); }
    size_t GetSize(const void* block) override { return below_->GetSize(block); }
    bool CheckForBugs() override { return below_->CheckForBugs(); }
    void Release() override {
        released = true;
        tarnrtl_SetMemIface(below_);
    }
    void* New(size_t size) override { return below_->New(size); }
    bool Delete(void* block) override { return below_->Delete(block); }
    void* NewV(size_t size) override { return below_->NewV(size); }
    bool DeleteV(void* block) override { return below_->DeleteV(block); }

    ICppMemIface* below() const { return below_; }
    bool released = false;

private:
    ICppMemIface* below_;
};

TEST(DirectMem, ReleasingTheCurrentInterfaceUnwindsTheChain) {
    FileTail log(GetProcess().logName);
    Bottom bottom;
    DirectMem* direct = new DirectMem;
    StackedMem* stacked = new StackedMem("Chained memory");
    EXPECT_EQ(direct->replaced, nullptr);
    direct->Install();
    stacked->Install();
    EXPECT_EQ(tarnrtl_GetMemIface(), stacked);
    EXPECT_EQ(stacked->replaced, direct);
    EXPECT_EQ(direct->replaced, &bottom);

    // Uninstalling an interface that is not current changes nothing.
    direct->Uninstall();
    EXPECT_EQ(tarnrtl_GetMemIface(), stacked);
    EXPECT_EQ(direct->replaced, &bottom);

    stacked->Release();
    EXPECT_TRUE(bottom.released);
    EXPECT_EQ(tarnrtl_GetMemIface(), bottom.below());
    EXPECT_TRUE(Has(log.Text(), "[ Chained memory closed]\r\n")) << log.Text();
}

}  // namespace
}  // namespace tarn::test
