// Linked into wheels only (PIXALOT_STATIC_RUNTIME). The statically linked C++ runtime reads
// glibc's __libc_single_threaded to skip atomic reference counts and locks; importing it would
// demand glibc 2.32, beyond what the wheels' manylinux tag promises. This definition, always
// false, takes its place inside the module: counts stay atomic and locks are always taken, as
// in any threaded process.
extern "C" {
[[gnu::visibility("hidden")]] char __libc_single_threaded = 0;
}
