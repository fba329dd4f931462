/* A USB 2.0 webcam behind /dev/videoN, for tests: loaded with LD_PRELOAD, it
 * answers the V4L2 calls a client makes on the emulated nodes the way the
 * kernel's UVC driver does for a typical 1080p camera, and passes every
 * other call through to glibc.
 *
 * Environment:
 *   V4L2EMU_CAPTURE  comma-separated indexes of capture nodes (default "0")
 *   V4L2EMU_META     comma-separated indexes of metadata nodes (default none),
 *                    as the driver's second node per camera
 *   V4L2EMU_FORMATS  the formats the camera offers, in its order:
 *                    "yuyv,mjpg" (default), "yuyv" or "mjpg"
 *   V4L2EMU_STALL_AFTER  stop delivering after this many frames while
 *                    staying open and streaming, as a hung camera does
 *   V4L2EMU_BAD_JPEG_EVERY  every MJPG frame whose number is a multiple of
 *                    this declares an image height of 0, so no decoder takes it
 *   V4L2EMU_LOG      when set, one line per ioctl on standard error
 *
 * An open node is an eventfd: the pacing thread adds one per finished
 * buffer and DQBUF takes one, so select, poll and epoll work unchanged on
 * the descriptor and on any dup of it. Buffers live in a memfd that mmap on
 * the node maps. Every frame shows its number (see frame_code.h). MJPG
 * frames are pre-encoded once per size with one restart interval per MCU
 * row, so a frame is assembled from row segments, and carry no Huffman
 * tables, as many such cameras send them. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <jpeglib.h>

#include "frame_code.h"

#define EXPORT __attribute__((visibility("default")))

enum { MAX_NODES = 64, MAX_FDS = 4096, MAX_BUFFERS = 32, MJPG_QUALITY = 85 };

/* ---- the camera's formats ---- */

struct frame_size {
    uint32_t width, height;
    int nfps;
    uint32_t fps[6];
};

struct format {
    uint32_t fourcc;
    const char *description;
    uint32_t flags;
    int nsizes;
    const struct frame_size *sizes;
};

/* USB 2.0 bandwidth: raw 4:2:2 reaches 30 fps only at VGA. */
static const struct frame_size yuyv_sizes[] = {
    {640, 480, 6, {30, 25, 20, 15, 10, 5}},
    {320, 240, 6, {30, 25, 20, 15, 10, 5}},
    {1280, 720, 2, {10, 5}},
    {1920, 1080, 1, {5}},
};
static const struct frame_size mjpg_sizes[] = {
    {640, 480, 6, {30, 25, 20, 15, 10, 5}},
    {320, 240, 6, {30, 25, 20, 15, 10, 5}},
    {1280, 720, 6, {30, 25, 20, 15, 10, 5}},
    {1920, 1080, 6, {30, 25, 20, 15, 10, 5}},
};
static const struct format yuyv_format = {V4L2_PIX_FMT_YUYV, "YUYV 4:2:2", 0, 4, yuyv_sizes};
static const struct format mjpg_format = {V4L2_PIX_FMT_MJPEG, "Motion-JPEG", V4L2_FMT_FLAG_COMPRESSED, 4,
                                          mjpg_sizes};

/* ---- controls, a typical camera's few ---- */

struct control {
    uint32_t id;
    const char *name;
    uint32_t type;
    int32_t minimum, maximum, step, default_value;
    uint32_t menu_skip;  /* bit i set: menu index i does not exist */
};

static const struct control controls[] = {
    {V4L2_CID_USER_CLASS, "User Controls", V4L2_CTRL_TYPE_CTRL_CLASS, 0, 0, 0, 0, 0},
    {V4L2_CID_BRIGHTNESS, "Brightness", V4L2_CTRL_TYPE_INTEGER, -64, 64, 1, 0, 0},
    {V4L2_CID_CONTRAST, "Contrast", V4L2_CTRL_TYPE_INTEGER, 0, 64, 1, 32, 0},
    {V4L2_CID_SATURATION, "Saturation", V4L2_CTRL_TYPE_INTEGER, 0, 128, 1, 64, 0},
    {V4L2_CID_AUTO_WHITE_BALANCE, "White Balance, Automatic", V4L2_CTRL_TYPE_BOOLEAN, 0, 1, 1, 1, 0},
    {V4L2_CID_GAIN, "Gain", V4L2_CTRL_TYPE_INTEGER, 0, 100, 1, 0, 0},
    {V4L2_CID_POWER_LINE_FREQUENCY, "Power Line Frequency", V4L2_CTRL_TYPE_MENU, 0, 2, 1, 1, 0},
    {V4L2_CID_CAMERA_CLASS, "Camera Controls", V4L2_CTRL_TYPE_CTRL_CLASS, 0, 0, 0, 0, 0},
    {V4L2_CID_EXPOSURE_AUTO, "Auto Exposure", V4L2_CTRL_TYPE_MENU, 0, 3, 1, 3, 0x5},
    {V4L2_CID_EXPOSURE_ABSOLUTE, "Exposure Time, Absolute", V4L2_CTRL_TYPE_INTEGER, 3, 2047, 1, 250, 0},
};
enum { NCONTROLS = sizeof controls / sizeof controls[0] };

static const char *const power_line_menu[] = {"Disabled", "50 Hz", "60 Hz"};
static const char *const exposure_menu[] = {"", "Manual Mode", "", "Aperture Priority Mode"};

/* ---- pre-built frames ---- */

struct segment {
    size_t offset, length;
};

/* One size's MJPG frames: the header without DHT, the base image's row
 * segments, and per digit the segments of one code band. */
struct mjpg_source {
    uint32_t width, height;
    uint8_t *header;
    size_t header_length;
    int rows;
    uint8_t *base;
    struct segment *base_rows;
    uint8_t *bands[16];
    struct segment band_rows[16][FRAME_CODE_BAND_HEIGHT / 8];
    struct mjpg_source *next;
};

struct yuyv_source {
    uint32_t width, height;
    uint8_t *pixels;
    struct yuyv_source *next;
};

/* ---- nodes and open files ---- */

struct node;

struct file {
    struct node *node;
    int refs;        /* descriptors naming this open file (dups included) */
    int event_fd;    /* a private dup of the eventfd, for the emulator's own use */
};

struct buffer {
    int queued, done;
    uint32_t bytesused, sequence;
    struct timeval timestamp;
};

struct node {
    int index, meta;
    pthread_mutex_t lock;
    pthread_cond_t changed;  /* on the monotonic clock */
    const struct format *format;
    const struct frame_size *size;
    uint32_t fps;
    int32_t values[NCONTROLS];

    struct file *owner;  /* the open file that holds the buffers */
    int nbuffers;
    size_t buffer_length;
    int memfd;
    uint8_t *memory;
    struct buffer buffers[MAX_BUFFERS];
    int queue[MAX_BUFFERS], queue_count;
    int done[MAX_BUFFERS], done_count;
    int streaming;
    pthread_t thread;
    uint32_t sequence, delivered;
    const struct mjpg_source *mjpg;
    const struct yuyv_source *yuyv;
};

static struct node *nodes[MAX_NODES];
static const struct format *formats[2];
static int nformats;
static long stall_after = -1;
static long bad_jpeg_every;
static int logging;
static pthread_once_t config_once = PTHREAD_ONCE_INIT;

static struct file *_Atomic files[MAX_FDS];
static pthread_mutex_t files_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t sources_lock = PTHREAD_MUTEX_INITIALIZER;
static struct mjpg_source *mjpg_sources;
static struct yuyv_source *yuyv_sources;

/* ---- glibc's own functions ---- */

