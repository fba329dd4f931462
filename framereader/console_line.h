// The library's console lines. They go straight to the descriptor with one
// write(2) each, never through the caller's stdio or iostream state, and a
// line the descriptor cannot take at once is dropped: the library must
// never kill its caller with SIGPIPE or block it on a full pipe.
#pragma once

// Formats one line (the format carries its own line end) and writes it to
// fd 1 or 2. Keeps errno.
void writeConsoleLine(int fd, const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));
