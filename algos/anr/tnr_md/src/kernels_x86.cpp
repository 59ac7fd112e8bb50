// The x86-64 kernel set: x86 forms of every stage with a vector form.
#include "kernels.h"

namespace tnr_md {

const Kernels kKernelsX86 = {calDiffAndDownScale8x8_x86,
                             calDiffAndDownScale8x8Rows_x86,
                             gauss3x3Filter_x86,
                             sigmaFilterLut_x86,
                             upScale_x86,
                             upScaleBlockAlpha_x86,
                             upScaleRowBuffer_x86,
                             upScalePixelRows_x86,
                             upScaleSmoothPixelRows_x86,
                             true};

}  // namespace tnr_md
