/* Fetches the current frame once, saves it as a JPEG file and prints its
 * size and age. Usage: read_frame [OUTPUT.jpg] */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "framereader.h"

static int64_t steady_now_us(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now); /* the producer's steady clock */
    return (int64_t)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "frame.jpg";
    FrameOutput frame;
    memset(&frame, 0, sizeof frame);
    frame.data = malloc(FRAMEREADER_FRAME_CAPACITY);
    if (frame.data == NULL) {
        fprintf(stderr, "out of memory\n");
        return 1;
    }

    get_frame_data(&frame, NULL);
    const int error = errno;
    if (error != 0) {
        fprintf(stderr, "no frame: %s\n", strerror(error));
        free(frame.data);
        return 1;
    }
    if (frame.size == 0) {
        fprintf(stderr, "the producer runs but has not published a frame yet\n");
        free(frame.data);
        return 1;
    }

    FILE* file = fopen(path, "wb");
    if (file == NULL || fwrite(frame.data, 1, frame.size, file) != frame.size) {
        fprintf(stderr, "cannot write %s\n", path);
        if (file != NULL) {
            fclose(file);
        }
        free(frame.data);
        return 1;
    }
    fclose(file);
    printf("saved %u bytes (%dx%d JPEG) to %s, age %.1f ms\n", frame.size, frame.width, frame.height, path,
           (double)(steady_now_us() - frame.timestamp) / 1000.0);
    free(frame.data);
    return 0;
}
