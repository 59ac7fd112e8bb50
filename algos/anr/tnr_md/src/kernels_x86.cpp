// The x86-64 kernel set: x86 forms of the frame difference, the 3x3 filter and
// upScale's per-pixel pass; the NEON forms (through SIMDe) of the low-resolution
// stages, where the time goes to nothing measurable.
#include "kernels.h"

namespace tnr_md {

const Kernels kKernelsX86 = {
    calDiffAndDownScale8x8_x86, gauss3x3Filter_x86,    sigmaFilterLut_neon, upScale_x86,
    upScaleBlockAlpha_neon,     upScaleRowBuffer_neon, upScalePixelRows_x86};

}  // namespace tnr_md
