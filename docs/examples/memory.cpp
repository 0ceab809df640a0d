// The memory manager stands behind every malloc and new of the process: it knows each block's
// size, checks the heap on request and lists the blocks left at the end in the log.
#include "tarnkernl/tarnkernl.h"

#include <string>

#include "check.h"

int main() {
    ICppMemIface* memory = tarnrtl_GetMemIface();
    void* block = malloc(1000);
    std::string text(100, 'x');
    static int notABlock;
    printf("malloc(1000): %zu bytes, a string's text: %zu, a static: %zu\n",
           memory->GetSize(block), memory->GetSize(text.data()), memory->GetSize(&notABlock));
    Expect(memory->GetSize(block) == 1000, "the size of a malloc block");
    Expect(memory->GetSize(&notABlock) == 0, "no size for what is not a block");
    free(block);
    Expect(CheckMemory(), "a consistent heap");

    // From here on a block that is never released is the program's leak: the memory report
    // at the end of the log lists it with the call stack that allocated it.
    EndStartup();
    static char* kept = new char[64];
    snprintf(kept, 64, "kept to the end");
    printf("%s at %p\n", kept, static_cast<void*>(kept));
    return gFailures;
}