#define REAL(name)                                                    \
    static __typeof__(name) *real_##name;                             \
    if (real_##name == NULL) {                                        \
        void *symbol = dlsym(RTLD_NEXT, #name);                       \
        memcpy(&real_##name, &symbol, sizeof symbol);                 \
    }

static ssize_t plain_read(int fd, void *data, size_t length) {
    REAL(read);
    return real_read(fd, data, length);
}

static ssize_t plain_write(int fd, const void *data, size_t length) {
    REAL(write);
    return real_write(fd, data, length);
}

static int plain_close(int fd) {
    REAL(close);
    return real_close(fd);
}

static void *plain_mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset) {
    REAL(mmap);
    return real_mmap(address, length, protection, flags, fd, offset);
}

/* ---- configuration ---- */

static struct node *new_node(int index, int meta) {
    struct node *node = calloc(1, sizeof *node);
    if (node == NULL) {
        return NULL;
    }
    node->index = index;
    node->meta = meta;
    pthread_mutex_init(&node->lock, NULL);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&node->changed, &attributes);
    pthread_condattr_destroy(&attributes);
    node->format = formats[0];
    node->size = &formats[0]->sizes[0];
    node->fps = node->size->fps[0];
    node->memfd = -1;
    for (int i = 0; i < NCONTROLS; ++i) {
        node->values[i] = controls[i].default_value;
    }
    return node;
}

static void add_nodes(const char *list, int meta) {
    if (list == NULL) {
        return;
    }
    const char *cursor = list;
    while (*cursor != '\0') {
        char *end = NULL;
        const long index = strtol(cursor, &end, 10);
        if (end == cursor) {
            break;
        }
        if (index >= 0 && index < MAX_NODES && nodes[index] == NULL) {
            nodes[index] = new_node((int)index, meta);
        }
        cursor = *end == ',' ? end + 1 : end;
    }
}

static void configure(void) {
    const char *wanted = getenv("V4L2EMU_FORMATS");
    if (wanted == NULL || *wanted == '\0') {
        wanted = "yuyv,mjpg";
    }
    char copy[64];
    snprintf(copy, sizeof copy, "%s", wanted);
    char *saved = NULL;
    for (char *name = strtok_r(copy, ",", &saved); name != NULL && nformats < 2;
         name = strtok_r(NULL, ",", &saved)) {
        if (strcasecmp(name, "yuyv") == 0) {
            formats[nformats++] = &yuyv_format;
        } else if (strcasecmp(name, "mjpg") == 0) {
            formats[nformats++] = &mjpg_format;
        }
    }
    if (nformats == 0) {
        formats[nformats++] = &yuyv_format;
    }
    const char *capture = getenv("V4L2EMU_CAPTURE");
    add_nodes(capture != NULL ? capture : "0", 0);
    add_nodes(getenv("V4L2EMU_META"), 1);
    const char *stall = getenv("V4L2EMU_STALL_AFTER");
    if (stall != NULL && *stall != '\0') {
        stall_after = strtol(stall, NULL, 10);
    }
    const char *bad = getenv("V4L2EMU_BAD_JPEG_EVERY");
    if (bad != NULL && *bad != '\0') {
        bad_jpeg_every = strtol(bad, NULL, 10);
    }
    logging = getenv("V4L2EMU_LOG") != NULL;
}

/* The node behind a path such as /dev/video0, or NULL. */
static struct node *node_for_path(const char *path) {
    static const char prefix[] = "/dev/video";
    if (path == NULL || strncmp(path, prefix, sizeof prefix - 1) != 0) {
        return NULL;
    }
    const char *digits = path + sizeof prefix - 1;
    if (*digits < '0' || *digits > '9') {
        return NULL;
    }
    char *end = NULL;
    const long index = strtol(digits, &end, 10);
    if (*end != '\0' || index >= MAX_NODES) {
        return NULL;
    }
    pthread_once(&config_once, configure);
    return nodes[index];
}

static struct file *file_for(int fd) {
    if (fd < 0 || fd >= MAX_FDS) {
        return NULL;
    }
    return files[fd];
}

/* ---- frame content ---- */

static uint8_t background_luma(uint32_t x, uint32_t y) {
    /* Gradients with fine texture, so the JPEG has a camera-like size. */
    const uint32_t hash = (x * 2654435761u) ^ (y * 40503u) ^ ((x >> 3) * (y >> 3) * 97u);
    return (uint8_t)(40 + ((x + y) * 160u) / 3000u + ((hash >> 11) & 31u));
}

static void background_chroma(uint32_t x, uint32_t y, uint32_t width, uint32_t height, uint8_t *cb, uint8_t *cr) {
    *cb = (uint8_t)(96 + x * 64u / width);
    *cr = (uint8_t)(160 - y * 64u / height);
}

static int code_digit(uint32_t number, int band) {
    return (int)((number >> (4 * (FRAME_CODE_DIGITS - 1 - band))) & 0xfu);
}

/* The grey of row y of the code bands in the frame numbered number. */
static uint8_t band_level(uint32_t y, uint32_t number) {
    const int band = (int)(y / FRAME_CODE_BAND_HEIGHT);
    if (band < FRAME_CODE_DIGITS) {
        return (uint8_t)FRAME_CODE_LEVEL(code_digit(number, band));
    }
    return (uint8_t)FRAME_CODE_LEVEL(band == FRAME_CODE_DIGITS ? 0 : 15);
}

static const struct yuyv_source *yuyv_source_for(uint32_t width, uint32_t height) {
    pthread_mutex_lock(&sources_lock);
    struct yuyv_source *source = yuyv_sources;
    while (source != NULL && (source->width != width || source->height != height)) {
        source = source->next;
    }
    if (source == NULL && (source = calloc(1, sizeof *source)) != NULL) {
        source->width = width;
        source->height = height;
        source->pixels = malloc((size_t)width * height * 2);
        if (source->pixels == NULL) {
            free(source);
            source = NULL;
        } else {
            for (uint32_t y = 0; y < height; ++y) {
                uint8_t *row = source->pixels + (size_t)y * width * 2;
                for (uint32_t x = 0; x < width; x += 2) {
                    uint8_t cb = 128, cr = 128;
                    if (y < FRAME_CODE_BANDS * FRAME_CODE_BAND_HEIGHT) {
                        row[2 * x] = row[2 * x + 2] = band_level(y, 0);
                    } else {
                        background_chroma(x, y, width, height, &cb, &cr);
                        row[2 * x] = background_luma(x, y);
                        row[2 * x + 2] = background_luma(x + 1, y);
                    }
                    row[2 * x + 1] = cb;
                    row[2 * x + 3] = cr;
                }
            }
            source->next = yuyv_sources;
            yuyv_sources = source;
        }
    }
    pthread_mutex_unlock(&sources_lock);
    return source;
}

static size_t fill_yuyv(const struct yuyv_source *source, uint8_t *out, uint32_t number) {
    const size_t stride = (size_t)source->width * 2;
    memcpy(out, source->pixels, stride * source->height);
    for (uint32_t y = 0; y < FRAME_CODE_DIGITS * FRAME_CODE_BAND_HEIGHT; ++y) {
        const uint8_t level = band_level(y, number);
        uint8_t *row = out + y * stride;
        for (size_t i = 0; i < stride; i += 2) {
            row[i] = level;
        }
    }
    return stride * source->height;
}

/* Encodes a YCbCr 4:4:4 image as 4:2:2 baseline JPEG with the standard
 * Huffman tables and one restart interval per MCU row. */
