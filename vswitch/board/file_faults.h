// Faults on the files the program opens itself (not the board's devices):
// faults/file-missing, faults/file-enospc and faults/file-eio each list
// absolute paths, one a line, spelled as the program opens them;
// faults/file-missing-reading and faults/file-eio-reading affect only the
// opens for reading.
#pragma once

#include <cstdio>

namespace vswitch::board {

// An open or openat of a listed path: true with *result set (a descriptor, or
// -1 and errno) when a fault decides the outcome; false: open as usual.
bool file_fault_open(const char* path, int flags, int* result);
// The same for fopen: true with *stream set (nullptr and errno on failure).
bool file_fault_fopen(const char* path, const char* mode, FILE** stream);

} // namespace vswitch::board
