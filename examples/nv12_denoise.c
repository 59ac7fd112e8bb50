/*
 * Denoises a raw NV12 file frame by frame with motion_detect, in plain C.
 *
 *   nv12_denoise WIDTH HEIGHT IN.nv12 OUT.nv12
 *
 * Shows the per-frame contract: the filtered frame becomes the next call's
 * previous frame, and pPreAlpha and the gain table are handed back each time.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "motion_detect.h"

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s WIDTH HEIGHT IN.nv12 OUT.nv12\n", argv[0]);
    return 2;
  }
  const int width = atoi(argv[1]), height = atoi(argv[2]);
  /* Process the whole frame; the maps are packed (pitch = width). */
  const int proWidth = width, proHeight = height, gainStride = width;
  const size_t tmpElems = motionDetectTmpBufSize(proHeight, proWidth);
  if (width <= 0 || height <= 0 || (width & 1) || (height & 1) || tmpElems == 0) {
    fprintf(stderr, "unsupported size %dx%d: need even sizes of at least 14x8\n", width, height);
    return 2;
  }
  const size_t frameBytes = (size_t)width * height * 3 / 2;
  const size_t mapBytes = (size_t)gainStride * proHeight;

  FILE *in = fopen(argv[3], "rb");
  FILE *out = fopen(argv[4], "wb");
  if (!in || !out) {
    fprintf(stderr, "cannot open %s\n", !in ? argv[3] : argv[4]);
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
  while (fread(cur, 1, frameBytes, in) == frameBytes) {
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
  fprintf(stderr, "%d frames\n", frames);
  free(cur);
  free(prev);
  free(tmp);
  free(alpha);
  free(preAlpha);
  free(gain);
  fclose(in);
  return fclose(out) == 0 ? 0 : 1;
}
