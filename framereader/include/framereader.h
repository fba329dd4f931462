/*
 * Reading camera frames published by the producer, from any process.
 *
 * Link with -lframereader (or load libframereader.so with dlopen/ctypes) and
 * call get_frame_data with a buffer of FRAMEREADER_FRAME_CAPACITY bytes.
 * Each call attaches to the shared segment, copies the colour frame that is
 * current at that moment (a complete JPEG image) and detaches again; it never
 * waits for a new frame. Tell a new frame from an old one by its timestamp.
 */
#ifndef FRAMEREADER_H
#define FRAMEREADER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The largest payload a frame can have: 1920 x 1080 x 3 bytes. */
#define FRAMEREADER_FRAME_CAPACITY 6220800u

typedef struct FrameOutput {
    uint8_t* data;     /* in: the caller's buffer, FRAMEREADER_FRAME_CAPACITY bytes */
    int32_t width;     /* out: always 1920 */
    int32_t height;    /* out: always 1080 */
    uint32_t size;     /* out: JPEG bytes written to data; 0 when there is no frame */
    uint32_t reserved; /* never touched */
    int64_t timestamp; /* out: capture time, steady clock, microseconds; 0 when there is no frame */
} FrameOutput;

/*
 * Copies the current frame into output->data and fills the record.
 * The second argument is ignored; pass NULL.
 *
 * Writes exactly `size` bytes at the start of the buffer: bytes behind them
 * keep what the caller had there (they were never part of the frame).
 * Never writes more than FRAMEREADER_FRAME_CAPACITY bytes into the buffer and
 * never throws. Afterwards errno tells what happened:
 *   0                the segment was read: size > 0 is a frame, size 0 means
 *                    the producer runs but has not published a frame yet;
 *   ENOENT           no producer is running (no segment);
 *   EINVAL           output or output->data is NULL, or the segment has the
 *                    wrong size;
 *   EPERM            the object at the segment's name is not to be trusted:
 *                    not a regular file, writable by every user, or owned
 *                    by an ordinary user other than the caller;
 *   ENOMEM           no memory;
 *   EOVERFLOW        the segment announced a frame larger than the capacity;
 *   ETIMEDOUT        another process held the frame's mutex for more than a
 *                    second (a stopped or frozen process);
 *   ENOTRECOVERABLE  the frame's mutex is unusable (overwritten, or left
 *                    unrecoverable): no frame can be read until the
 *                    producer starts afresh;
 *   other            the error of opening or mapping the segment.
 * Whenever errno is not 0, nothing is written into the buffer. When the
 * segment cannot be opened or mapped, the record is left as it was too;
 * after it was mapped (EOVERFLOW, ETIMEDOUT, ENOTRECOVERABLE) the record
 * reads width 1920, height 1080, size 0, timestamp 0.
 *
 * A call waits for no new frame. It waits at most about 66 ms for each of
 * the three mutexes it checks at start and about a second for the frame's
 * mutex. Its console lines go straight to file descriptors 1 and
 * 2, one write each; a line the descriptor cannot take at once (a full pipe)
 * is dropped, and a closed pipe raises no SIGPIPE in the caller.
 */
void get_frame_data(FrameOutput* output, void* unused);

#ifdef __cplusplus
}
#endif

/* Callers in other languages lay the record out by these offsets. */
#ifdef __cplusplus
#define FRAMEREADER_STATIC_ASSERT(condition, message) static_assert(condition, message)
#else
#define FRAMEREADER_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#endif
FRAMEREADER_STATIC_ASSERT(sizeof(FrameOutput) == 32, "FrameOutput is 32 bytes");
FRAMEREADER_STATIC_ASSERT(offsetof(FrameOutput, width) == 8, "width at offset 8");
FRAMEREADER_STATIC_ASSERT(offsetof(FrameOutput, height) == 12, "height at offset 12");
FRAMEREADER_STATIC_ASSERT(offsetof(FrameOutput, size) == 16, "size at offset 16");
FRAMEREADER_STATIC_ASSERT(offsetof(FrameOutput, reserved) == 20, "reserved at offset 20");
FRAMEREADER_STATIC_ASSERT(offsetof(FrameOutput, timestamp) == 24, "timestamp at offset 24");

#endif /* FRAMEREADER_H */
