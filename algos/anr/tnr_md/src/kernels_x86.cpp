// The x86-64 kernel set of one level: the x86 form of every stage with a
// vector form, compiled for the level TNR_MD_X86_NS names (x86_vec.h).
#include "kernels.h"
#include "x86_vec.h"

namespace tnr_md::TNR_MD_X86_NS {

FrameDiffFn frameDiff_x86;
Gauss3x3Fn gauss3x3_x86;
Gauss3x3Fn gauss3x3Diff_x86;
SigmaLutFn sigmaLut_x86;
BlockAlphaFn blockAlpha_x86;
RowBufferFn rowBuffer_x86;
PixelPassFn pixelPass_x86;
PixelPassFn pixelPassSmooth_x86;
SpatialFn spatial_x86;

const Kernels kKernelsX86 = {
    .frameDiff = frameDiff_x86,
    .gauss3x3 = gauss3x3_x86,
    .gauss3x3Diff = gauss3x3Diff_x86,
    .sigmaLut = sigmaLut_x86,
    .blockAlpha = blockAlpha_x86,
    .rowBuffer = rowBuffer_x86,
    .pixelPass = pixelPass_x86,
    .pixelPassSmooth = pixelPassSmooth_x86,
    .spatial = spatial_x86,
};

}  // namespace tnr_md::TNR_MD_X86_NS
