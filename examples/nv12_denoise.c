/*
 * Denoises a raw NV12 file frame by frame with motion_detect, in plain C.
 *
 *   nv12_denoise WIDTH HEIGHT IN.nv12 OUT.nv12
 *
 * IN.nv12 may be a pipe; a stream that ends inside a frame makes it exit 1.
 *
 * Shows the per-frame contract: the filtered frame becomes the next call's
 * previous frame, and pPreAlpha and the gain table are handed back each time.
 */
#define _POSIX_C_SOURCE 200809L /* fileno, fstat */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "motion_detect.h"

/* A frame side: the whole argument a decimal number from 1 to 32768. */
static int parseSide(const char *text, const char *what) {
  char *end = NULL;
  errno = 0;
  const long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '+' || text[0] == '-' ||
      text[0] == ' ' || v < 1 || v > 32768) {
    fprintf(stderr, "%s must be a whole number from 1 to 32768, got '%s'\n", what, text);
    exit(2);
  }
  return (int)v;
}

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s WIDTH HEIGHT IN.nv12 OUT.nv12\n", argv[0]);
    return 2;
  }
  const int width = parseSide(argv[1], "WIDTH"), height = parseSide(argv[2], "HEIGHT");
  /* Process the whole frame; the maps are packed (pitch = width). */
  const int proWidth = width, proHeight = height, gainStride = width;
  const size_t tmpElems = motionDetectTmpBufSize(proHeight, proWidth);
  /* The library refuses grids below about 14x8 and grids whose scratch
   * buffer (12 bytes a sample) would reach 4 GiB. */
  if ((width & 1) || (height & 1) || tmpElems == 0) {
    if (12.0 * width * height >= 4294967296.0)
      fprintf(stderr, "unsupported size %dx%d: too large (the filter's scratch buffer, 12 bytes a "
              "pixel, must stay below 4 GiB)\n", width, height);
    else
      fprintf(stderr, "unsupported size %dx%d: need even sizes of at least 14x8\n", width, height);
    return 2;
  }
  const size_t frameBytes = (size_t)width * height * 3 / 2;
  const size_t mapBytes = (size_t)gainStride * proHeight;

  /* The input is checked before the output is created: a bad input leaves
   * an existing output file as it was. */
  FILE *in = fopen(argv[3], "rb");
  if (!in) {
    fprintf(stderr, "cannot open %s: %s\n", argv[3], strerror(errno));
    return 1;
  }
  struct stat st;
  if (fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode) &&
      (st.st_size == 0 || (unsigned long long)st.st_size % frameBytes != 0)) {
    fprintf(stderr, "%s is not a whole number of %dx%d NV12 frames (%zu bytes each): %llu bytes\n",
            argv[3], width, height, frameBytes, (unsigned long long)st.st_size);
    return 1;
  }
  FILE *out = fopen(argv[4], "wb");
  if (!out) {
    fprintf(stderr, "cannot open %s: %s\n", argv[4], strerror(errno));
    return 1;
  }
  uint8_t *cur = malloc(frameBytes), *prev = malloc(frameBytes);
  int16_t *tmp = malloc(tmpElems * sizeof(int16_t));
  uint8_t *alpha = malloc(mapBytes), *preAlpha = calloc(mapBytes, 1), *gain = malloc(mapBytes);
  if (!cur || !prev || !tmp || !alpha || !preAlpha || !gain) {
    fprintf(stderr, "out of memory\n");
    return 1;
  }
  memset(gain, 128, mapBytes); /* start gain 1.0 */

  int frames = 0;
  size_t got;
  while ((got = fread(cur, 1, frameBytes, in)) == frameBytes) {
    /* The first frame is its own previous frame. */
    if (frames == 0) memcpy(prev, cur, frameBytes);
    motion_detect(cur, prev, tmp, alpha, preAlpha, gain, height, width, proHeight, proWidth,
                  gainStride, /*sigmaHScale=*/1.1f, /*sigmaLScale=*/0.12f, /*uv_ratio=*/0.75f,
                  /*light_clip=*/0.0f, /*static_ratio_r_bit=*/4);
    if (fwrite(cur, 1, frameBytes, out) != frameBytes) {
      fprintf(stderr, "write failed\n");
      return 1;
    }
    /* The filtered frame is the next call's previous frame. */
    uint8_t *t = prev;
    prev = cur;
    cur = t;
    ++frames;
  }
  /* A stream that ends inside a frame is reported, not silently cut. */
  const int partial = got != 0 || ferror(in);
  if (ferror(in))
    fprintf(stderr, "cannot read %s after %d frames\n", argv[3], frames);
  else if (got != 0)
    fprintf(stderr, "%s ends inside a frame: %zu bytes after %d whole frames were dropped\n",
            argv[3], got, frames);
  fprintf(stderr, "%d frames\n", frames);
  free(cur);
  free(prev);
  free(tmp);
  free(alpha);
  free(preAlpha);
  free(gain);
  fclose(in);
  return fclose(out) == 0 && !partial ? 0 : 1;
}
