/*
 * Reading a stream of camera frames published by the producer.
 *
 * Link with -lframeshare (or load libframeshare.so.1 with dlopen/ctypes).
 * A reader handle keeps the shared segment mapped between calls, waits for
 * the next frame without polling hard, and follows a restarted producer on
 * its own. Each call returns 0 or an errno value; no function prints,
 * throws or raises a signal.
 *
 *     frameshare_reader* reader;
 *     frameshare_frame frame;
 *     if (frameshare_reader_open(&reader) == 0) {
 *         for (;;) {
 *             int error = frameshare_reader_next(reader, 1000, &frame);
 *             if (error == 0) {
 *                 ... frame.data holds frame.size bytes of JPEG ...
 *             } else if (error != ETIMEDOUT && error != ENOENT) {
 *                 break;   (ETIMEDOUT, ENOENT: no frame yet, keep waiting)
 *             }
 *         }
 *         frameshare_reader_close(reader);
 *     }
 *
 * Threads: one reader handle is used by one thread at a time (the calls on
 * a handle are not synchronised). Separate handles are independent: open
 * one per thread that reads.
 */
#ifndef FRAMESHARE_READER_H
#define FRAMESHARE_READER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct frameshare_reader frameshare_reader;

typedef struct {
    const uint8_t* data;   /* JPEG bytes, valid until the next call on this reader */
    uint32_t size;         /* bytes at data, never more than 6220800 */
    int32_t width, height; /* from the JPEG itself; 0 when its header holds none */
    int64_t steady_us;     /* as published (CLOCK_MONOTONIC, microseconds) */
    int64_t system_us;     /* as published (wall clock, microseconds since 1970) */
    uint32_t skipped;      /* frames published since the previous one returned, not seen */
} frameshare_frame;

/*
 * Makes a reader. It needs no running producer: it attaches when it reads.
 * 0, or EINVAL (reader is NULL) or ENOMEM.
 */
int frameshare_reader_open(frameshare_reader** reader);

/*
 * Returns the first frame newer than the last one this reader returned,
 * waiting up to timeout_ms milliseconds for it (0: do not wait; negative:
 * wait without bound). While it waits it sleeps until shortly before the
 * next frame is due, from the timestamps the producer publishes, then
 * checks the frame's timestamp every quarter millisecond until it changes.
 * A producer that is restarted (a new segment at the name) is followed
 * within one frame period; while none runs the reader looks for one every
 * 10 ms.
 *
 * `skipped` counts frames the producer published after the previous frame
 * returned and before this one, which this reader never returned; frames
 * published while the caller was away are estimated from the timestamps and
 * the producer's period.
 *
 * 0 with a frame in *frame, or:
 *   ETIMEDOUT        no new frame within timeout_ms (or another process
 *                    held the frame's mutex for more than a second);
 *   ENOENT           no producer runs: none at the end of the wait (one
 *                    that starts during it is found and read);
 *   EPERM            the object at the segment's name is not to be trusted:
 *                    not a regular file, open to users outside its owner and
 *                    group, or (for a root caller) an ordinary user's;
 *   EACCES           the caller may not open the segment (not in its group);
 *   EINVAL           reader or frame is NULL, or a segment of the wrong size;
 *   EOVERFLOW        the segment announced a frame larger than 6220800 bytes
 *                    (that frame counts as returned: the next call waits for
 *                    a newer one);
 *   ENOTRECOVERABLE  the frame's mutex is unusable until the producer starts
 *                    afresh;
 *   ENOMEM           no memory for the frame.
 * Whenever the result is not 0, *frame is left as it was.
 */
int frameshare_reader_next(frameshare_reader* reader, int timeout_ms, frameshare_frame* frame);

/*
 * Returns the frame that is current now, new or not, without waiting for
 * one. The same results as frameshare_reader_next, where EAGAIN means a
 * producer runs but has published no frame yet and ENOENT that none runs.
 */
int frameshare_reader_latest(frameshare_reader* reader, frameshare_frame* frame);

/* Unmaps the segment and frees the reader and its frame. NULL is allowed. */
void frameshare_reader_close(frameshare_reader* reader);

#ifdef __cplusplus
}
#endif

#endif /* FRAMESHARE_READER_H */
