/* Compiled as C99 with -pedantic: the public header is valid C. */
#include "motion_detect.h"

size_t tnrMdCHeaderCheck(void);
size_t tnrMdCHeaderCheck(void) { return motionDetectTmpBufSize(16, 16); }
