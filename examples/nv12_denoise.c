/*
 * Denoises a raw NV12 file frame by frame with a TnrMdStream, in plain C.
 *
 *   nv12_denoise WIDTH HEIGHT IN.nv12 OUT.nv12
 *
 * IN.nv12 may be a pipe; a stream that ends inside a frame makes it exit 1.
 *
 * The stream keeps what the sequence needs from frame to frame (the previous
 * filtered frame, the recursive weights, the gain table); the program reads a
 * frame, hands it to tnrMdStreamProcess, which filters it in place, and writes
 * it. It runs the temporal stage alone (spatial = 0), so its output is what
 * motion_detect alone gives; the front ends ship spatial = 5.
 */
#define _POSIX_C_SOURCE 200809L /* fileno, fstat */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "tnr_md_stream.h"

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
  TnrMdParams params;
  tnrMdParamsDefault(&params);
  params.spatial = 0.0f; /* the temporal stage alone */
  TnrMdStream *stream = NULL;
  TnrMdError error;
  const int rc = tnrMdStreamCreate(&stream, width, height, &params, NULL, 0, &error);
  /* The library refuses odd sizes, grids below about 14x8 and grids whose
   * scratch buffer (12 bytes a sample) would reach 4 GiB. */
  if (rc == TNR_MD_ERROR_SIZE && 12.0 * width * height >= 4294967296.0) {
    fprintf(stderr, "unsupported size %dx%d: too large (the filter's scratch buffer, 12 bytes a "
            "pixel, must stay below 4 GiB)\n", width, height);
    return 2;
  }
  if (rc == TNR_MD_ERROR_SIZE) {
    fprintf(stderr, "unsupported size %dx%d: need even sizes of at least 14x8\n", width, height);
    return 2;
  }
  if (rc != TNR_MD_OK) {
    fprintf(stderr, "%s\n", error.message);
    return 1;
  }
  const size_t frameBytes = (size_t)width * height * 3 / 2;

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
  uint8_t *frame = malloc(frameBytes);
  if (!frame) {
    fprintf(stderr, "out of memory\n");
    return 1;
  }
  /* One frame in the library's layout: the stream filters it where it lies. */
  const TnrMdImage image = {frame, width, frame + (size_t)width * height, width, frameBytes};

  int frames = 0;
  size_t got;
  while ((got = fread(frame, 1, frameBytes, in)) == frameBytes) {
    /* The first frame is its own previous frame: it comes out unchanged. */
    if (tnrMdStreamProcess(stream, &image, NULL, &error) != TNR_MD_OK) {
      fprintf(stderr, "frame %d: %s\n", frames, error.message);
      return 1;
    }
    if (fwrite(frame, 1, frameBytes, out) != frameBytes) {
      fprintf(stderr, "write failed\n");
      return 1;
    }
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
  free(frame);
  tnrMdStreamDestroy(stream);
  fclose(in);
  return fclose(out) == 0 && !partial ? 0 : 1;
}
