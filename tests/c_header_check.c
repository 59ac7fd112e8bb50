/* Compiled as C99 with -pedantic: the public headers are valid C. */
#include "motion_detect.h"
#include "tnr_md_stream.h"

size_t tnrMdCHeaderCheck(void);
size_t tnrMdCHeaderCheck(void) {
  TnrMdParams p;
  tnrMdParamsDefault(&p);
  return motionDetectTmpBufSize(16, 16) + (size_t)tnrMdParamsCheck(&p, NULL);
}
