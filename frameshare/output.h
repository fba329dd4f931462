// The tool's own standard output and error: whole lines, written in one
// piece from any thread.
#pragma once

#include <signal.h>

#include <string>

namespace frameshare {

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
