// Copying a frame out of the mapped segment at the speed of a plain copy:
// what is read without the mutex (hints only) and how both sides' pages are
// made ready before the mutex is taken. Used by both reader libraries.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// The longest a copy waits for a record's mutex. Any process that maps the
// segment can stop (SIGSTOP) or scribble while it holds one; a reader gives
// up rather than freeze with it.
constexpr std::chrono::microseconds kRecordLockBound{1000000};

// The size a frame header announces, read without its mutex: only a hint
// of how much to fault in before the lock, bounded by the capacity. The
// copy re-reads it under the mutex.
std::uint32_t frameSizeHint(const std::uint32_t* size, std::size_t capacity) noexcept;

// A frame's published timestamp, read without its mutex: tells cheaply
// whether a new frame has come. What is handed out is read again under it.
std::int64_t publishedTimestampHint(const std::int64_t* timestamp) noexcept;

// Gets the pages that will be read or written under a mutex mapped before
// the mutex is taken, so that the copy under it pays no page faults. Neither
// changes a byte. Pages of the caller's buffer are made writable without
// writing them (nothing may be written there before the call is known to
// succeed); without kernel support they are left as they are.
void prefaultForRead(const void* region, std::size_t length) noexcept;
void prefaultForWrite(void* region, std::size_t length) noexcept;
// Loads the address translations of both sides of a copy about to be made.
void warmTranslations(const void* source, void* destination, std::size_t length) noexcept;