static int encode_jpeg(const uint8_t *ycc, uint32_t width, uint32_t height, uint8_t **out, unsigned long *length) {
    struct jpeg_compress_struct info;
    struct jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    *out = NULL;
    *length = 0;
    jpeg_mem_dest(&info, out, length);
    info.image_width = width;
    info.image_height = height;
    info.input_components = 3;
    info.in_color_space = JCS_YCbCr;
    jpeg_set_defaults(&info);
    jpeg_set_colorspace(&info, JCS_YCbCr);
    info.comp_info[0].h_samp_factor = 2;
    info.comp_info[0].v_samp_factor = 1;
    info.comp_info[1].h_samp_factor = info.comp_info[1].v_samp_factor = 1;
    info.comp_info[2].h_samp_factor = info.comp_info[2].v_samp_factor = 1;
    info.restart_in_rows = 1;
    jpeg_set_quality(&info, MJPG_QUALITY, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < height) {
        JSAMPROW row = (JSAMPROW)(ycc + (size_t)info.next_scanline * width * 3);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return *out != NULL ? 0 : -1;
}

/* Splits a JPEG written by encode_jpeg: header up to the scan data without
 * its DHT segments, and the entropy-coded segment of each MCU row. Returns
 * the number of rows, or -1. */
static int split_jpeg(const uint8_t *jpeg, size_t length, uint8_t **header, size_t *header_length,
                      struct segment *rows, int max_rows) {
    if (length < 4 || jpeg[0] != 0xff || jpeg[1] != 0xd8) {
        return -1;
    }
    uint8_t *kept = malloc(length);
    if (kept == NULL) {
        return -1;
    }
    size_t kept_length = 0;
    kept[kept_length++] = 0xff;
    kept[kept_length++] = 0xd8;
    size_t at = 2;
    for (;;) {
        if (at + 4 > length || jpeg[at] != 0xff) {
            free(kept);
            return -1;
        }
        const uint8_t marker = jpeg[at + 1];
        const size_t segment_length = ((size_t)jpeg[at + 2] << 8) | jpeg[at + 3];
        if (at + 2 + segment_length > length) {
            free(kept);
            return -1;
        }
        if (marker != 0xc4) {
            memcpy(kept + kept_length, jpeg + at, 2 + segment_length);
            kept_length += 2 + segment_length;
        }
        at += 2 + segment_length;
        if (marker == 0xda) {
            break;
        }
    }
    int count = 0;
    size_t start = at;
    while (at + 1 < length) {
        if (jpeg[at] == 0xff && jpeg[at + 1] != 0x00) {
            const uint8_t marker = jpeg[at + 1];
            if ((marker >= 0xd0 && marker <= 0xd7) || marker == 0xd9) {
                if (count == max_rows) {
                    free(kept);
                    return -1;
                }
                rows[count].offset = start;
                rows[count].length = at - start;
                ++count;
                if (marker == 0xd9) {
                    *header = kept;
                    *header_length = kept_length;
                    return count;
                }
                start = at + 2;
            }
            at += 2;
        } else {
            ++at;
        }
    }
    free(kept);
    return -1;
}

static void fill_ycc(uint8_t *ycc, uint32_t width, uint32_t height, int flat_digit) {
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t *pixel = ycc + ((size_t)y * width + x) * 3;
            if (flat_digit >= 0 || y < FRAME_CODE_BANDS * FRAME_CODE_BAND_HEIGHT) {
                pixel[0] = (uint8_t)(flat_digit >= 0 ? FRAME_CODE_LEVEL(flat_digit) : band_level(y, 0));
                pixel[1] = pixel[2] = 128;
            } else {
                pixel[0] = background_luma(x, y);
                background_chroma(x & ~1u, y, width, height, &pixel[1], &pixel[2]);
            }
        }
    }
}

static struct mjpg_source *build_mjpg_source(uint32_t width, uint32_t height) {
    struct mjpg_source *source = calloc(1, sizeof *source);
    uint8_t *ycc = malloc((size_t)width * height * 3);
    if (source == NULL || ycc == NULL) {
        free(source);
        free(ycc);
        return NULL;
    }
    source->width = width;
    source->height = height;
    const int max_rows = (int)(height + 7) / 8;
    source->base_rows = calloc((size_t)max_rows, sizeof *source->base_rows);
    unsigned long length = 0;
    fill_ycc(ycc, width, height, -1);
    int ok = source->base_rows != NULL && encode_jpeg(ycc, width, height, &source->base, &length) == 0;
    if (ok) {
        source->rows = split_jpeg(source->base, length, &source->header, &source->header_length, source->base_rows,
                                  max_rows);
        ok = source->rows == max_rows;
    }
    for (int digit = 0; ok && digit < 16; ++digit) {
        uint8_t *header = NULL;
        size_t header_length = 0;
        fill_ycc(ycc, width, FRAME_CODE_BAND_HEIGHT, digit);
        ok = encode_jpeg(ycc, width, FRAME_CODE_BAND_HEIGHT, &source->bands[digit], &length) == 0 &&
             split_jpeg(source->bands[digit], length, &header, &header_length, source->band_rows[digit],
                        FRAME_CODE_BAND_HEIGHT / 8) == FRAME_CODE_BAND_HEIGHT / 8;
        free(header);
    }
    free(ycc);
    if (!ok) {
        fprintf(stderr, "v4l2emu: cannot build %ux%u MJPG frames\n", width, height);
        return NULL;  /* leaked: happens only on a broken libjpeg */
    }
    return source;
}

static const struct mjpg_source *mjpg_source_for(uint32_t width, uint32_t height) {
    pthread_mutex_lock(&sources_lock);
    struct mjpg_source *source = mjpg_sources;
    while (source != NULL && (source->width != width || source->height != height)) {
        source = source->next;
    }
    if (source == NULL && (source = build_mjpg_source(width, height)) != NULL) {
        source->next = mjpg_sources;
        mjpg_sources = source;
    }
    pthread_mutex_unlock(&sources_lock);
    return source;
}

/* Sets the height in the frame's SOF0 segment to 0. */
static void spoil_jpeg(uint8_t *jpeg, size_t header_length) {
    for (size_t at = 2; at + 9 < header_length; ++at) {
        if (jpeg[at] == 0xff && jpeg[at + 1] == 0xc0) {
            jpeg[at + 5] = jpeg[at + 6] = 0;
            return;
        }
    }
}

static size_t fill_mjpg(const struct mjpg_source *source, uint8_t *out, size_t capacity, uint32_t number) {
    const int band_rows = FRAME_CODE_BAND_HEIGHT / 8;
    size_t at = 0;
    if (source->header_length > capacity) {
        return 0;
    }
    memcpy(out, source->header, source->header_length);
    at = source->header_length;
    for (int row = 0; row < source->rows; ++row) {
        const uint8_t *from;
        struct segment segment;
        if (row < FRAME_CODE_DIGITS * band_rows) {
            const int digit = code_digit(number, row / band_rows);
            from = source->bands[digit];
            segment = source->band_rows[digit][row % band_rows];
        } else {
            from = source->base;
            segment = source->base_rows[row];
        }
        if (at + segment.length + 2 > capacity) {
            return 0;
        }
        memcpy(out + at, from + segment.offset, segment.length);
        at += segment.length;
        out[at++] = 0xff;
        out[at++] = row + 1 < source->rows ? (uint8_t)(0xd0 + (row & 7)) : 0xd9;
    }
    if (bad_jpeg_every > 0 && number % (uint32_t)bad_jpeg_every == 0) {
        spoil_jpeg(out, source->header_length);
    }
    return at;
}

/* ---- streaming ---- */

