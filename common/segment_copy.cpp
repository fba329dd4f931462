#include "segment_copy.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

std::uintptr_t pageSize() noexcept { return static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE)); }

// madvise wants a page-aligned start; the kernel rounds the end up.
bool populate(const void* region, std::size_t length, int advice) noexcept {
    const auto start = reinterpret_cast<std::uintptr_t>(region);
    const std::uintptr_t first = start & ~(pageSize() - 1);
    return madvise(reinterpret_cast<void*>(first), start + length - first, advice) == 0;
}

}  // namespace

// Uninstrumented: the producer writes the size under the mutex, this read
// races with it on purpose and its value is only a hint.
__attribute__((no_sanitize("thread"), noinline)) std::uint32_t frameSizeHint(const std::uint32_t* size,
                                                                              std::size_t capacity) noexcept {
    const std::uint32_t announced = __atomic_load_n(size, __ATOMIC_RELAXED);
    return static_cast<std::uint32_t>(std::min<std::size_t>(announced, capacity));
}

// Uninstrumented for the same reason: the producer writes the timestamp
// under the mutex, and a torn or stale value only delays the copy.
__attribute__((no_sanitize("thread"), noinline)) std::int64_t publishedTimestampHint(
    const std::int64_t* timestamp) noexcept {
    return __atomic_load_n(timestamp, __ATOMIC_RELAXED);
}

// Uninstrumented for the same reason as the hint: the fallback reads
// payload bytes without the mutex, and only to fault them in.
__attribute__((no_sanitize("thread"))) void prefaultForRead(const void* region, std::size_t length) noexcept {
    if (length == 0 || populate(region, length, MADV_POPULATE_READ)) {
        return;
    }
    // Kernels before 5.14: one read per page does the same.
    const auto* bytes = static_cast<const volatile unsigned char*>(region);
    for (std::size_t offset = 0; offset < length; offset += pageSize()) {
        (void)bytes[offset];
    }
    (void)bytes[length - 1];
}

void warmTranslations(const void* source, void* destination, std::size_t length) noexcept {
    // A prefetch per page walks the page tables into the TLB and changes
    // nothing, not even in the eyes of ThreadSanitizer: the copy under the
    // mutex then runs at the speed of a copy between warm buffers.
    const auto* from = static_cast<const char*>(source);
    auto* to = static_cast<char*>(destination);
    for (std::size_t offset = 0; offset < length; offset += 4096) {
        __builtin_prefetch(from + offset, 0, 3);
        __builtin_prefetch(to + offset, 1, 3);
    }
}

void prefaultForWrite(void* region, std::size_t length) noexcept {
    // Populating pages that are already there still walks them one by one,
    // which costs more than the copy of a warm buffer saves: only the runs
    // mincore reports absent (a fresh buffer) are populated. Without
    // MADV_POPULATE_WRITE they stay as they are: a read would map only the
    // zero page, and nothing may be written before the copy.
    if (length == 0) {
        return;
    }
    const std::uintptr_t page = pageSize();
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(region) & ~(page - 1);
    const std::size_t pages = (reinterpret_cast<std::uintptr_t>(region) + length - first + page - 1) / page;
    unsigned char resident[256];
    for (std::size_t done = 0; done < pages;) {
        const std::size_t chunk = std::min(pages - done, sizeof resident);
        const std::uintptr_t chunkStart = first + done * page;
        if (mincore(reinterpret_cast<void*>(chunkStart), chunk * page, resident) != 0) {
            std::memset(resident, 0, chunk);
        }
        for (std::size_t i = 0; i < chunk;) {
            std::size_t end = i;
            while (end < chunk && (resident[end] & 1u) == 0) {
                ++end;
            }
            if (end > i) {
                (void)madvise(reinterpret_cast<void*>(chunkStart + i * page), (end - i) * page, MADV_POPULATE_WRITE);
            }
            i = end + 1;
        }
        done += chunk;
    }
}
