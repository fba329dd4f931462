// The tool's own standard output and error: whole lines, written in one
// piece from any thread.
#pragma once

#include <signal.h>

#include <string>

namespace frameshare {

// Points descriptors 0, 1 and 2 at /dev/null when they are closed, so no
// segment, socket or file opened later takes their place and receives the
// tool's lines. Call once, before any thread exists.
void guardStandardStreams();

// Writes the text to the real standard output in one piece (thread-safe).
// Returns false when it could not (say, a closed pipe).
bool writeOut(const std::string& text);
bool outputIsTerminal();

// One line on the real standard error.
void writeError(const std::string& line);

// Blocks SIGINT and SIGTERM in the calling thread (and the threads it starts
// later) so they are taken synchronously, by sigwait or sigtimedwait, in
// ordinary code. Returns the set to wait on.
sigset_t blockStopSignals();

}  // namespace frameshare
