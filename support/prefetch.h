// A hint that memory will soon be read, for walks over data scattered
// across the heap: asking a few steps ahead overlaps the waits for memory
// that reading each item in turn would add up. It changes nothing else.
#pragma once

// Starts loading the memory at `address` (which may be null) without
// waiting for it.
inline void prefetch(const void* address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}
