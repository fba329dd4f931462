// The tool's own standard output and error. The frame library writes three
// lines to descriptor 1 on every call and a warning to descriptor 2 on every
// failed one (a server polling without a producer would print twenty a
// second). So at start-up, before any thread exists, the real standard output
// and error move to private descriptors and descriptors 1 and 2 point at
// /dev/null for the whole run: the library's lines are dropped there, the
// tool reports every condition in its own words, and no redirect races
// other threads.
#pragma once

#include <signal.h>

#include <string>

namespace frameshare {

// Call once, first thing after parsing the command line, single-threaded.
void takeOverStandardStreams();

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
