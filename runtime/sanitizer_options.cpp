// The sanitizers' settings for every program of a sanitizer build. The sanitizer runtime asks the
// program for them before anything runs, so children and test discovery get them too.

// The fault translator owns SIGSEGV, SIGBUS, SIGFPE and SIGILL: a fault is the program's
// exception, not the sanitizer's report. The family's texts and images are taken with calloc
// and given back with operator delete, by contract; the runtime sends both to one heap, so a
// pairing of the two is not a defect. Blocks the family keeps to the end on purpose (the memory
// report's test programs leak by design) are the memory report's business, not a leak checker's.
// The faked-clock tests load faketime's library ahead of the sanitizer's.
extern "C" [[gnu::visibility("default"), gnu::used]] const char* __asan_default_options() {
    return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:"
           "alloc_dealloc_mismatch=0:detect_leaks=0:verify_asan_link_order=0";
}

extern "C" [[gnu::visibility("default"), gnu::used]] const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1";
}

extern "C" [[gnu::visibility("default"), gnu::used]] const char* __tsan_default_options() {
    return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:halt_on_error=1";
}
