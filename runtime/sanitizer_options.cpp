// The sanitizers' settings for every program of a sanitizer build. The sanitizer runtime asks the
// program for them before anything runs, so children and test discovery get them too.

// The fault translator owns SIGSEGV, SIGBUS, SIGFPE and SIGILL: a fault is the program's
// exception, not the sanitizer's report. The family's texts and images are taken with calloc
// and given back with operator delete, by contract; the runtime sends both to one heap, so a
// pairing of the two is not a defect. Blocks the family keeps to the end on purpose (the memory
// report's test programs leak by design) are the memory report's business, not a leak checker's.
// The faked-clock tests load faketime's library ahead of the sanitizer's. The sanitizer's own
// parse of printf formats stops with a failed check at formats the C library formats (a
// conversion cut short by the end of the format); the library checks the arguments itself.
extern "C" [[gnu::visibility("default"), gnu::used]] const char* __asan_default_options() {
    return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:"
           "alloc_dealloc_mismatch=0:detect_leaks=0:verify_asan_link_order=0:check_printf=0";
}

extern "C" [[gnu::visibility("default"), gnu::used]] const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1";
}

// A fault becomes an exception thrown from its signal handler, which allocates the exception and
// unwinds: calls that are not async-signal-safe, and safe here because the fault is synchronous
// (the thread was running its own faulting instruction, not interrupted at a random point). The
// fault signals and printf formats are left alone for the same reasons as above.
extern "C" [[gnu::visibility("default"), gnu::used]] const char* __tsan_default_options() {
    return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:halt_on_error=1:"
           "report_signal_unsafe=0:check_printf=0";
}
