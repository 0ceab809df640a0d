// The fault translator slot: one per thread, with the process's first translator standing in
// for threads that have set none (POSIX has no thread-attach notification to set it).
#include "tarnkernl/tarnrt.h"

#include <atomic>

namespace {

constinit thread_local tarnrtl_Translator tThreadTranslator = nullptr;
constinit std::atomic<tarnrtl_Translator> gProcessTranslator{nullptr};

}  // namespace

extern "C" tarnrtl_Translator tarnrtl_SetTranslator(tarnrtl_Translator translator) {
    tarnrtl_Translator previous = tThreadTranslator;
    tThreadTranslator = translator;
    tarnrtl_Translator none = nullptr;
    gProcessTranslator.compare_exchange_strong(none, translator);
    return previous;
}

extern "C" tarnrtl_Translator tarnrtl_GetTranslator() {
    tarnrtl_Translator translator = tThreadTranslator;
    return translator ? translator : gProcessTranslator.load(std::memory_order_acquire);
}