static void *pace(void *argument) {
    struct node *node = argument;
    const int64_t period = 1000000000 / node->fps;
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    pthread_mutex_lock(&node->lock);
    while (node->streaming) {
        next.tv_nsec += period;
        while (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            ++next.tv_sec;
        }
        while (node->streaming && pthread_cond_timedwait(&node->changed, &node->lock, &next) != ETIMEDOUT) {
        }
        if (!node->streaming) {
            break;
        }
        /* A camera keeps its own clock: frames missed while this thread
         * was not scheduled are lost, not sent late. */
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const int64_t late = (now.tv_sec - next.tv_sec) * 1000000000 + (now.tv_nsec - next.tv_nsec);
        if (late >= period) {
            const int64_t missed = late / period;
            node->sequence += (uint32_t)missed;
            next.tv_sec += (missed * period) / 1000000000;
            next.tv_nsec += (missed * period) % 1000000000;
            if (next.tv_nsec >= 1000000000) {
                next.tv_nsec -= 1000000000;
                ++next.tv_sec;
            }
        }
        const uint32_t sequence = node->sequence++;
        if (node->queue_count == 0 || (stall_after >= 0 && node->delivered >= (uint32_t)stall_after)) {
            continue;  /* no buffer to fill: the frame is dropped */
        }
        const int index = node->queue[0];
        memmove(node->queue, node->queue + 1, sizeof node->queue[0] * (size_t)--node->queue_count);
        struct buffer *buffer = &node->buffers[index];
        buffer->queued = 0;
        uint8_t *data = node->memory + (size_t)index * node->buffer_length;
        const uint32_t number = sequence % FRAME_CODE_MODULUS;
        pthread_mutex_unlock(&node->lock);
        const size_t used = node->mjpg != NULL ? fill_mjpg(node->mjpg, data, node->buffer_length, number)
                                               : fill_yuyv(node->yuyv, data, number);
        pthread_mutex_lock(&node->lock);
        if (!node->streaming) {
            break;
        }
        buffer->done = 1;
        buffer->bytesused = (uint32_t)used;
        buffer->sequence = sequence;
        buffer->timestamp.tv_sec = next.tv_sec;
        buffer->timestamp.tv_usec = next.tv_nsec / 1000;
        node->done[node->done_count++] = index;
        ++node->delivered;
        const uint64_t one = 1;
        if (plain_write(node->owner->event_fd, &one, sizeof one) != sizeof one) {
            fprintf(stderr, "v4l2emu: eventfd write failed\n");
        }
        pthread_cond_broadcast(&node->changed);
    }
    pthread_mutex_unlock(&node->lock);
    return NULL;
}

/* Called with the node locked. */
static void stream_off(struct node *node) {
    if (node->streaming) {
        node->streaming = 0;
        pthread_cond_broadcast(&node->changed);
        pthread_mutex_unlock(&node->lock);
        pthread_join(node->thread, NULL);
        pthread_mutex_lock(&node->lock);
    }
    uint64_t value;
    for (int i = 0; i < node->done_count; ++i) {
        if (plain_read(node->owner->event_fd, &value, sizeof value) != sizeof value) {
            break;
        }
    }
    node->queue_count = node->done_count = 0;
    for (int i = 0; i < node->nbuffers; ++i) {
        node->buffers[i].queued = node->buffers[i].done = 0;
    }
}

/* Called with the node locked. */
static void release_buffers(struct node *node) {
    if (node->owner != NULL) {
        stream_off(node);
    }
    if (node->memory != NULL) {
        munmap(node->memory, node->buffer_length * (size_t)node->nbuffers);
        node->memory = NULL;
    }
    if (node->memfd >= 0) {
        plain_close(node->memfd);
        node->memfd = -1;
    }
    node->nbuffers = 0;
    node->owner = NULL;
}

static size_t size_image(const struct node *node) {
    return (size_t)node->size->width * node->size->height * 2;
}

/* ---- negotiation, as the driver does it ---- */

static const struct format *find_format(uint32_t fourcc) {
    for (int i = 0; i < nformats; ++i) {
        if (formats[i]->fourcc == fourcc) {
            return formats[i];
        }
    }
    return NULL;
}

static const struct frame_size *nearest_size(const struct format *format, uint32_t width, uint32_t height) {
    const struct frame_size *best = &format->sizes[0];
    uint64_t best_distance = UINT64_MAX;
    for (int i = 0; i < format->nsizes; ++i) {
        const struct frame_size *size = &format->sizes[i];
        const uint64_t overlap = (uint64_t)(size->width < width ? size->width : width) *
                                 (size->height < height ? size->height : height);
        const uint64_t distance = (uint64_t)size->width * size->height + (uint64_t)width * height - 2 * overlap;
        if (distance < best_distance) {
            best_distance = distance;
            best = size;
        }
    }
    return best;
}

/* The frame rate whose interval is nearest to numerator/denominator s. */
static uint32_t nearest_fps(const struct frame_size *size, uint32_t numerator, uint32_t denominator) {
    const double wanted = denominator == 0 ? 0.0 : (double)numerator / denominator;
    uint32_t best = size->fps[0];
    double best_distance = 1e30;
    for (int i = 0; i < size->nfps; ++i) {
        const double interval = 1.0 / size->fps[i];
        const double distance = interval > wanted ? interval - wanted : wanted - interval;
        if (distance < best_distance) {
            best_distance = distance;
            best = size->fps[i];
        }
    }
    return best;
}

static void describe_format(const struct format *format, const struct frame_size *size, struct v4l2_format *out) {
    memset(&out->fmt, 0, sizeof out->fmt);
    out->fmt.pix.width = size->width;
    out->fmt.pix.height = size->height;
    out->fmt.pix.pixelformat = format->fourcc;
    out->fmt.pix.field = V4L2_FIELD_NONE;
    out->fmt.pix.bytesperline = format->fourcc == V4L2_PIX_FMT_YUYV ? size->width * 2 : 0;
    out->fmt.pix.sizeimage = size->width * size->height * 2;
    out->fmt.pix.colorspace = V4L2_COLORSPACE_SRGB;
    out->fmt.pix.priv = V4L2_PIX_FMT_PRIV_MAGIC;
}

/* ---- ioctls ---- */

static int fail(int error) {
    errno = error;
    return -1;
}

static const struct control *find_control(uint32_t id, int next, int *index) {
    for (int i = 0; i < NCONTROLS; ++i) {
        if (next ? controls[i].id > id : controls[i].id == id) {
            *index = i;
            return &controls[i];
        }
    }
    return NULL;
}

/* 0, or why the control cannot take the value. */
static int control_value_error(const struct control *control, int32_t value) {
    if (control->type == V4L2_CTRL_TYPE_CTRL_CLASS) {
        return EACCES;
    }
    if (value < control->minimum || value > control->maximum) {
        return ERANGE;
    }
    return control->type == V4L2_CTRL_TYPE_MENU && ((control->menu_skip >> value) & 1u) != 0 ? EINVAL : 0;
}

static uint32_t control_flags(const struct control *control) {
    return control->type == V4L2_CTRL_TYPE_CTRL_CLASS ? V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY : 0;
}

static int do_ext_controls(struct node *node, struct v4l2_ext_controls *request, int set, int apply) {
    const uint32_t which = request->which;
    for (uint32_t i = 0; i < request->count; ++i) {
        int index = 0;
        const struct control *control = find_control(request->controls[i].id, 0, &index);
        int error = control == NULL ? EINVAL : 0;
        if (error == 0 && which != V4L2_CTRL_WHICH_CUR_VAL && which != V4L2_CTRL_WHICH_DEF_VAL &&
            V4L2_CTRL_ID2WHICH(control->id) != which) {
            error = EINVAL;  /* a control of another class, or a request */
        }
        if (error == 0 && (set || control->type == V4L2_CTRL_TYPE_CTRL_CLASS)) {
            error = control_value_error(control, set ? request->controls[i].value : 0);
            if (!set && error != 0) {
                error = EACCES;
            }
        }
        if (error != 0) {
            /* Only TRY points at the control; G and S report a failed check of the whole list. */
            request->error_idx = set && !apply ? i : request->count;
            return fail(error);
        }
        if (!set) {
            request->controls[i].value =
                request->which == V4L2_CTRL_WHICH_DEF_VAL ? control->default_value : node->values[index];
        } else if (apply) {
            node->values[index] = request->controls[i].value;
        }
    }
    return 0;
}

