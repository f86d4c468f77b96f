// Marks memory that the block allocator and the object pools keep for reuse, so that
// AddressSanitizer builds report a use after release as they would for the heap. Does
// nothing in other builds. Internal to the foundation library.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define DOVREL_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define DOVREL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define DOVREL_POISON(p, n) ((void)(p), (void)(n))
#define DOVREL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif
