// The fault translator slot: one per thread, with a process-wide translator standing in for
// threads that have set none (POSIX has no thread-attach notification to set it).
#include "platform/win32.h"
#include "tarnkernl/tarnrt.h"

#include <atomic>

namespace {

// The POSIX fault handler reads the slot.
constinit thread_local tarnrtl_Translator tThreadTranslator TARN_STATIC_TLS = nullptr;

// The process's translator is the first one set; the thread that set it alone replaces or
// removes it, so that when the installing module detaches, the process's translator goes too
// and never points into an unloaded module.
constinit thread_local bool tSetProcessTranslator = false;
constinit std::atomic<tarnrtl_Translator> gProcessTranslator{nullptr};

}  // namespace

extern "C" tarnrtl_Translator tarnrtl_SetTranslator(tarnrtl_Translator translator) {
    tarnrtl_Translator previous = tThreadTranslator;
    tThreadTranslator = translator;
    if (tSetProcessTranslator) {
        gProcessTranslator.store(translator, std::memory_order_release);
        tSetProcessTranslator = translator != nullptr;
    } else if (translator) {
        tarnrtl_Translator none = nullptr;
        tSetProcessTranslator = gProcessTranslator.compare_exchange_strong(none, translator);
    }
    return previous;
}

extern "C" tarnrtl_Translator tarnrtl_GetTranslator() {
    tarnrtl_Translator translator = tThreadTranslator;
    return translator ? translator : gProcessTranslator.load(std::memory_order_acquire);
}