static int meta_ioctl(struct node *node, unsigned long request, void *argument) {
    (void)node;
    switch (request) {
    case VIDIOC_ENUM_FMT: {
        struct v4l2_fmtdesc *description = argument;
        if (description->type != V4L2_BUF_TYPE_META_CAPTURE || description->index != 0) {
            return fail(EINVAL);
        }
        const uint32_t index = description->index, type = description->type;
        memset(description, 0, sizeof *description);
        description->index = index;
        description->type = type;
        description->pixelformat = V4L2_META_FMT_UVC;
        snprintf((char *)description->description, sizeof description->description, "UVC Payload Header Metadata");
        return 0;
    }
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT: {
        struct v4l2_format *format = argument;
        if (format->type != V4L2_BUF_TYPE_META_CAPTURE) {
            return fail(EINVAL);
        }
        memset(&format->fmt, 0, sizeof format->fmt);
        format->fmt.meta.dataformat = V4L2_META_FMT_UVC;
        format->fmt.meta.buffersize = 10240;
        return 0;
    }
    default:
        return fail(request == VIDIOC_REQBUFS || request == VIDIOC_STREAMON || request == VIDIOC_G_PARM ||
                            request == VIDIOC_S_PARM || request == VIDIOC_ENUM_FRAMESIZES
                        ? EINVAL
                        : ENOTTY);
    }
}

static void describe_buffer(const struct node *node, int index, struct v4l2_buffer *out) {
    const struct buffer *buffer = &node->buffers[index];
    memset(out, 0, sizeof *out);
    out->index = (uint32_t)index;
    out->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    out->memory = V4L2_MEMORY_MMAP;
    out->m.offset = (uint32_t)(index * node->buffer_length);
    out->length = (uint32_t)size_image(node);
    out->field = V4L2_FIELD_NONE;
    out->flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE;
    if (buffer->queued) {
        out->flags |= V4L2_BUF_FLAG_QUEUED;
    }
    if (buffer->done) {
        out->flags |= V4L2_BUF_FLAG_DONE;
    }
    out->bytesused = buffer->bytesused;
    out->sequence = buffer->sequence;
    out->timestamp = buffer->timestamp;
}

static int blocking(int fd) {
    REAL(fcntl);
    const int flags = real_fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) == 0;
}

