/* The frame number every emulated frame shows in its top rows, so a reader
 * can tell frames apart after any number of decodes and re-encodes: four
 * bands of 32 rows across the full width, each a flat grey whose level is
 * one hex digit of the number (most significant band first), then two
 * reference bands at the levels of digits 0 and 15, so a reader calibrates
 * whatever range conversion the frames went through. Flat bands aligned to
 * 16 rows survive JPEG at any common quality and subsampling. */
#ifndef V4L2_EMULATOR_FRAME_CODE_H
#define V4L2_EMULATOR_FRAME_CODE_H

#define FRAME_CODE_DIGITS 4
#define FRAME_CODE_BAND_HEIGHT 32
#define FRAME_CODE_BANDS (FRAME_CODE_DIGITS + 2)
#define FRAME_CODE_MODULUS 65536u
#define FRAME_CODE_LEVEL(digit) (24 + 13 * (digit))

#endif
