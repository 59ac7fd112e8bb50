// upScale, vector form: block alpha 8 lanes wide, its vertical interpolation
// and the per-pixel pass 16 lanes wide. Results equal upScale_c byte for byte.
//
// Tail policy. A row whose length is not a multiple of the block width ends
// with a block moved back to end exactly at the row's end. In the pure steps
// (block alpha, vertical interpolation) the overlap is recomputed with
// identical values. In the in-place pixel pass the moved-back block keeps the
// lanes before its nominal start as the previous block left them, so every
// update is applied once. Rows narrower than one block run the same lane code
// on a zero-padded local copy and copy back only the row's own bytes; nothing
// outside the caller's rows is read or written.
#include <cstring>

#include "kernels.h"
#include "neon.h"

namespace tnr_md {
namespace {

// Lane tables of the horizontal interpolation: entry j is j >> 3 (which of
// the two neighbouring T columns) and j & 7 (the right neighbour's weight).
constexpr uint8_t kLutTable[16] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1};
constexpr uint8_t kWgtTable[16] = {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7};

// Lane numbers 0 .. 15, for the keep-mask of a moved-back block.
constexpr uint8_t kLaneIndex[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// Reciprocal estimate refined by one Newton-Raphson step: e x (2 - v x e),
// the product inside the step and the outer product each rounded.
inline float32x4_t recipRefine4(float32x4_t v) {
  const float32x4_t e = vrecpeq_f32(v);
  return vmulq_f32(vrecpsq_f32(v, e), e);
}

// Block alpha of 8 blocks: min(trunc(d x 128 x recip(max(sL, 64)) + 0.5), 128)
// with d = max(l - sL, 0), the subtraction wrapping in 16 bits. The value
// before the clamp is at most 65534, so the plain narrowing is exact.
inline uint8x8_t blockAlpha8(int16x8_t l, int16x8_t sL) {
  const int16x8_t d = vmaxq_s16(vsubq_s16(l, sL), vdupq_n_s16(0));
  const int16x8_t s = vmaxq_s16(sL, vdupq_n_s16(64));
  const float32x4_t half = vdupq_n_f32(0.5f);
  const float32x4_t num0 = vcvtq_f32_s32(vshll_n_s16(vget_low_s16(d), 7));
  const float32x4_t num1 = vcvtq_f32_s32(vshll_n_s16(vget_high_s16(d), 7));
  const float32x4_t inv0 = recipRefine4(vcvtq_f32_s32(vmovl_s16(vget_low_s16(s))));
  const float32x4_t inv1 = recipRefine4(vcvtq_f32_s32(vmovl_s16(vget_high_s16(s))));
  const uint16x4_t q0 = vmovn_u32(vcvtq_u32_f32(vaddq_f32(vmulq_f32(num0, inv0), half)));
  const uint16x4_t q1 = vmovn_u32(vcvtq_u32_f32(vaddq_f32(vmulq_f32(num1, inv1), half)));
  return vmovn_u16(vminq_u16(vcombine_u16(q0, q1), vdupq_n_u16(128)));
}

// Step 1: A(j, i) into pAlpha at pitch dsWid. Groups of 8 block columns
// outside, block rows inside; the last group of a row is moved back to start
// at dsWid - 8. Rows narrower than 8 blocks go through a padded copy (padding
// lanes compute d = 0 and are dropped).
void blockAlphaPlane(const int16_t *pLdiff, const uint16_t *pSigmaL, uint8_t *pAlpha, int dsHgt,
                     int dsWid, int dsStride, int sigmaStride) {
  if (dsWid >= 8) {
    for (int x = 0; x < dsWid; x += 8) {
      const int offsetX = x + 8 <= dsWid ? x : dsWid - 8;
      for (int j = 0; j < dsHgt; ++j) {
        const int16x8_t l = vld1q_s16(pLdiff + j * dsStride + offsetX);
        const int16x8_t sL = vreinterpretq_s16_u16(vld1q_u16(pSigmaL + j * sigmaStride + offsetX));
        vst1_u8(pAlpha + j * dsWid + offsetX, blockAlpha8(l, sL));
      }
    }
    return;
  }
  for (int j = 0; j < dsHgt; ++j) {
    int16_t l[8] = {0};
    uint16_t sL[8] = {0};
    uint8_t out[8];
    std::memcpy(l, pLdiff + j * dsStride, sizeof(int16_t) * dsWid);
    std::memcpy(sL, pSigmaL + j * sigmaStride, sizeof(uint16_t) * dsWid);
    vst1_u8(out, blockAlpha8(vld1q_s16(l), vreinterpretq_s16_u16(vld1q_u16(sL))));
    std::memcpy(pAlpha + j * dsWid, out, dsWid);
  }
}

// RoundShift(a0 x wgt1 + a1 x wgt0, 3); the sum is at most 128 x 8.
inline uint8x16_t vInterp16(uint8x16_t a0, uint8x16_t a1, uint8x8_t wgt0, uint8x8_t wgt1) {
  const uint16x8_t lo = vmlal_u8(vmull_u8(vget_low_u8(a0), wgt1), vget_low_u8(a1), wgt0);
  const uint16x8_t hi = vmlal_u8(vmull_u8(vget_high_u8(a0), wgt1), vget_high_u8(a1), wgt0);
  return vcombine_u8(vrshrn_n_u16(lo, 3), vrshrn_n_u16(hi, 3));
}

// Steps 2 to 4: the row buffer T, dsWid + 2 bytes per processing row.
// 16 block columns per step, the last step moved back to dsWid - 16; rows of
// fewer than 16 blocks go through a padded copy.
void rowBuffer(const uint8_t *pAlpha, uint8_t *pTmp, int proHeight, int dsHgt, int dsWid,
               int tmpStride) {
  for (int y = 0; y < proHeight; ++y) {
    const int index = (y + 4) >> 3;
    const int index0 = index - 1 > 0 ? index - 1 : 0;
    const int index1 = index < dsHgt - 1 ? index : dsHgt - 1;
    const int wgt0 = (y + 4) - 8 * index;
    const uint8x8_t vW0 = vdup_n_u8(static_cast<uint8_t>(wgt0));
    const uint8x8_t vW1 = vdup_n_u8(static_cast<uint8_t>(8 - wgt0));
    const uint8_t *a0 = pAlpha + index0 * dsWid;
    const uint8_t *a1 = pAlpha + index1 * dsWid;
    uint8_t *t = pTmp + y * tmpStride + 1;
    if (dsWid >= 16) {
      for (int x = 0; x < dsWid; x += 16) {
        const int offsetX = x + 16 <= dsWid ? x : dsWid - 16;
        vst1q_u8(t + offsetX, vInterp16(vld1q_u8(a0 + offsetX), vld1q_u8(a1 + offsetX), vW0, vW1));
      }
    } else {
      uint8_t r0[16] = {0}, r1[16] = {0}, out[16];
      std::memcpy(r0, a0, dsWid);
      std::memcpy(r1, a1, dsWid);
      vst1q_u8(out, vInterp16(vld1q_u8(r0), vld1q_u8(r1), vW0, vW1));
      std::memcpy(t, out, dsWid);
    }
  }
  for (int y = 0; y < proHeight; ++y) pTmp[y * tmpStride] = pTmp[y * tmpStride + 1];
  for (int y = 0; y < proHeight; ++y) pTmp[y * tmpStride + dsWid + 1] = pTmp[y * tmpStride + dsWid];
}

// Horizontal interpolation of the 8 pixels from column b of one T row:
// lane p is pixel X = b + p, between T columns n + lut[k + p] and the one
// right of it, with n = (b + 4) >> 3, k = (b + 4) & 7. The two 8-byte loads
// reach T columns n .. n + 8; only columns up to dsWid + 1 are ever selected.
// Where the loads would pass tEnd (the end of the caller's row buffer) they
// come from a zero-padded copy of the bytes that remain.
inline uint8x8_t interpHalf(const uint8_t *tRow, int b, const uint8_t *tEnd, const uint8_t *lut,
                            const uint8_t *wgt) {
  const int n = (b + 4) >> 3;
  const int k = (b + 4) & 7;
  const uint8_t *src = tRow + n;
  uint8x8_t left, right;
  if (tEnd - src >= 9) {
    left = vld1_u8(src);
    right = vld1_u8(src + 1);
  } else {
    uint8_t win[16] = {0};
    std::memcpy(win, src, static_cast<size_t>(tEnd - src));
    left = vld1_u8(win);
    right = vld1_u8(win + 1);
  }
  const uint8x8_t off = vld1_u8(lut + k);
  const uint8x8_t w = vld1_u8(wgt + k);
  const uint16x8_t acc =
      vmlal_u8(vmull_u8(vtbl1_u8(left, off), vsub_u8(vdup_n_u8(8), w)), vtbl1_u8(right, off), w);
  return vrshrn_n_u16(acc, 3);
}

// High sigma and its reciprocal per lane, one quad per 4 lanes.
struct HighSigma {
  int32x4_t sH[4];
  float32x4_t inv[4];
};

// The reciprocal of one high sigma entry: a double-precision division, the
// quotient rounded once to single precision (sH = 0 gives +infinity).
inline float invSigma(int32_t sH) { return static_cast<float>(1.0 / static_cast<double>(sH)); }

// High sigma per lane for a block whose lane p is pixel x0 + p: each lane
// takes the entry of its own pixel's block column (one division per column).
// Lanes left of column 0 (the padding of a row narrower than 16) get sH = 0
// and inv = 0, which gives hAlpha = 0 there; they are dropped anyway.
inline HighSigma laneHighSigma(const uint32_t *sigRow, int x0) {
  int32_t sLane[16];
  float invLane[16];
  int col = -1;
  int32_t sH = 0;
  float inv = 0.0f;
  for (int p = 0; p < 16; ++p) {
    const int X = x0 + p;
    if (X >= 0 && (X >> 3) != col) {
      col = X >> 3;
      sH = static_cast<int32_t>(sigRow[col]);
      inv = invSigma(sH);
    }
    sLane[p] = sH;
    invLane[p] = inv;
  }
  HighSigma hs;
  for (int q = 0; q < 4; ++q) {
    hs.sH[q] = vld1q_s32(sLane + 4 * q);
    hs.inv[q] = vld1q_f32(invLane + 4 * q);
  }
  return hs;
}

// hAlpha of 4 lanes: min(trunc(max(h - sH, 0) x 128 x inv + 0.5), 128), the
// subtraction and the shift wrapping in 32 bits; the conversion saturates
// and the narrowing to 16 bits saturates too, so 65536 and more end as 128.
inline uint16x4_t hAlpha4(int16x4_t h, int32x4_t sH, float32x4_t inv) {
  int32x4_t hd = vmaxq_s32(vsubq_s32(vmovl_s16(h), sH), vdupq_n_s32(0));
  hd = vshlq_n_s32(hd, 7);
  const float32x4_t f = vaddq_f32(vmulq_f32(vcvtq_f32_s32(hd), inv), vdupq_n_f32(0.5f));
  return vqmovn_u32(vcvtq_u32_f32(f));
}

// newPreAlpha of 8 lanes: min(trunc(staticAlpha x 128 x recip(256 - preAlpha)
// + 0.5), 128); the value before the clamp is at most 16384.
inline uint8x8_t newPreAlpha8(uint8x8_t staticAlpha, uint8x8_t preAlpha) {
  const int16x8_t sa = vreinterpretq_s16_u16(vmovl_u8(staticAlpha));
  const int16x8_t den = vsubq_s16(vdupq_n_s16(256), vreinterpretq_s16_u16(vmovl_u8(preAlpha)));
  const float32x4_t half = vdupq_n_f32(0.5f);
  const float32x4_t num0 = vcvtq_f32_s32(vshll_n_s16(vget_low_s16(sa), 7));
  const float32x4_t num1 = vcvtq_f32_s32(vshll_n_s16(vget_high_s16(sa), 7));
  const float32x4_t inv0 = recipRefine4(vcvtq_f32_s32(vmovl_s16(vget_low_s16(den))));
  const float32x4_t inv1 = recipRefine4(vcvtq_f32_s32(vmovl_s16(vget_high_s16(den))));
  const uint16x4_t q0 = vmovn_u32(vcvtq_u32_f32(vaddq_f32(vmulq_f32(num0, inv0), half)));
  const uint16x4_t q1 = vmovn_u32(vcvtq_u32_f32(vaddq_f32(vmulq_f32(num1, inv1), half)));
  return vmovn_u16(vminq_u16(vcombine_u16(q0, q1), vdupq_n_u16(128)));
}

// RoundShift(p x w + c x (128 - w), 7) for 8 lanes; at most 255 x 128.
inline uint8x8_t blend8(uint8x8_t c, uint8x8_t p, uint8x8_t w) {
  const uint8x8_t wc = vsub_u8(vdup_n_u8(128), w);
  return vrshrn_n_u16(vmlal_u8(vmull_u8(p, w), c, wc), 7);
}
inline uint8x16_t blend16(uint8x16_t c, uint8x16_t p, uint8x16_t w) {
  return vcombine_u8(blend8(vget_low_u8(c), vget_low_u8(p), vget_low_u8(w)),
                     blend8(vget_high_u8(c), vget_high_u8(p), vget_high_u8(w)));
}

// Stores v at dst; with kMasked, lanes where keep is set keep dst's bytes
// (the lanes that the previous block already updated).
template <bool kMasked>
inline void store16(uint8_t *dst, uint8x16_t v, uint8x16_t keep) {
  if (kMasked) v = vbslq_u8(keep, vld1q_u8(dst), v);
  vst1q_u8(dst, v);
}

struct PassConst {
  uint8_t ratioR;       // static_ratio_r
  uint16_t ratioDelta;  // static_ratio_delta
};

// Outputs and in-place operands of one 16-pixel block; curC/preC are null on
// even rows.
struct BlockIo {
  const int16_t *hdiff;
  uint8_t *preAlpha;
  uint8_t *curY;
  const uint8_t *preY;
  uint8_t *curC;
  const uint8_t *preC;
  uint8_t *alpha;
  uint8_t *gain;
};

// One block of the per-pixel pass, given its lAlpha and high sigmas. Outputs
// are written in the order pPreAlpha, luma, chroma, pAlpha, gain.
template <bool kMasked>
inline void pixelBlock(const BlockIo &io, uint8x16_t lAlpha, const HighSigma &hs,
                       const PassConst &pc, uint8x16_t keep) {
  const int16x8_t h0 = vld1q_s16(io.hdiff);
  const int16x8_t h1 = vld1q_s16(io.hdiff + 8);
  const uint16x8_t ha0 = vcombine_u16(hAlpha4(vget_low_s16(h0), hs.sH[0], hs.inv[0]),
                                      hAlpha4(vget_high_s16(h0), hs.sH[1], hs.inv[1]));
  const uint16x8_t ha1 = vcombine_u16(hAlpha4(vget_low_s16(h1), hs.sH[2], hs.inv[2]),
                                      hAlpha4(vget_high_s16(h1), hs.sH[3], hs.inv[3]));
  const uint16x8_t c128 = vdupq_n_u16(128);
  const uint8x8_t hAlphaLo = vmovn_u16(vminq_u16(ha0, c128));
  const uint8x8_t hAlphaHi = vmovn_u16(vminq_u16(ha1, c128));

  const uint8x8_t motionLo = vrshrn_n_u16(vmull_u8(vget_low_u8(lAlpha), hAlphaLo), 7);
  const uint8x8_t motionHi = vrshrn_n_u16(vmull_u8(vget_high_u8(lAlpha), hAlphaHi), 7);
  const uint8x8_t v128 = vdup_n_u8(128);
  const uint8x8_t staticLo = vsub_u8(v128, motionLo);
  const uint8x8_t staticHi = vsub_u8(v128, motionHi);

  const uint8x16_t preAlpha = vld1q_u8(io.preAlpha);
  const uint8x16_t w = vcombine_u8(newPreAlpha8(staticLo, vget_low_u8(preAlpha)),
                                   newPreAlpha8(staticHi, vget_high_u8(preAlpha)));
  store16<kMasked>(io.preAlpha, w, keep);

  store16<kMasked>(io.curY, blend16(vld1q_u8(io.curY), vld1q_u8(io.preY), w), keep);

  if (io.curC) {
    // Byte p of the block takes the weight of lane 2 x (p >> 1) + 1: the
    // right-hand pixel of its pair, counted from the block's start.
    const uint8x8_t odd = vget_low_u8(vuzpq_u8(w, w).val[1]);
    const uint8x8x2_t z = vzip_u8(odd, odd);
    const uint8x16_t wC = vcombine_u8(z.val[0], z.val[1]);
    store16<kMasked>(io.curC, blend16(vld1q_u8(io.curC), vld1q_u8(io.preC), wC), keep);
  }

  // staticRatio = r + RoundShift(staticAlpha^2 x delta, 14), at most 128.
  const uint16x8_t sq0 = vmull_u8(staticLo, staticLo);
  const uint16x8_t sq1 = vmull_u8(staticHi, staticHi);
  const uint16x4_t t0 = vrshrn_n_u32(vmull_n_u16(vget_low_u16(sq0), pc.ratioDelta), 14);
  const uint16x4_t t1 = vrshrn_n_u32(vmull_n_u16(vget_high_u16(sq0), pc.ratioDelta), 14);
  const uint16x4_t t2 = vrshrn_n_u32(vmull_n_u16(vget_low_u16(sq1), pc.ratioDelta), 14);
  const uint16x4_t t3 = vrshrn_n_u32(vmull_n_u16(vget_high_u16(sq1), pc.ratioDelta), 14);
  const uint8x8_t vR = vdup_n_u8(pc.ratioR);
  const uint8x8_t ratioLo = vadd_u8(vmovn_u16(vcombine_u16(t0, t1)), vR);
  const uint8x8_t ratioHi = vadd_u8(vmovn_u16(vcombine_u16(t2, t3)), vR);
  store16<kMasked>(io.alpha, vcombine_u8(ratioLo, ratioHi), keep);

  // Gain: max(RoundShift(staticRatio x g, 7), 1).
  const uint8x16_t g = vld1q_u8(io.gain);
  const uint8x8_t one = vdup_n_u8(1);
  const uint8x8_t gLo = vmax_u8(vrshrn_n_u16(vmull_u8(ratioLo, vget_low_u8(g)), 7), one);
  const uint8x8_t gHi = vmax_u8(vrshrn_n_u16(vmull_u8(ratioHi, vget_high_u8(g)), 7), one);
  store16<kMasked>(io.gain, vcombine_u8(gLo, gHi), keep);
}

}  // namespace

void upScale_neon(uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff, int16_t *pHdiff, uint8_t *pTmp,
                  uint8_t *pAlpha, uint8_t *pPreAlpha, uint8_t *gain_table_u8, int imgHeight,
                  int imgWidth, int proHeight, int proWidth, int GainStride,
                  uint8_t static_ratio_r_bit, uint16_t *pSigmaL, uint32_t *pSigmaH) {
  const int dsHgt = (proHeight + 7) / 8;
  const int dsWid = (proWidth + 7) / 8;
  const int dsStride = dsWid + 2;
  const int sigmaStride = dsWid + 8;
  const int hdiffStride = proWidth + 2;
  const int tmpStride = dsStride;

  PassConst pc;
  pc.ratioR = static_ratio_r_bit < 8 ? static_cast<uint8_t>(1u << static_ratio_r_bit) : 0;
  pc.ratioDelta = static_cast<uint8_t>(128 - pc.ratioR);

  uint8_t lutTable[16], wgtTable[16];
  std::memcpy(lutTable, kLutTable, sizeof lutTable);
  std::memcpy(wgtTable, kWgtTable, sizeof wgtTable);
  const uint8x16_t laneIndex = vld1q_u8(kLaneIndex);

  blockAlphaPlane(pLdiff, pSigmaL, pAlpha, dsHgt, dsWid, dsStride, sigmaStride);
  rowBuffer(pAlpha, pTmp, proHeight, dsHgt, dsWid, tmpStride);

  const uint8_t *tEnd = pTmp + static_cast<ptrdiff_t>(proHeight) * tmpStride;
  for (int y = 0; y < proHeight; ++y) {
    const uint8_t *tRow = pTmp + y * tmpStride;
    const uint32_t *sigRow = pSigmaH + (y >> 3) * sigmaStride;
    const ptrdiff_t mapRow = static_cast<ptrdiff_t>(y) * GainStride;
    const ptrdiff_t lumaRow = static_cast<ptrdiff_t>(y) * imgWidth;
    const bool oddRow = (y & 1) != 0;
    const ptrdiff_t chromaRow = static_cast<ptrdiff_t>(imgWidth) * (imgHeight + (y >> 1));

    if (proWidth >= 16) {
      for (int x = 0; x < proWidth; x += 16) {
        const bool last = x + 16 > proWidth;
        const int offsetX = last ? proWidth - 16 : x;
        BlockIo io;
        io.hdiff = pHdiff + y * hdiffStride + offsetX;
        io.preAlpha = pPreAlpha + mapRow + offsetX;
        io.curY = pCurIn + lumaRow + offsetX;
        io.preY = pPreIn + lumaRow + offsetX;
        io.curC = oddRow ? pCurIn + chromaRow + offsetX : nullptr;
        io.preC = oddRow ? pPreIn + chromaRow + offsetX : nullptr;
        io.alpha = pAlpha + mapRow + offsetX;
        io.gain = gain_table_u8 + mapRow + offsetX;
        const uint8x16_t lAlpha =
            vcombine_u8(interpHalf(tRow, offsetX, tEnd, lutTable, wgtTable),
                        interpHalf(tRow, offsetX + 8, tEnd, lutTable, wgtTable));
        if (!last) {
          // Lanes 0 .. 7 lie in block column x / 8, lanes 8 .. 15 in the next.
          const int32_t s0 = static_cast<int32_t>(sigRow[x >> 3]);
          const int32_t s1 = static_cast<int32_t>(sigRow[(x >> 3) + 1]);
          const float inv0 = invSigma(s0), inv1 = invSigma(s1);
          HighSigma hs;
          hs.sH[0] = hs.sH[1] = vdupq_n_s32(s0);
          hs.sH[2] = hs.sH[3] = vdupq_n_s32(s1);
          hs.inv[0] = hs.inv[1] = vdupq_n_f32(inv0);
          hs.inv[2] = hs.inv[3] = vdupq_n_f32(inv1);
          pixelBlock<false>(io, lAlpha, hs, pc, vdupq_n_u8(0));
        } else {
          // Moved back to end at the row's end. Lanes offsetX .. x - 1 were
          // already updated in place by the previous block: their results
          // here come from updated inputs and are discarded.
          const HighSigma hs = laneHighSigma(sigRow, offsetX);
          const uint8x16_t keep =
              vcltq_u8(laneIndex, vdupq_n_u8(static_cast<uint8_t>(x - offsetX)));
          pixelBlock<true>(io, lAlpha, hs, pc, keep);
        }
      }
    } else {
      // A row narrower than one block: the block is moved back to start at
      // proWidth - 16 < 0, so pixel X sits in lane X + pad of zero-padded
      // local copies and only those lanes are copied back. Chroma pairs
      // count from that start, as in any moved-back block.
      const int pad = 16 - proWidth;
      int16_t h[16] = {0};
      uint8_t pa[16] = {0}, cy[16] = {0}, py[16] = {0}, cc[16] = {0}, pcb[16] = {0};
      uint8_t al[16] = {0}, gn[16] = {0};
      const size_t n = static_cast<size_t>(proWidth);
      std::memcpy(h + pad, pHdiff + y * hdiffStride, n * sizeof(int16_t));
      std::memcpy(pa + pad, pPreAlpha + mapRow, n);
      std::memcpy(cy + pad, pCurIn + lumaRow, n);
      std::memcpy(py + pad, pPreIn + lumaRow, n);
      std::memcpy(gn + pad, gain_table_u8 + mapRow, n);
      if (oddRow) {
        std::memcpy(cc + pad, pCurIn + chromaRow, n);
        std::memcpy(pcb + pad, pPreIn + chromaRow, n);
      }
      // lAlpha of pixels 0 .. 15 from a padded copy of the T row, shifted by pad.
      uint8_t t[24] = {0};
      std::memcpy(t, tRow, static_cast<size_t>(tmpStride));
      uint8_t lShift[32] = {0};
      vst1q_u8(lShift + pad, vcombine_u8(interpHalf(t, 0, t + sizeof t, lutTable, wgtTable),
                                         interpHalf(t, 8, t + sizeof t, lutTable, wgtTable)));
      const uint8x16_t lAlpha = vld1q_u8(lShift);

      const HighSigma hs = laneHighSigma(sigRow, -pad);
      BlockIo io{h, pa, cy, py, oddRow ? cc : nullptr, pcb, al, gn};
      pixelBlock<false>(io, lAlpha, hs, pc, vdupq_n_u8(0));
      std::memcpy(pPreAlpha + mapRow, pa + pad, n);
      std::memcpy(pCurIn + lumaRow, cy + pad, n);
      if (oddRow) std::memcpy(pCurIn + chromaRow, cc + pad, n);
      std::memcpy(pAlpha + mapRow, al + pad, n);
      std::memcpy(gain_table_u8 + mapRow, gn + pad, n);
    }
  }
}

}  // namespace tnr_md