/* Called with the node locked. */
static int capture_ioctl(int fd, struct file *file, unsigned long request, void *argument) {
    struct node *node = file->node;
    switch (request) {
    case VIDIOC_ENUM_FMT: {
        struct v4l2_fmtdesc *description = argument;
        if (description->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || description->index >= (uint32_t)nformats) {
            return fail(EINVAL);
        }
        const struct format *format = formats[description->index];
        const uint32_t index = description->index;
        memset(description, 0, sizeof *description);
        description->index = index;
        description->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        description->flags = format->flags;
        description->pixelformat = format->fourcc;
        snprintf((char *)description->description, sizeof description->description, "%s", format->description);
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        struct v4l2_frmsizeenum *sizes = argument;
        const struct format *format = find_format(sizes->pixel_format);
        if (format == NULL || sizes->index >= (uint32_t)format->nsizes) {
            return fail(EINVAL);
        }
        sizes->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        sizes->discrete.width = format->sizes[sizes->index].width;
        sizes->discrete.height = format->sizes[sizes->index].height;
        memset(sizes->reserved, 0, sizeof sizes->reserved);
        return 0;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
        struct v4l2_frmivalenum *intervals = argument;
        const struct format *format = find_format(intervals->pixel_format);
        if (format == NULL) {
            return fail(EINVAL);
        }
        for (int i = 0; i < format->nsizes; ++i) {
            const struct frame_size *size = &format->sizes[i];
            if (size->width == intervals->width && size->height == intervals->height) {
                if (intervals->index >= (uint32_t)size->nfps) {
                    return fail(EINVAL);
                }
                intervals->type = V4L2_FRMIVAL_TYPE_DISCRETE;
                intervals->discrete.numerator = 1;
                intervals->discrete.denominator = size->fps[intervals->index];
                memset(intervals->reserved, 0, sizeof intervals->reserved);
                return 0;
            }
        }
        return fail(EINVAL);
    }
    case VIDIOC_G_FMT: {
        struct v4l2_format *format = argument;
        if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
            return fail(EINVAL);
        }
        describe_format(node->format, node->size, format);
        return 0;
    }
    case VIDIOC_TRY_FMT:
    case VIDIOC_S_FMT: {
        struct v4l2_format *format = argument;
        if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
            return fail(EINVAL);
        }
        const struct format *chosen = find_format(format->fmt.pix.pixelformat);
        if (chosen == NULL) {
            chosen = formats[0];
        }
        const struct frame_size *size = nearest_size(chosen, format->fmt.pix.width, format->fmt.pix.height);
        if (request == VIDIOC_S_FMT) {
            if (node->streaming || node->nbuffers > 0) {
                return fail(EBUSY);  /* the driver refuses while buffers exist */
            }
            node->format = chosen;
            node->size = size;
            node->fps = nearest_fps(size, 1, node->fps);
        }
        describe_format(chosen, size, format);
        return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
        struct v4l2_streamparm *parameters = argument;
        if (parameters->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
            return fail(EINVAL);
        }
        if (request == VIDIOC_S_PARM) {
            if (node->streaming) {
                return fail(EBUSY);
            }
            node->fps = nearest_fps(node->size, parameters->parm.capture.timeperframe.numerator,
                                    parameters->parm.capture.timeperframe.denominator);
        }
        memset(&parameters->parm, 0, sizeof parameters->parm);
        parameters->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        parameters->parm.capture.timeperframe.numerator = 1;
        parameters->parm.capture.timeperframe.denominator = node->fps;
        return 0;
    }
    case VIDIOC_ENUMINPUT: {
        struct v4l2_input *input = argument;
        if (input->index != 0) {
            return fail(EINVAL);
        }
        memset(input, 0, sizeof *input);
        snprintf((char *)input->name, sizeof input->name, "Camera 1");
        input->type = V4L2_INPUT_TYPE_CAMERA;
        return 0;
    }
    case VIDIOC_G_INPUT:
        *(int *)argument = 0;
        return 0;
    case VIDIOC_S_INPUT:
        return *(int *)argument == 0 ? 0 : fail(EINVAL);
    case VIDIOC_QUERYCTRL: {
        struct v4l2_queryctrl *query = argument;
        const int next = (query->id & V4L2_CTRL_FLAG_NEXT_CTRL) != 0;
        int index = 0;
        const struct control *control =
            find_control(query->id & ~V4L2_CTRL_FLAG_NEXT_COMPOUND & ~V4L2_CTRL_FLAG_NEXT_CTRL, next, &index);
        if (control == NULL) {
            return fail(EINVAL);
        }
        memset(query, 0, sizeof *query);
        query->id = control->id;
        query->type = control->type;
        snprintf((char *)query->name, sizeof query->name, "%s", control->name);
        query->minimum = control->minimum;
        query->maximum = control->maximum;
        query->step = control->step;
        query->default_value = control->default_value;
        query->flags = control_flags(control);
        return 0;
    }
    case VIDIOC_QUERY_EXT_CTRL: {
        struct v4l2_query_ext_ctrl *query = argument;
        const int next = (query->id & V4L2_CTRL_FLAG_NEXT_CTRL) != 0;
        int index = 0;
        const struct control *control =
            find_control(query->id & ~V4L2_CTRL_FLAG_NEXT_COMPOUND & ~V4L2_CTRL_FLAG_NEXT_CTRL, next, &index);
        if (control == NULL) {
            return fail(EINVAL);
        }
        memset(query, 0, sizeof *query);
        query->id = control->id;
        query->type = control->type;
        snprintf(query->name, sizeof query->name, "%s", control->name);
        query->minimum = control->minimum;
        query->maximum = control->maximum;
        query->step = (uint64_t)control->step;
        query->default_value = control->default_value;
        query->flags = control_flags(control);
        if (control->type != V4L2_CTRL_TYPE_CTRL_CLASS) {
            query->elem_size = sizeof(int32_t);
            query->elems = 1;
        }
        return 0;
    }
    case VIDIOC_QUERYMENU: {
        struct v4l2_querymenu *menu = argument;
        int index = 0;
        const struct control *control = find_control(menu->id, 0, &index);
        if (control == NULL || control->type != V4L2_CTRL_TYPE_MENU || (int64_t)menu->index > control->maximum ||
            ((control->menu_skip >> menu->index) & 1u) != 0) {
            return fail(EINVAL);
        }
        const char *name = control->id == V4L2_CID_POWER_LINE_FREQUENCY ? power_line_menu[menu->index]
                                                                         : exposure_menu[menu->index];
        const uint32_t menu_id = menu->id, menu_index = menu->index;
        memset(menu, 0, sizeof *menu);
        menu->id = menu_id;
        menu->index = menu_index;
        snprintf((char *)menu->name, sizeof menu->name, "%s", name);
        return 0;
    }
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL: {
        struct v4l2_control *value = argument;
        int index = 0;
        const struct control *control = find_control(value->id, 0, &index);
        if (control == NULL) {
            return fail(EINVAL);
        }
        if (control->type == V4L2_CTRL_TYPE_CTRL_CLASS) {
            return fail(EACCES);
        }
        if (request == VIDIOC_G_CTRL) {
            value->value = node->values[index];
            return 0;
        }
        const int error = control_value_error(control, value->value);
        if (error != 0) {
            return fail(error);
        }
        node->values[index] = value->value;
        return 0;
    }
    case VIDIOC_G_EXT_CTRLS:
        return do_ext_controls(node, argument, 0, 0);
    case VIDIOC_TRY_EXT_CTRLS:
        return do_ext_controls(node, argument, 1, 0);
    case VIDIOC_S_EXT_CTRLS:
        return do_ext_controls(node, argument, 1, 1);
    case VIDIOC_G_PRIORITY:
        *(uint32_t *)argument = V4L2_PRIORITY_DEFAULT;
        return 0;
    case VIDIOC_S_PRIORITY:
        return 0;
    case VIDIOC_REQBUFS: {
        struct v4l2_requestbuffers *buffers = argument;
        if (buffers->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffers->memory != V4L2_MEMORY_MMAP) {
            return fail(EINVAL);
        }
        if (node->owner != NULL && node->owner != file) {
            return fail(EBUSY);
        }
        if (node->streaming) {
            return fail(EBUSY);
        }
        release_buffers(node);
        memset(buffers->reserved, 0, sizeof buffers->reserved);
        buffers->flags = 0;
        buffers->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
        if (buffers->count == 0) {
            return 0;
        }
        if (buffers->count > MAX_BUFFERS) {
            buffers->count = MAX_BUFFERS;
        }
        const size_t page = (size_t)sysconf(_SC_PAGESIZE);
        node->buffer_length = (size_image(node) + page - 1) / page * page;
        const size_t total = node->buffer_length * buffers->count;
        node->memfd = memfd_create("v4l2emu", MFD_CLOEXEC);
        if (node->memfd < 0 || ftruncate(node->memfd, (off_t)total) != 0) {
            release_buffers(node);
            return fail(ENOMEM);
        }
        node->memory = plain_mmap(NULL, total, PROT_READ | PROT_WRITE, MAP_SHARED, node->memfd, 0);
        if (node->memory == MAP_FAILED) {
            node->memory = NULL;
            release_buffers(node);
            return fail(ENOMEM);
        }
        node->nbuffers = (int)buffers->count;
        memset(node->buffers, 0, sizeof node->buffers);
        node->owner = file;
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF: {
        struct v4l2_buffer *buffer = argument;
        if (buffer->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
            return fail(EINVAL);
        }
        if (node->owner != file && node->owner != NULL) {
            return fail(EBUSY);
        }
        if (request == VIDIOC_DQBUF) {
            if (buffer->memory != V4L2_MEMORY_MMAP) {
                return fail(EINVAL);
            }
            while (node->streaming && node->done_count == 0) {
                if (!blocking(fd)) {
                    return fail(EAGAIN);
                }
                pthread_cond_wait(&node->changed, &node->lock);
            }
            if (!node->streaming || node->owner != file) {
                return fail(EINVAL);
            }
            const int index = node->done[0];
            memmove(node->done, node->done + 1, sizeof node->done[0] * (size_t)--node->done_count);
            uint64_t value;
            if (plain_read(file->event_fd, &value, sizeof value) != sizeof value) {
                fprintf(stderr, "v4l2emu: eventfd read failed\n");
            }
            node->buffers[index].done = 0;
            describe_buffer(node, index, buffer);
            return 0;
        }
        if (buffer->index >= (uint32_t)node->nbuffers) {
            return fail(EINVAL);
        }
        const int index = (int)buffer->index;
        if (request == VIDIOC_QBUF) {
            if (buffer->flags & V4L2_BUF_FLAG_REQUEST_FD) {
                return fail(EBADR);  /* no media requests */
            }
            if (buffer->memory != V4L2_MEMORY_MMAP || node->buffers[index].queued || node->buffers[index].done) {
                return fail(EINVAL);
            }
            node->buffers[index].queued = 1;
            node->buffers[index].bytesused = 0;
            node->queue[node->queue_count++] = index;
        }
        describe_buffer(node, index, buffer);
        return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
        if (*(int *)argument != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
            return fail(EINVAL);
        }
        if (node->owner != NULL && node->owner != file) {
            return fail(EBUSY);
        }
        if (request == VIDIOC_STREAMOFF) {
            if (node->owner != NULL) {
                stream_off(node);
            }
            return 0;
        }
        if (node->owner == NULL) {
            return fail(EINVAL);  /* no buffers */
        }
        if (node->streaming) {
            return 0;
        }
        node->mjpg = NULL;
        node->yuyv = NULL;
        if (node->format->fourcc == V4L2_PIX_FMT_MJPEG) {
            node->mjpg = mjpg_source_for(node->size->width, node->size->height);
        } else {
            node->yuyv = yuyv_source_for(node->size->width, node->size->height);
        }
        if (node->mjpg == NULL && node->yuyv == NULL) {
            return fail(EIO);
        }
        if (logging) {
            const uint32_t fourcc = node->format->fourcc;
            fprintf(stderr, "v4l2emu: /dev/video%d streams %c%c%c%c %ux%u at %u fps\n", node->index,
                    (char)(fourcc & 0xff), (char)((fourcc >> 8) & 0xff), (char)((fourcc >> 16) & 0xff),
                    (char)(fourcc >> 24), node->size->width, node->size->height, node->fps);
        }
        node->sequence = 0;
        node->streaming = 1;
        if (pthread_create(&node->thread, NULL, pace, node) != 0) {
            node->streaming = 0;
            return fail(EIO);
        }
        return 0;
    }
    default:
        /* What the driver does not implement: standards, DV timings,
         * cropping, overlays, buffer export, read(). */
        return fail(ENOTTY);
    }
}

static const char *ioctl_name(unsigned long request) {
    switch (request) {
#define NAME(r) case r: return #r;
    NAME(VIDIOC_QUERYCAP) NAME(VIDIOC_ENUM_FMT) NAME(VIDIOC_G_FMT) NAME(VIDIOC_S_FMT) NAME(VIDIOC_TRY_FMT)
    NAME(VIDIOC_REQBUFS) NAME(VIDIOC_QUERYBUF) NAME(VIDIOC_QBUF) NAME(VIDIOC_DQBUF) NAME(VIDIOC_STREAMON)
    NAME(VIDIOC_STREAMOFF) NAME(VIDIOC_G_PARM) NAME(VIDIOC_S_PARM) NAME(VIDIOC_ENUM_FRAMESIZES)
    NAME(VIDIOC_ENUM_FRAMEINTERVALS) NAME(VIDIOC_QUERYCTRL) NAME(VIDIOC_QUERY_EXT_CTRL) NAME(VIDIOC_G_CTRL)
    NAME(VIDIOC_S_CTRL) NAME(VIDIOC_G_EXT_CTRLS) NAME(VIDIOC_S_EXT_CTRLS) NAME(VIDIOC_ENUMINPUT)
    NAME(VIDIOC_G_INPUT) NAME(VIDIOC_S_INPUT) NAME(VIDIOC_CROPCAP) NAME(VIDIOC_G_SELECTION)
    NAME(VIDIOC_EXPBUF) NAME(VIDIOC_CREATE_BUFS) NAME(VIDIOC_G_STD) NAME(VIDIOC_ENUMSTD)
    NAME(VIDIOC_SUBSCRIBE_EVENT) NAME(VIDIOC_QUERYMENU) NAME(VIDIOC_G_PRIORITY)
#undef NAME
    default:
        return "?";
    }
}

