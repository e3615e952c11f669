// Linked into the extension modules with a static libstdc++ only.
//
// libstdc++ skips atomic operations (reference counts, once-flags) while
// glibc's __libc_single_threaded says the process has a single thread; that
// variable exists from glibc 2.32 on, so referring to it would make the
// module refuse to load on older systems. This definition, local to the
// module, takes its place and always says "more than one thread": every
// operation stays atomic, as it must in an interpreter that may start
// threads at any time.
extern "C" {
char __libc_single_threaded = 0;  // NOLINT: the name libstdc++ looks for
}
