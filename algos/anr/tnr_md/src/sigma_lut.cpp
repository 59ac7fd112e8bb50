// Sigma estimation: separable 9-tap smoothing of the block sigma, scaled into
// the low and high sigma tables. Per-sample form.
#include "arith.h"
#include "kernels.h"

namespace tnr_md {

namespace {

// Symmetric taps folded into pair sums; each pair sum wraps in 16 bits.
int32_t tap9(int16_t c, int16_t s1a, int16_t s1b, int16_t s2a, int16_t s2b, int16_t s3a,
             int16_t s3b, int16_t s4a, int16_t s4b) {
  return 10 * low16(s4a + s4b) + 13 * low16(s3a + s3b) + 15 * low16(s2a + s2b) +
         17 * low16(s1a + s1b) + 18 * c;
}

}  // namespace

// Reads rows -4 .. rows + 3 and columns -4 .. cols + 3 of pIn. The
// horizontal results of input row r go to scratch row r + 4, columns 4 ..
// cols + 3; the tables get cols entries per row at pitch stride.
void sigmaLut_c(const int16_t *pIn, int16_t *pTmpBuf, const SigmaTables &out,
                const SigmaScales &scale, int rows, int cols, int stride) {
  if (rows <= 0 || cols <= 0) return;
  uint16_t *pSigmaL = out.low;
  uint32_t *pSigmaH = out.high;
  for (int r = -4; r < rows + 4; ++r) {
    const int16_t *s = pIn + static_cast<ptrdiff_t>(r) * stride;
    int16_t *t = pTmpBuf + static_cast<ptrdiff_t>(r + 4) * stride + 4;
    for (int c = 0; c < cols; ++c)
      t[c] = low16(roundShift(tap9(s[c], s[c - 1], s[c + 1], s[c - 2], s[c + 2], s[c - 3], s[c + 3],
                                   s[c - 4], s[c + 4]),
                              7));
  }
  const float scaleL = sigmaTableScale(scale.low);
  const float scaleH = sigmaTableScale(scale.high);
  for (int y = 0; y < rows; ++y) {
    // Scratch row y + 4 holds input row y.
    const int16_t *t = pTmpBuf + static_cast<ptrdiff_t>(y + 4) * stride + 4;
    const ptrdiff_t S = stride;
    for (int x = 0; x < cols; ++x) {
      const int32_t v = static_cast<int32_t>(
          roundShift(tap9(t[x], t[x - S], t[x + S], t[x - 2 * S], t[x + 2 * S], t[x - 3 * S],
                          t[x + 3 * S], t[x - 4 * S], t[x + 4 * S]),
                     7));
      const float f = static_cast<float>(v);
      int32_t L = truncToInt(f * scaleL + 0.5f);
      int32_t H = truncToInt(f * scaleH + 0.5f);
      L = L > 32 ? L : 32;
      H = H > 32 ? H : 32;
      pSigmaL[y * S + x] = static_cast<uint16_t>(L);
      pSigmaH[y * S + x] = static_cast<uint32_t>(H);
    }
  }
}

}  // namespace tnr_md