static int emulated_ioctl(int fd, struct file *file, unsigned long request, void *argument) {
    struct node *node = file->node;
    if (argument == NULL) {
        return fail(strcmp(ioctl_name(request), "?") == 0 ? ENOTTY : EFAULT);
    }
    if (request == VIDIOC_QUERYCAP) {
        struct v4l2_capability *capability = argument;
        memset(capability, 0, sizeof *capability);
        snprintf((char *)capability->driver, sizeof capability->driver, "uvcvideo");
        snprintf((char *)capability->card, sizeof capability->card, "Emulated 1080p Webcam");
        snprintf((char *)capability->bus_info, sizeof capability->bus_info, "usb-0000:00:14.0-%d", node->index + 1);
        capability->version = (6u << 16) | (1u << 8);
        capability->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING |
                                   V4L2_CAP_EXT_PIX_FORMAT | V4L2_CAP_DEVICE_CAPS;
        capability->device_caps = (node->meta ? V4L2_CAP_META_CAPTURE : V4L2_CAP_VIDEO_CAPTURE) |
                                  V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
        return 0;
    }
    pthread_mutex_lock(&node->lock);
    const int result = node->meta ? meta_ioctl(node, request, argument) : capture_ioctl(fd, file, request, argument);
    pthread_mutex_unlock(&node->lock);
    return result;
}

/* ---- descriptors ---- */

static int open_node(struct node *node, int flags) {
    if ((flags & O_ACCMODE) == O_WRONLY) {
        return fail(EINVAL);
    }
    struct file *file = calloc(1, sizeof *file);
    if (file == NULL) {
        return fail(ENOMEM);
    }
    const int fd = eventfd(0, EFD_SEMAPHORE | ((flags & O_NONBLOCK) ? EFD_NONBLOCK : 0) |
                                  ((flags & O_CLOEXEC) ? EFD_CLOEXEC : 0));
    REAL(fcntl);
    file->event_fd = fd < 0 ? -1 : real_fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (file->event_fd < 0 || fd >= MAX_FDS) {
        const int error = fd >= MAX_FDS ? EMFILE : errno;
        if (fd >= 0) {
            plain_close(fd);
        }
        if (file->event_fd >= 0) {
            plain_close(file->event_fd);
        }
        free(file);
        return fail(error);
    }
    file->node = node;
    file->refs = 1;
    files[fd] = file;
    if (logging) {
        fprintf(stderr, "v4l2emu: open /dev/video%d -> %d\n", node->index, fd);
    }
    return fd;
}

/* Forgets fd; the last descriptor of an open file releases its buffers. */
static void forget(int fd) {
    if (file_for(fd) == NULL) {
        return;  /* not ours: the common case, without the lock */
    }
    pthread_mutex_lock(&files_lock);
    struct file *file = file_for(fd);
    if (file == NULL) {
        pthread_mutex_unlock(&files_lock);
        return;
    }
    files[fd] = NULL;
    const int last = --file->refs == 0;
    pthread_mutex_unlock(&files_lock);
    if (last) {
        struct node *node = file->node;
        pthread_mutex_lock(&node->lock);
        if (node->owner == file) {
            release_buffers(node);
        }
        pthread_mutex_unlock(&node->lock);
        plain_close(file->event_fd);
        free(file);
    }
}

static void remember_dup(int from, int to) {
    pthread_mutex_lock(&files_lock);
    struct file *file = file_for(from);
    if (file != NULL && to >= 0 && to < MAX_FDS) {
        files[to] = file;
        ++file->refs;
    }
    pthread_mutex_unlock(&files_lock);
}

/* The node whose sysfs uevent file this is (/sys/dev/char/81:N/uevent),
 * which tools read to learn what kind of node a character device is. */
static struct node *node_for_uevent(const char *path) {
    static const char prefix[] = "/sys/dev/char/81:";
    if (path == NULL || strncmp(path, prefix, sizeof prefix - 1) != 0) {
        return NULL;
    }
    char *end = NULL;
    const long index = strtol(path + sizeof prefix - 1, &end, 10);
    if (end == path + sizeof prefix - 1 || strcmp(end, "/uevent") != 0 || index < 0 || index >= MAX_NODES) {
        return NULL;
    }
    pthread_once(&config_once, configure);
    return nodes[index];
}

static int open_uevent(const struct node *node) {
    char text[96];
    const int length = snprintf(text, sizeof text, "MAJOR=81\nMINOR=%d\nDEVNAME=video%d\n", node->index, node->index);
    const int fd = memfd_create("uevent", MFD_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (plain_write(fd, text, (size_t)length) != length || lseek(fd, 0, SEEK_SET) != 0) {
        plain_close(fd);
        return fail(EIO);
    }
    return fd;
}

static int open_common(const char *path, int flags) {
    struct node *node = node_for_path(path);
    if (node != NULL) {
        return open_node(node, flags);
    }
    node = node_for_uevent(path);
    return node != NULL ? open_uevent(node) : -2;
}

static mode_t mode_argument(int flags, va_list arguments) {
    return (flags & (O_CREAT | __O_TMPFILE)) != 0 ? (mode_t)va_arg(arguments, int) : 0;
}

EXPORT int open(const char *path, int flags, ...) {
    const int fd = open_common(path, flags);
    if (fd != -2) {
        return fd;
    }
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    REAL(open);
    return real_open(path, flags, mode);
}

EXPORT int open64(const char *path, int flags, ...) {
    const int fd = open_common(path, flags);
    if (fd != -2) {
        return fd;
    }
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    REAL(open64);
    return real_open64(path, flags, mode);
}

EXPORT int openat(int directory, const char *path, int flags, ...) {
    const int fd = open_common(path, flags);
    if (fd != -2) {
        return fd;
    }
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    REAL(openat);
    return real_openat(directory, path, flags, mode);
}

EXPORT int openat64(int directory, const char *path, int flags, ...) {
    const int fd = open_common(path, flags);
    if (fd != -2) {
        return fd;
    }
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    REAL(openat64);
    return real_openat64(directory, path, flags, mode);
}

int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int directory, const char *path, int flags);
int __openat64_2(int directory, const char *path, int flags);

EXPORT int __open_2(const char *path, int flags) { return open(path, flags); }
EXPORT int __open64_2(const char *path, int flags) { return open64(path, flags); }
EXPORT int __openat_2(int directory, const char *path, int flags) { return openat(directory, path, flags); }
EXPORT int __openat64_2(int directory, const char *path, int flags) { return openat64(directory, path, flags); }

static FILE *fopen_common(const char *path, const char *mode) {
    const struct node *node = node_for_uevent(path);
    if (node == NULL) {
        return NULL;
    }
    const int fd = open_uevent(node);
    FILE *file = fd < 0 ? NULL : fdopen(fd, mode);
    if (file == NULL && fd >= 0) {
        plain_close(fd);
    }
    return file;
}

EXPORT FILE *fopen(const char *path, const char *mode) {
    if (node_for_uevent(path) != NULL) {
        return fopen_common(path, mode);
    }
    REAL(fopen);
    return real_fopen(path, mode);
}

EXPORT FILE *fopen64(const char *path, const char *mode) {
    if (node_for_uevent(path) != NULL) {
        return fopen_common(path, mode);
    }
    REAL(fopen64);
    return real_fopen64(path, mode);
}

EXPORT int close(int fd) {
    forget(fd);
    return plain_close(fd);
}

EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    struct file *file = file_for(fd);
    if (file == NULL) {
        REAL(ioctl);
        return real_ioctl(fd, request, argument);
    }
    const int result = emulated_ioctl(fd, file, request, argument);
    if (logging) {
        const int error = errno;
        fprintf(stderr, "v4l2emu: fd %d ioctl %s (0x%lx) -> %d%s%s\n", fd, ioctl_name(request), request, result,
                result < 0 ? " " : "", result < 0 ? strerror(error) : "");
        errno = error;
    }
    return result;
}

static void *map_buffer(void *address, size_t length, int protection, int flags, struct file *file, off_t offset) {
    struct node *node = file->node;
    pthread_mutex_lock(&node->lock);
    void *result = MAP_FAILED;
    if (node->owner != file || node->memfd < 0 || offset < 0 ||
        (size_t)offset + length > node->buffer_length * (size_t)node->nbuffers) {
        errno = EINVAL;
    } else {
        result = plain_mmap(address, length, protection, flags, node->memfd, offset);
    }
    pthread_mutex_unlock(&node->lock);
    return result;
}

EXPORT void *mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset) {
    struct file *file = file_for(fd);
    if (file != NULL) {
        return map_buffer(address, length, protection, flags, file, offset);
    }
    return plain_mmap(address, length, protection, flags, fd, offset);
}

EXPORT void *mmap64(void *address, size_t length, int protection, int flags, int fd, off64_t offset) {
    return mmap(address, length, protection, flags, fd, (off_t)offset);
}

EXPORT ssize_t read(int fd, void *data, size_t length) {
    if (file_for(fd) != NULL) {
        return fail(EINVAL);  /* streaming only, like the driver */
    }
    return plain_read(fd, data, length);
}

EXPORT int dup(int fd) {
    REAL(dup);
    const int copy = real_dup(fd);
    if (copy >= 0) {
        remember_dup(fd, copy);
    }
    return copy;
}

EXPORT int dup2(int fd, int to) {
    REAL(dup2);
    if (fd == to) {
        return real_dup2(fd, to);
    }
    forget(to);
    const int copy = real_dup2(fd, to);
    if (copy >= 0) {
        remember_dup(fd, copy);
    }
    return copy;
}

EXPORT int dup3(int fd, int to, int flags) {
    REAL(dup3);
    if (fd != to) {
        forget(to);
    }
    const int copy = real_dup3(fd, to, flags);
    if (copy >= 0) {
        remember_dup(fd, copy);
    }
    return copy;
}

static int fcntl_common(int fd, int command, void *argument) {
    REAL(fcntl);
    const int result = real_fcntl(fd, command, argument);
    if (result >= 0 && (command == F_DUPFD || command == F_DUPFD_CLOEXEC)) {
        remember_dup(fd, result);
    }
    return result;
}

EXPORT int fcntl(int fd, int command, ...) {
    va_list arguments;
    va_start(arguments, command);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    return fcntl_common(fd, command, argument);
}

EXPORT int fcntl64(int fd, int command, ...) {
    va_list arguments;
    va_start(arguments, command);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    return fcntl_common(fd, command, argument);
}

/* ---- stat: a character device, major 81 as for every V4L2 node ---- */

static void describe_node(const struct node *node, struct stat *out) {
    memset(out, 0, sizeof *out);
    out->st_dev = makedev(0, 5);
    out->st_ino = 7000 + (ino_t)node->index;
    out->st_mode = S_IFCHR | 0666;
    out->st_nlink = 1;
    out->st_rdev = makedev(81, node->index);
    out->st_blksize = 4096;
}

_Static_assert(sizeof(struct stat) == sizeof(struct stat64), "one layout for stat and stat64");

static int stat_path(const char *path, struct stat *out) {
    struct node *node = node_for_path(path);
    if (node == NULL) {
        return -2;
    }
    describe_node(node, out);
    return 0;
}

static int stat_fd(int fd, struct stat *out) {
    struct file *file = file_for(fd);
    if (file == NULL) {
        return -2;
    }
    describe_node(file->node, out);
    return 0;
}

EXPORT int stat(const char *path, struct stat *out) {
    const int result = stat_path(path, out);
    if (result != -2) {
        return result;
    }
    REAL(stat);
    return real_stat(path, out);
}

EXPORT int stat64(const char *path, struct stat64 *out) { return stat(path, (struct stat *)out); }

EXPORT int lstat(const char *path, struct stat *out) {
    const int result = stat_path(path, out);
    if (result != -2) {
        return result;
    }
    REAL(lstat);
    return real_lstat(path, out);
}

EXPORT int lstat64(const char *path, struct stat64 *out) { return lstat(path, (struct stat *)out); }

EXPORT int fstat(int fd, struct stat *out) {
    const int result = stat_fd(fd, out);
    if (result != -2) {
        return result;
    }
    REAL(fstat);
    return real_fstat(fd, out);
}

EXPORT int fstat64(int fd, struct stat64 *out) { return fstat(fd, (struct stat *)out); }

EXPORT int fstatat(int directory, const char *path, struct stat *out, int flags) {
    int result = (flags & AT_EMPTY_PATH) != 0 && *path == '\0' ? stat_fd(directory, out)
                                                                                : stat_path(path, out);
    if (result != -2) {
        return result;
    }
    REAL(fstatat);
    return real_fstatat(directory, path, out, flags);
}

EXPORT int fstatat64(int directory, const char *path, struct stat64 *out, int flags) {
    return fstatat(directory, path, (struct stat *)out, flags);
}

/* The versioned entry points of binaries built against older glibc. */
int __xstat(int version, const char *path, struct stat *out);
int __xstat64(int version, const char *path, struct stat64 *out);
int __lxstat(int version, const char *path, struct stat *out);
int __lxstat64(int version, const char *path, struct stat64 *out);
int __fxstat(int version, int fd, struct stat *out);
int __fxstat64(int version, int fd, struct stat64 *out);
int __fxstatat(int version, int directory, const char *path, struct stat *out, int flags);
int __fxstatat64(int version, int directory, const char *path, struct stat64 *out, int flags);

EXPORT int __xstat(int version, const char *path, struct stat *out) { (void)version; return stat(path, out); }
EXPORT int __xstat64(int version, const char *path, struct stat64 *out) { (void)version; return stat64(path, out); }
EXPORT int __lxstat(int version, const char *path, struct stat *out) { (void)version; return lstat(path, out); }
EXPORT int __lxstat64(int version, const char *path, struct stat64 *out) { (void)version; return lstat64(path, out); }
EXPORT int __fxstat(int version, int fd, struct stat *out) { (void)version; return fstat(fd, out); }
EXPORT int __fxstat64(int version, int fd, struct stat64 *out) { (void)version; return fstat64(fd, out); }
EXPORT int __fxstatat(int version, int directory, const char *path, struct stat *out, int flags) {
    (void)version;
    return fstatat(directory, path, out, flags);
}
EXPORT int __fxstatat64(int version, int directory, const char *path, struct stat64 *out, int flags) {
    (void)version;
    return fstatat64(directory, path, out, flags);
}

EXPORT int statx(int directory, const char *path, int flags, unsigned int mask, struct statx *out) {
    struct stat described;
    const int result = (flags & AT_EMPTY_PATH) != 0 && *path == '\0' ? stat_fd(directory, &described)
                                                                                      : stat_path(path, &described);
    if (result == -2) {
        REAL(statx);
        return real_statx(directory, path, flags, mask, out);
    }
    memset(out, 0, sizeof *out);
    out->stx_mask = STATX_BASIC_STATS;
    out->stx_blksize = 4096;
    out->stx_nlink = 1;
    out->stx_mode = (uint16_t)described.st_mode;
    out->stx_ino = described.st_ino;
    out->stx_rdev_major = major(described.st_rdev);
    out->stx_rdev_minor = minor(described.st_rdev);
    out->stx_dev_minor = 5;
    return 0;
}

EXPORT int access(const char *path, int mode) {
    if (node_for_path(path) != NULL) {
        return (mode & X_OK) != 0 ? fail(EACCES) : 0;
    }
    REAL(access);
    return real_access(path, mode);
}
