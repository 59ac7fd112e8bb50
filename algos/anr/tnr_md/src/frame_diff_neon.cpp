// Frame difference with 8x8 block downscale, vector form: groups of four or
// two blocks where the chroma weight keeps the terms small (below); else one
// block per step, 8 luma rows of 8 lanes, the chroma pairs de-interleaved and
// widened to the block's 8 luma columns.
#include <cstdint>
#include <cstring>

#include "arith.h"
#include "kernels.h"
#include "neon.h"

namespace tnr_md {

namespace {

// |x| of a 32-bit value, wrapping (|INT32_MIN| stays INT32_MIN).

// Differences dU, dV of the chroma pairs that serve luma columns cx .. cx + 7
// of one chroma row, one lane per luma column. The pairs start at byte
// cx & ~1; an odd cx needs pairs (cx - 1) / 2 .. (cx + 7) / 2, bytes cx - 1 ..
// cx + 8. The 16-byte de-interleaving load reads bytes (cx & ~1) .. +15; when
// those would pass the end of the frame (last chroma row, last block), the
// bytes up to the frame's end are copied into a local block first.
struct ChromaDiff {
  int16x8_t du, dv;
};

inline ChromaDiff chromaDiff(const uint8_t *cur, const uint8_t *pre, bool oddCol, size_t avail) {
  uint8x8x2_t c, p;
  if (avail >= 16) {
    c = vld2_u8(cur);
    p = vld2_u8(pre);
  } else {
    uint8_t cb[16] = {0}, pb[16] = {0};
    std::memcpy(cb, cur, avail);
    std::memcpy(pb, pre, avail);
    c = vld2_u8(cb);
    p = vld2_u8(pb);
  }
  // Per pair j (lane j): the exact difference of widened bytes, never saturated.
  const int16x8_t u = vqsubq_s16(vreinterpretq_s16_u16(vmovl_u8(c.val[0])),
                                 vreinterpretq_s16_u16(vmovl_u8(p.val[0])));
  const int16x8_t v = vqsubq_s16(vreinterpretq_s16_u16(vmovl_u8(c.val[1])),
                                 vreinterpretq_s16_u16(vmovl_u8(p.val[1])));
  // Zipping a vector with itself duplicates each pair for its two columns.
  const int16x8x2_t zu = vzipq_s16(u, u);
  const int16x8x2_t zv = vzipq_s16(v, v);
  if (!oddCol) return {zu.val[0], zv.val[0]};
  // Odd cx: columns cx .. cx + 7 take pairs 0, 1, 1, 2, 2, 3, 3, 4.
  return {vextq_s16(zu.val[0], zu.val[1], 1), vextq_s16(zv.val[0], zv.val[1], 1)};
}

inline int64_t sumLanes(int16x8_t v) {
  const int64x2_t s = vpaddlq_s32(vpaddlq_s16(v));
  return vgetq_lane_s64(s, 0) + vgetq_lane_s64(s, 1);
}

// t = Low16(RoundShift((|dU| + |dV|) * uvf16, 7)) per lane, the product
// exact in 32 bits; uvf16 in lane 0 of uvf.
inline int16x8_t chromaTerm(int16x8_t du, int16x8_t dv, int16x4_t uvf) {
  const int16x8_t absUV = vaddq_s16(vabsq_s16(du), vabsq_s16(dv));
  return vcombine_s16(vrshrn_n_s32(vmull_lane_s16(vget_low_s16(absUV), uvf, 0), 7),
                      vrshrn_n_s32(vmull_lane_s16(vget_high_s16(absUV), uvf, 0), 7));
}

// A block's two outputs (arith.h's blockOut) stored at ld and sg.
inline void blockResult(int32_t sumY, int32_t sumU, int32_t sumV, int32_t sumYUV, int32_t fix,
                        int16_t *ld, int16_t *sg) {
  const BlockOut b = blockOut(sumY, sumU, sumV, sumYUV, fix);
  *ld = b.ldiff;
  *sg = b.sigma;
}

// The sums of two neighbouring blocks a, b in lanes 0, 1: luma y, chroma u
// and v over the pairs (each pair serves 4 samples), and h.
struct PairSums {
  int32x2_t y, u, v, h;
};

// blockResult of the blocks of p and q (blocks 0, 1 and 2, 3), the last
// n (2 or 4) of whose outputs are stored as the low 16 bits at ld[0 .. n - 1]
// and sg[0 .. n - 1]; absFix = |uvRatioFix| <= 2^17. Only the magnitudes of
// the chroma values count: |SymRoundShift(a x fix, 7)| is (a x |fix| + 64) >>
// 7, below 2^31 (|chromaSum| <= 64 x 255).
// The sums of four neighbouring blocks, one per lane, as in PairSums.
struct QuadSums {
  int32x4_t y, u, v, h;
};

// blockResult of the four blocks of s, their outputs' low 16 bits in the
// lanes of ld and sg (same bounds as blockOuts below).
struct QuadOuts {
  int16x4_t ld, sg;
};
inline QuadOuts quadOuts(const QuadSums &s, int32_t absFix) {
  // a = |4 x chroma sum| >> 1 = 2 x |chroma sum|.
  const int32x4_t u = vshlq_n_s32(vabsq_s32(s.u), 1);
  const int32x4_t v = vshlq_n_s32(vabsq_s32(s.v), 1);
  const int32x4_t uvU = vrshrq_n_s32(vmulq_n_s32(u, absFix), 7);
  const int32x4_t uvV = vrshrq_n_s32(vmulq_n_s32(v, absFix), 7);
  const int32x4_t yAbs = vabsq_s32(vshrq_n_s32(s.y, 1));
  // The sums wrap in 32 bits like the unsigned per-block ones.
  const uint32x4_t ds =
      vaddq_u32(vaddq_u32(vreinterpretq_u32_s32(yAbs), vreinterpretq_u32_s32(uvU)),
                vreinterpretq_u32_s32(uvV));
  const uint32x4_t diff = vsubq_u32(ds, vreinterpretq_u32_s32(vshrq_n_s32(s.h, 1)));
  return {vreinterpret_s16_u16(vmovn_u32(ds)),
          vmovn_s32(vabsq_s32(vreinterpretq_s32_u32(diff)))};  // |INT32_MIN| wraps
}

inline void blockOuts(const PairSums &p, const PairSums &q, int n, int32_t absFix, int16_t *ld,
                      int16_t *sg) {
  const QuadOuts o = quadOuts({vcombine_s32(p.y, q.y), vcombine_s32(p.u, q.u),
                               vcombine_s32(p.v, q.v), vcombine_s32(p.h, q.h)},
                              absFix);
  const int16x4_t ldOut = o.ld, sgOut = o.sg;
  if (n == 4) {
    vst1_s16(ld, ldOut);
    vst1_s16(sg, sgOut);
  } else {
    // ld and sg may lie at odd multiples of 2 bytes.
    const uint32_t ldPair = vget_lane_u32(vreinterpret_u32_s16(ldOut), 0);
    const uint32_t sgPair = vget_lane_u32(vreinterpret_u32_s16(sgOut), 0);
    std::memcpy(ld, &ldPair, sizeof ldPair);
    std::memcpy(sg, &sgPair, sizeof sgPair);
  }
}

// The same for any chroma weight, block by block.
inline void blockOutsScalar(const PairSums &p, int32_t uvRatioFix, int16_t *ld, int16_t *sg) {
  int32_t ys[2], hs[2], us[2], vs[2];
  vst1_s32(ys, p.y);
  vst1_s32(hs, p.h);
  vst1_s32(us, p.u);
  vst1_s32(vs, p.v);
  blockResult(ys[0], 4 * us[0], 4 * vs[0], hs[0], uvRatioFix, ld, sg);
  blockResult(ys[1], 4 * us[1], 4 * vs[1], hs[1], uvRatioFix, ld + 1, sg + 1);
}

// One block at luma column cx (any parity) and row offsetRow (any parity);
// hd points at the difference plane's sample (offsetRow, 0).
void block8(const uint8_t *pCurIn, const uint8_t *pPreIn, int16_t *hd, int hDiffStride,
            int imgWidth, size_t chromaStart, size_t frameBytes, int offsetRow, int cx,
            int16x4_t uvf16, int32_t uvRatioFix, int16_t *ld, int16_t *sg) {
  const bool oddCol = (cx & 1) != 0;
  int16x8_t sumY = vdupq_n_s16(0), sumU = vdupq_n_s16(0), sumV = vdupq_n_s16(0);
  int16x8_t sumH = vdupq_n_s16(0);
  ChromaDiff ch{};
  int16x8_t t = vdupq_n_s16(0);
  for (int k = 0; k < 8; ++k) {
    const int row = offsetRow + k;
    // A new chroma row at every even luma row, and at the first row.
    if (k == 0 || (row & 1) == 0) {
      const size_t off = chromaStart + static_cast<size_t>(row >> 1) * imgWidth + (cx & ~1);
      ch = chromaDiff(pCurIn + off, pPreIn + off, oddCol, frameBytes - off);
      t = chromaTerm(ch.du, ch.dv, uvf16);
    }
    const size_t lo = static_cast<size_t>(row) * imgWidth + cx;
    const int16x8_t dY = vqsubq_s16(vreinterpretq_s16_u16(vmovl_u8(vld1_u8(pCurIn + lo))),
                                    vreinterpretq_s16_u16(vmovl_u8(vld1_u8(pPreIn + lo))));
    const int16x8_t h = vaddq_s16(vabsq_s16(dY), t);  // wraps
    vst1q_s16(hd + k * hDiffStride + cx, vshlq_n_s16(h, 5));
    // Column sums: dY, dU, dV stay within +-2040; h wraps in 16 bits.
    sumY = vaddq_s16(sumY, dY);
    sumU = vaddq_s16(sumU, ch.du);
    sumV = vaddq_s16(sumV, ch.dv);
    sumH = vaddq_s16(sumH, h);
  }
  blockResult(static_cast<int32_t>(sumLanes(sumY)), static_cast<int32_t>(sumLanes(sumU)),
              static_cast<int32_t>(sumLanes(sumV)), static_cast<int32_t>(sumLanes(sumH)),
              uvRatioFix, ld, sg);
}

// The chroma terms of 4 pairs from their |dU| + |dV| (at most 510, exact in
// the 32-bit product): Low16(RoundShift(x * uvf16, 7)) in both 16-bit halves
// of a 32-bit lane, so that read as 8 lanes of 16 bits each pair's term
// stands at both of its luma columns. uvf holds uvf16 in every lane (a
// multiply by a lane would tie it to registers d0 .. d7 on ARMv7).
inline int16x8_t chromaTermCols(int16x4_t absUV, int16x4_t uvf) {
  const int32x4_t r = vrshrq_n_s32(vmull_s16(absUV, uvf), 7);
  return vreinterpretq_s16_s32(vsliq_n_s32(r, r, 16));
}

// The same terms of 8 pairs for a chroma weight |uvf16| < 128, in 16-bit
// lanes (lane j pair j): with uvf256 = 256 x uvf16 in lane 0 (a multiply by
// a lane, which holds one d register, not a q register of copies, in ARMv7's
// tight loop), the doubling rounding high half (2 x a x uvf256 + 2^15) >> 16
// is (a x uvf16 + 64) >> 7, the product far from saturating.
inline int16x8_t chromaTermSmall(int16x8_t absUV, int16x4_t uvf256) {
  return vqrdmulhq_lane_s16(absUV, uvf256, 0);
}

// Row pointers step with walk on ARMv7; AArch64's register-offset
// addressing does better with the compiler's own induction variables.
template <typename T>
inline T *stepRow(T *p, int n) {
#if defined(__arm__)
  return walk(p, n);
#else
  return p + n;
#endif
}

// Two neighbouring blocks at an even luma column cx and an even row
// offsetRow, columns cx .. cx + 15 inside the grid. The 16 chroma bytes of a
// chroma row (8 pairs, 4 per block, all inside the grid's columns) are loaded,
// differenced and weighted once for both of its luma rows.
//
// kSmallFix (|uvf16| < 128): every chroma term t lies within +-506 and every
// h = |dY| + t within -506 .. 761, so no column sum of 8 wraps and a block's
// sum of h is the sum of its |dY| plus 4 x the sum of its pairs' terms (each
// pair serves 2 columns of 2 rows). The stored 32 x h is, modulo 2^16, 32 x t
// plus 32 x |dY|: one widening multiply-add per 8 samples. Otherwise h is
// formed and summed per column as the per-sample form does, wrapping.
template <bool kSmallFix>
__attribute__((always_inline)) inline PairSums blockPair(const uint8_t *curY, const uint8_t *preY,
                                                         const uint8_t *curC, const uint8_t *preC,
                                                         int imgWidth, int16_t *hd, int hDiffStride,
                                                         int16x4_t uvf16) {
  // Sums of neighbouring luma bytes of both frames (lanes 0 .. 3 block a),
  // at most 8 x 510; their difference gives the luma sums. Chroma
  // differences per pair (lanes 0 .. 3 block a). With kSmallFix, sums of
  // neighbouring |dY| (sumAbs) and the pairs' terms (sumT, at most 4 x 506
  // in size); else wrapped column sums of h (sumHa, sumHb).
  uint16x8_t sumCY, sumPY, sumAbs;
  int16x8_t sumU, sumV, sumT, sumHa, sumHb;
  const uint8x8_t x32 = vdup_n_u8(32);
  // The terms of a chroma row per luma column, for its two luma rows: with
  // kSmallFix scaled by 32 (as the plane stores h).
  auto chromaRow = [&](bool first, int16x8_t &ta, int16x8_t &tb) {
    const uint8x8x2_t cc = vld2_u8(curC);
    const uint8x8x2_t pc = vld2_u8(preC);
    curC = stepRow(curC, imgWidth);
    preC = stepRow(preC, imgWidth);
    // Exact differences of bytes: the wrapped 16-bit difference read as signed.
    const int16x8_t du = vreinterpretq_s16_u16(vsubl_u8(cc.val[0], pc.val[0]));
    const int16x8_t dv = vreinterpretq_s16_u16(vsubl_u8(cc.val[1], pc.val[1]));
    sumU = first ? du : vaddq_s16(sumU, du);
    sumV = first ? dv : vaddq_s16(sumV, dv);
    const int16x8_t absUV =
        vreinterpretq_s16_u16(vabal_u8(vabdl_u8(cc.val[0], pc.val[0]), cc.val[1], pc.val[1]));
    if (kSmallFix) {
      const int16x8_t t = chromaTermSmall(absUV, vshl_n_s16(uvf16, 8));
      sumT = first ? t : vaddq_s16(sumT, t);
      const int16x8_t t32 = vshlq_n_s16(t, 5);
      const int16x8x2_t z = vzipq_s16(t32, t32);
      ta = z.val[0];
      tb = z.val[1];
    } else {
      ta = chromaTermCols(vget_low_s16(absUV), uvf16);
      tb = chromaTermCols(vget_high_s16(absUV), uvf16);
    }
  };
  // One luma row of both blocks, ta and tb holding the chroma term per column.
  auto lumaRow = [&](int16x8_t ta, int16x8_t tb, bool first) {
    const uint8x16_t cy = vld1q_u8(curY);
    const uint8x16_t py = vld1q_u8(preY);
    curY = stepRow(curY, imgWidth);
    preY = stepRow(preY, imgWidth);
    sumCY = first ? vpaddlq_u8(cy) : vpadalq_u8(sumCY, cy);
    sumPY = first ? vpaddlq_u8(py) : vpadalq_u8(sumPY, py);
    if (kSmallFix) {
      const uint8x16_t ad = vabdq_u8(cy, py);
      sumAbs = first ? vpaddlq_u8(ad) : vpadalq_u8(sumAbs, ad);
      vst1q_u16(reinterpret_cast<uint16_t *>(hd),
                vmlal_u8(vreinterpretq_u16_s16(ta), vget_low_u8(ad), x32));
#if defined(__aarch64__)
      // AArch64 multiplies the high half in place instead of moving it out
      // first (768x576 real footage: 10.64 to 10.55 executed instructions
      // per pixel).
      vst1q_u16(reinterpret_cast<uint16_t *>(hd) + 8,
                vmlal_high_u8(vreinterpretq_u16_s16(tb), ad, vdupq_n_u8(32)));
#else
      vst1q_u16(reinterpret_cast<uint16_t *>(hd) + 8,
                vmlal_u8(vreinterpretq_u16_s16(tb), vget_high_u8(ad), x32));
#endif
    } else {
      const int16x8_t ha = vaddq_s16(  // wraps
          vreinterpretq_s16_u16(vabdl_u8(vget_low_u8(cy), vget_low_u8(py))), ta);
      const int16x8_t hb =
          vaddq_s16(vreinterpretq_s16_u16(vabdl_u8(vget_high_u8(cy), vget_high_u8(py))), tb);
      vst1q_s16(hd, vshlq_n_s16(ha, 5));
      vst1q_s16(hd + 8, vshlq_n_s16(hb, 5));
      sumHa = first ? ha : vaddq_s16(sumHa, ha);
      sumHb = first ? hb : vaddq_s16(sumHb, hb);
    }
    hd = stepRow(hd, hDiffStride);
  };
  int16x8_t ta, tb;
  chromaRow(true, ta, tb);
  lumaRow(ta, tb, true);
  lumaRow(ta, tb, false);
#pragma GCC unroll 1
  for (int c = 1; c < 4; ++c) {
    chromaRow(false, ta, tb);
    lumaRow(ta, tb, false);
    lumaRow(ta, tb, false);
  }
  // Block sums, a and b side by side. Lanes of the widened pair sums are
  // pairs 0 + 1, 2 + 3 of a, then of b; each chroma pair serves 4 samples.
  // The difference of the luma byte sums is exact in 16 bits.
  const int32x4_t u = vpaddlq_s16(sumU), v = vpaddlq_s16(sumV);
  const int32x4_t yq = vpaddlq_s16(vreinterpretq_s16_u16(vsubq_u16(sumCY, sumPY)));
  int32x2_t h;
  if (kSmallFix) {
    const int32x4_t hq =
        vaddq_s32(vreinterpretq_s32_u32(vpaddlq_u16(sumAbs)), vshlq_n_s32(vpaddlq_s16(sumT), 2));
    h = vpadd_s32(vget_low_s32(hq), vget_high_s32(hq));
  } else {
    const int32x4_t ha = vpaddlq_s16(sumHa), hb = vpaddlq_s16(sumHb);
    h = vpadd_s32(vpadd_s32(vget_low_s32(ha), vget_high_s32(ha)),
                  vpadd_s32(vget_low_s32(hb), vget_high_s32(hb)));
  }
  return {vpadd_s32(vget_low_s32(yq), vget_high_s32(yq)),
          vpadd_s32(vget_low_s32(u), vget_high_s32(u)),
          vpadd_s32(vget_low_s32(v), vget_high_s32(v)), h};
}

// The whole blocks of an even block row from column 0, two pairs at a time
// (their outputs formed together), then one pair; returns the column after
// them. cy, py, cc, pc: the row's first luma and chroma bytes.
template <bool kSmallFix>
int blockPairs(const uint8_t *cy, const uint8_t *py, const uint8_t *cc, const uint8_t *pc,
               int imgWidth, int proWidth, int16_t *hd, int hDiffStride, int16x4_t uvf16,
               int32_t uvRatioFix, int32_t absFix, int16_t *ld, int16_t *sg) {
  int x = 0;
#define TNR_MD_PAIR(at)                                                                 \
  blockPair<kSmallFix>(cy + (at), py + (at), cc + (at), pc + (at), imgWidth, hd + (at), \
                       hDiffStride, uvf16)

  if (absFix < 0) {
    for (; x + 16 <= proWidth; x += 16)
      blockOutsScalar(TNR_MD_PAIR(x), uvRatioFix, ld + x / 8, sg + x / 8);
    return x;
  }
  for (; x + 32 <= proWidth; x += 32) {
    const PairSums p = TNR_MD_PAIR(x);
    blockOuts(p, TNR_MD_PAIR(x + 16), 4, absFix, ld + x / 8, sg + x / 8);
  }
  if (x + 16 <= proWidth) {
    const PairSums p = TNR_MD_PAIR(x);
    blockOuts(p, p, 2, absFix, ld + x / 8, sg + x / 8);
    x += 16;
  }
  return x;
#undef TNR_MD_PAIR
}

#if !defined(__aarch64__)
// ARMv7 (and the x86 build of this source), a row's last pair after the
// groups of four (blockQuads): the blocks of blockPairs<true>
// one pair at a time from luma and chroma rows loaded de-interleaved (one
// structure load each, whose two halves form one register): the even
// columns (U) in the low half, the odd ones (V) in the high half. Luma
// columns 2j and 2j + 1 share pair j's term, so lane j of the term serves
// both halves without a zip, and one structure store writes 32 x h of 16
// columns interleaved, its pointer stepped in the store; the chroma sums are
// byte sums of both frames like the luma ones. The loop keeps its values in
// registers, where blockPair's spills copies. 768x576 real footage,
// executed instructions per pixel: the stage 1.61 to 1.42. (AArch64's
// de-interleaving loads leave the halves in two registers, which take moves
// to pair: its stage counted 1.84 this way against 1.54.)
inline PairSums blockPairEvenOdd(const uint8_t *curY, const uint8_t *preY, const uint8_t *curC,
                                 const uint8_t *preC, int imgWidth, int16_t *hd, int hDiffStride,
                                 int16x4_t uvf256) {
  auto load = [](const uint8_t *p) {
    const uint8x8x2_t d = vld2_u8(p);
    return vcombine_u8(d.val[0], d.val[1]);
  };
  // Sums of neighbouring bytes of both frames: luma lanes 0, 1, 4, 5 block
  // a, 2, 3, 6, 7 block b (at most 16 x 255 each); chroma U lanes 0 .. 3, V
  // lanes 4 .. 7, a then b (at most 8 x 255). Sums of neighbouring |dY|
  // (sumAbs) and of the pairs' terms (sumT, as in blockPair).
  uint16x8_t sumCY = vdupq_n_u16(0), sumPY = sumCY, sumAbs = sumCY, sumCC = sumCY, sumPC = sumCY;
  int16x8_t sumT = vdupq_n_s16(0);
#pragma GCC unroll 1
  for (int c = 0; c < 4; ++c) {
    const uint8x16_t cuv = load(curC), puv = load(preC);
    curC = stepRow(curC, imgWidth);
    preC = stepRow(preC, imgWidth);
    sumCC = vpadalq_u8(sumCC, cuv);
    sumPC = vpadalq_u8(sumPC, puv);
    const uint8x16_t adUV = vabdq_u8(cuv, puv);
    const int16x8_t t = chromaTermSmall(
        vreinterpretq_s16_u16(vaddl_u8(vget_low_u8(adUV), vget_high_u8(adUV))), uvf256);
    sumT = vaddq_s16(sumT, t);
    const int16x8_t t32 = vshlq_n_s16(t, 5);
    for (int r = 0; r < 2; ++r) {
      const uint8x16_t cy = load(curY), py = load(preY);
      curY = stepRow(curY, imgWidth);
      preY = stepRow(preY, imgWidth);
      sumCY = vpadalq_u8(sumCY, cy);
      sumPY = vpadalq_u8(sumPY, py);
      const uint8x16_t ad = vabdq_u8(cy, py);
      sumAbs = vpadalq_u8(sumAbs, ad);
      // 32 x h modulo 2^16, as in blockPair.
      int16x8x2_t h;
      h.val[0] = vaddq_s16(t32, vreinterpretq_s16_u16(vshll_n_u8(vget_low_u8(ad), 5)));
      h.val[1] = vaddq_s16(t32, vreinterpretq_s16_u16(vshll_n_u8(vget_high_u8(ad), 5)));
      vst2q_s16(hd, h);
      hd = stepRow(hd, hDiffStride);
    }
  }
  // The halves of the luma sums added (a, a, b, b), then in pairs: at most
  // 32 x 255 in size, exact in 16 bits; the chroma sums U of a and b, then V.
  const int16x8_t dy = vreinterpretq_s16_u16(vsubq_u16(sumCY, sumPY));
  const int32x2_t y = vpaddl_s16(vadd_s16(vget_low_s16(dy), vget_high_s16(dy)));
  const int32x4_t uv = vpaddlq_s16(vreinterpretq_s16_u16(vsubq_u16(sumCC, sumPC)));
  const int32x2_t abs =
      vreinterpret_s32_u32(vpaddl_u16(vadd_u16(vget_low_u16(sumAbs), vget_high_u16(sumAbs))));
  const int32x4_t t = vpaddlq_s16(sumT);
  const int32x2_t h = vadd_s32(abs, vshl_n_s32(vpadd_s32(vget_low_s32(t), vget_high_s32(t)), 2));
  return {y, vget_low_s32(uv), vget_high_s32(uv), h};
}

// blockOuts of the blocks of p alone (n = 2); fix2 holds 2 x absFix in
// every lane (2 x |chroma sum| x absFix as |chroma sum| x 2 absFix, the
// same product, below 2^31).
inline void blockOutsPair(const PairSums &p, int32x4_t fix2, int16_t *ld, int16_t *sg) {
  const int32x4_t uv = vrshrq_n_s32(vmulq_s32(vabsq_s32(vcombine_s32(p.u, p.v)), fix2), 7);
  const int32x2_t yAbs = vabs_s32(vshr_n_s32(p.y, 1));
  const uint32x2_t ds =
      vadd_u32(vadd_u32(vreinterpret_u32_s32(yAbs), vreinterpret_u32_s32(vget_low_s32(uv))),
               vreinterpret_u32_s32(vget_high_s32(uv)));
  const uint32x2_t diff = vsub_u32(ds, vreinterpret_u32_s32(vshr_n_s32(p.h, 1)));
  // ld's two values in the low 32 bits, sg's in the high 32 (|INT32_MIN| wraps).
  const uint32x2_t out = vreinterpret_u32_u16(
      vmovn_u32(vcombine_u32(ds, vreinterpret_u32_s32(vabs_s32(vreinterpret_s32_u32(diff))))));
  // ld and sg may lie at odd multiples of 2 bytes.
  const uint32_t ldPair = vget_lane_u32(out, 0), sgPair = vget_lane_u32(out, 1);
  std::memcpy(ld, &ldPair, sizeof ldPair);
  std::memcpy(sg, &sgPair, sizeof sgPair);
}

// blockPairs<true> for |fix| <= 2^17 by blockPairEvenOdd: two pairs' outputs
// formed together, a last pair's alone.
int blockPairsEvenOdd(const uint8_t *cy, const uint8_t *py, const uint8_t *cc, const uint8_t *pc,
                      int imgWidth, int proWidth, int16_t *hd, int hDiffStride, int16x4_t uvf16,
                      int32_t absFix, int16_t *ld, int16_t *sg) {
  const int16x4_t uvf256 = vshl_n_s16(uvf16, 8);
  const int32x4_t fix2 = vdupq_n_s32(2 * absFix);
  int x = 0;
#define TNR_MD_PAIR(at)                                                                          \
  blockPairEvenOdd(cy + (at), py + (at), cc + (at), pc + (at), imgWidth, hd + (at), hDiffStride, \
                   uvf256)
  for (; x + 32 <= proWidth; x += 32) {
    const PairSums p = TNR_MD_PAIR(x);
    blockOuts(p, TNR_MD_PAIR(x + 16), 4, absFix, ld + x / 8, sg + x / 8);
  }
  if (x + 16 <= proWidth) {
    blockOutsPair(TNR_MD_PAIR(x), fix2, ld + x / 8, sg + x / 8);
    x += 16;
  }
  return x;
#undef TNR_MD_PAIR
}
#endif

// Sums of neighbouring 16-bit lanes: lane k of a + b's pairs, lanes 0 .. 3
// from a, 4 .. 7 from b.
inline int16x8_t pairSums16(int16x8_t a, int16x8_t b) {
#if defined(__aarch64__)
  return vpaddq_s16(a, b);
#else
  return vcombine_s16(vpadd_s16(vget_low_s16(a), vget_high_s16(a)),
                      vpadd_s16(vget_low_s16(b), vget_high_s16(b)));
#endif
}

// The high halves of a and b widened and added.
inline uint16x8_t addlHigh(uint8x16_t a, uint8x16_t b) {
#if defined(__aarch64__)
  return vaddl_high_u8(a, b);
#else
  return vaddl_u8(vget_high_u8(a), vget_high_u8(b));
#endif
}

// Four neighbouring blocks at an even luma column cx and an even row
// offsetRow, columns cx .. cx + 31 inside the grid, from rows loaded 32 bytes
// at a time de-interleaved (one structure load, two full registers): luma
// even columns cx + 2j in lane j of one register, odd columns cx + 2j + 1 in
// the other; chroma U of pair j in lane j of one, V in the other. Pair j
// serves luma columns cx + 2j and cx + 2j + 1, so lane j of its term meets
// lane j of both luma registers, without a zip; one structure store writes 16
// columns of 32 x h interleaved.
//
// The sums are formed in 16-bit lanes, lane k covering luma columns cx + 4k
// .. cx + 4k + 3 (two neighbouring lanes of each de-interleaved register, so
// block b is lanes 2b and 2b + 1), for |uvf16| < 128 as in blockPair:
//  - luma bytes of each frame: at most 8 rows x 4 x 255 = 8160, and their
//    difference exact in 16 bits;
//  - chroma bytes of each frame, pairs 2k, 2k + 1 over 4 chroma rows: at
//    most 2040;
//  - h: the |dY| of the lane's 32 samples (at most 8160) plus each pair
//    term 4 times (its 2 columns of 2 rows), 8 terms within +-506: the sum
//    lies in -16192 .. 24352, exact in the signed 16-bit lane although it
//    is accumulated wrapping.
// Each block's sums are then its two lanes added into 32 bits.
// This is the step of the x86 build of this source; ARMv7 and AArch64 run
// its instructions, and quadOuts', as one asm statement each over a row's
// groups (blockQuadsArmv7, blockQuadsAarch64). Real 1080p footage at the
// defaults, executed instructions per pixel of the stage: AArch64 1.53
// (blockPair, two blocks per step) to 1.18 with these intrinsics, 1.03 as
// asm, 0.99 with the outputs inside it; ARMv7 1.41 (blockPairEvenOdd) to
// 1.06 as asm, 1.01 with the outputs (with intrinsics GCC built the stores'
// register pairs through the stack there: the whole 9.87 to 9.97).
inline QuadSums blockQuad(const uint8_t *curY, const uint8_t *preY, const uint8_t *curC,
                          const uint8_t *preC, int imgWidth, int16_t *hd, int hDiffStride,
                          int16x4_t uvf256) {
  uint16x8_t sumCY, sumPY, sumH, sumCU, sumCV, sumPU, sumPV;
  // Sums of byte pairs added on (padal), or started (paddl) in the first row.
  auto acc = [](bool first, uint16x8_t &sum, uint8x16_t v) {
    sum = first ? vpaddlq_u8(v) : vpadalq_u8(sum, v);
  };
  auto chromaRow = [&](bool first) {
    const uint8x16x2_t cuv = vld2q_u8(curC), puv = vld2q_u8(preC);
    curC = stepRow(curC, imgWidth);
    preC = stepRow(preC, imgWidth);
    acc(first, sumCU, cuv.val[0]);
    acc(first, sumCV, cuv.val[1]);
    acc(first, sumPU, puv.val[0]);
    acc(first, sumPV, puv.val[1]);
    const uint8x16_t adU = vabdq_u8(cuv.val[0], puv.val[0]);
    const uint8x16_t adV = vabdq_u8(cuv.val[1], puv.val[1]);
    const int16x8_t tLo = chromaTermSmall(
        vreinterpretq_s16_u16(vaddl_u8(vget_low_u8(adU), vget_low_u8(adV))), uvf256);
    const int16x8_t tHi = chromaTermSmall(vreinterpretq_s16_u16(addlHigh(adU, adV)), uvf256);
    const uint16x8_t pairTerms = vreinterpretq_u16_s16(pairSums16(tLo, tHi));
    sumH = first ? vshlq_n_u16(pairTerms, 2) : vmlaq_n_u16(sumH, pairTerms, 4);
    const uint16x8_t tl = vreinterpretq_u16_s16(tLo), th = vreinterpretq_u16_s16(tHi);
    for (int r = 0; r < 2; ++r) {
      const uint8x16x2_t cy = vld2q_u8(curY), py = vld2q_u8(preY);
      curY = stepRow(curY, imgWidth);
      preY = stepRow(preY, imgWidth);
      acc(first && r == 0, sumCY, cy.val[0]);
      sumCY = vpadalq_u8(sumCY, cy.val[1]);
      acc(first && r == 0, sumPY, py.val[0]);
      sumPY = vpadalq_u8(sumPY, py.val[1]);
      const uint8x16_t adE = vabdq_u8(cy.val[0], py.val[0]);
      const uint8x16_t adO = vabdq_u8(cy.val[1], py.val[1]);
      sumH = vpadalq_u8(vpadalq_u8(sumH, adE), adO);
      // 32 x h = 32 x (t + |dY|) modulo 2^16, as in blockPair.
      uint16x8x2_t lo, hi;
      lo.val[0] = vshlq_n_u16(vaddw_u8(tl, vget_low_u8(adE)), 5);
      lo.val[1] = vshlq_n_u16(vaddw_u8(tl, vget_low_u8(adO)), 5);
      hi.val[0] = vshlq_n_u16(vaddw_u8(th, vget_high_u8(adE)), 5);
      hi.val[1] = vshlq_n_u16(vaddw_u8(th, vget_high_u8(adO)), 5);
      vst2q_u16(reinterpret_cast<uint16_t *>(hd), lo);
      vst2q_u16(reinterpret_cast<uint16_t *>(hd) + 16, hi);
      hd = stepRow(hd, hDiffStride);
    }
  };
  chromaRow(true);
#pragma GCC unroll 1
  for (int c = 1; c < 4; ++c) chromaRow(false);
  auto blocks = [](uint16x8_t cur, uint16x8_t pre) {
    return vpaddlq_s16(vreinterpretq_s16_u16(vsubq_u16(cur, pre)));
  };
  return {blocks(sumCY, sumPY), blocks(sumCU, sumPU), blocks(sumCV, sumPV),
          vpaddlq_s16(vreinterpretq_s16_u16(sumH))};
}

#if TNR_MD_NATIVE_NEON && defined(__arm__)
// ARMv7: blockQuad over n neighbouring groups of four blocks as one asm
// statement with its registers named, the same instructions in the same
// lanes (the bounds above hold as they are); with intrinsics GCC built each
// store's register pair through the stack. The accumulators live in q8
// (luma of the current frame), q9 (of the previous one), q10 (h), q11, q12
// (U, V of the current frame) and q13, q14 (of the previous one), started by
// the first row's pair sums; a chroma row's pair terms in q4 (pairs 0 .. 7)
// and q5 (8 .. 15); uvf256 in d7[0] and 4 in d7[1] (a multiply by a 16-bit
// scalar takes d0 .. d7). A structure load of {d0-d3} puts the even bytes of
// its 32 in q0 and the odd ones in q1; a structure store of {d12-d15} writes
// q6 and q7 interleaved. Each group's sums y, h, u, v (4 lanes each) then
// give its outputs as quadOuts does (fix2 = 2 absFix in every lane), stored
// at ld and sg; the loads and the store of the group's last row step the
// pointers back up the block row and 32 columns on.
#define TNR_MD_QUAD_CHROMA(SUM, TERMS, STEP)      \
  "vld2.8 {d0-d3}, [%[cc]], %[" STEP "]\n\t"      \
  "vld2.8 {d8-d11}, [%[pc]], %[" STEP "]\n\t"     \
  SUM " q11, q0\n\t" SUM " q12, q1\n\t"           \
  SUM " q13, q4\n\t" SUM " q14, q5\n\t"           \
  "vabd.u8 q0, q0, q4\n\t"                        \
  "vabd.u8 q1, q1, q5\n\t"                        \
  "vaddl.u8 q4, d0, d2\n\t"                       \
  "vaddl.u8 q5, d1, d3\n\t"                       \
  "vqrdmulh.s16 q4, q4, d7[0]\n\t"                \
  "vqrdmulh.s16 q5, q5, d7[0]\n\t"                \
  "vpadd.i16 d0, d8, d9\n\t"                      \
  "vpadd.i16 d1, d10, d11\n\t" TERMS "\n\t"
#define TNR_MD_QUAD_LUMA(SUM, STEP, HSTEP)        \
  "vld2.8 {d0-d3}, [%[cy]], %[" STEP "]\n\t"      \
  "vld2.8 {d12-d15}, [%[py]], %[" STEP "]\n\t"    \
  SUM " q8, q0\n\t"                               \
  "vpadal.u8 q8, q1\n\t" SUM " q9, q6\n\t"        \
  "vpadal.u8 q9, q7\n\t"                          \
  "vabd.u8 q0, q0, q6\n\t"                        \
  "vabd.u8 q1, q1, q7\n\t"                        \
  "vpadal.u8 q10, q0\n\t"                         \
  "vpadal.u8 q10, q1\n\t"                         \
  "vaddw.u8 q6, q4, d0\n\t"                       \
  "vaddw.u8 q7, q4, d2\n\t"                       \
  "vshl.i16 q6, q6, #5\n\t"                       \
  "vshl.i16 q7, q7, #5\n\t"                       \
  "vst2.16 {d12-d15}, [%[hd]]!\n\t"               \
  "vaddw.u8 q6, q5, d1\n\t"                       \
  "vaddw.u8 q7, q5, d3\n\t"                       \
  "vshl.i16 q6, q6, #5\n\t"                       \
  "vshl.i16 q7, q7, #5\n\t"                       \
  "vst2.16 {d12-d15}, [%[hd]], %[" HSTEP "]\n\t"

// blockQuadsArmv7 runs the groups of `rows` block rows one after another:
// after a block row's last group every pointer steps on to the next block
// row's first group (ld and sg by ldStride and sgStride), the steps and the
// rows left kept in memory and loaded into n's register in turn (it is free
// between the rows). That saves a call per block row (a dozen arguments,
// most on the stack, and the saved registers): real 768x576 at the
// defaults, executed instructions per pixel, 9.015 to 8.994.
__attribute__((noinline)) void blockQuadsArmv7(const uint8_t *curY, const uint8_t *preY,
                                               const uint8_t *curC, const uint8_t *preC,
                                               int imgWidth, int16_t *hd, int hDiffStride,
                                               int16_t uvf256, int32_t absFix, int n, int16_t *ld,
                                               int16_t *sg, int rows, int ldStride, int sgStride) {
  const int16x4_t consts = vset_lane_s16(4, vdup_n_s16(uvf256), 1);
  const int32x4_t fix2 = vdupq_n_s32(2 * absFix);
  // Bytes from one luma row's second store to the next row.
  const int hStep = static_cast<int>(sizeof(int16_t)) * hDiffStride - 32;
  // The last row's loads and store step straight back to the block row's
  // first rows, 32 columns on (8 luma rows, 4 chroma rows, 8 rows of the
  // plane), instead of two instructions per pointer after the group:
  // real 1080p at the defaults, executed instructions per pixel, 9.00 to
  // 8.96 (the stage 1.00 to 0.96).
  const int backY = 32 - 7 * imgWidth, backC = 32 - 3 * imgWidth;
  const int hBack = 32 - 7 * static_cast<int>(sizeof(int16_t)) * hDiffStride;
  const int groups = n;
  // Bytes from a block row's end (its last group done) to the next one's start.
  // (The chroma rows' step, 4 x imgWidth less than the luma rows', is
  // formed from it: an asm statement takes at most 30 operands.)
  const int stepY = 8 * imgWidth - 32 * n;
  const int stepH = static_cast<int>(sizeof(int16_t)) * (8 * hDiffStride - 32 * n);
  const int stepL = static_cast<int>(sizeof(int16_t)) * (ldStride - 4 * n);
  const int stepS = static_cast<int>(sizeof(int16_t)) * (sgStride - 4 * n);
  asm volatile(
      "vmov d7, %P[consts]\n\t"
      "1:\n\t"
      TNR_MD_QUAD_CHROMA("vpaddl.u8", "vshl.i16 q10, q0, #2", "stride")
      TNR_MD_QUAD_LUMA("vpaddl.u8", "stride", "hstep")
      TNR_MD_QUAD_LUMA("vpadal.u8", "stride", "hstep")
      ".rept 2\n\t"
      TNR_MD_QUAD_CHROMA("vpadal.u8", "vmla.i16 q10, q0, d7[1]", "stride")
      TNR_MD_QUAD_LUMA("vpadal.u8", "stride", "hstep")
      TNR_MD_QUAD_LUMA("vpadal.u8", "stride", "hstep")
      ".endr\n\t"
      TNR_MD_QUAD_CHROMA("vpadal.u8", "vmla.i16 q10, q0, d7[1]", "backC")
      TNR_MD_QUAD_LUMA("vpadal.u8", "stride", "hstep")
      TNR_MD_QUAD_LUMA("vpadal.u8", "backY", "hBack")
      // Each block's two lanes added into 32 bits: y (q8), h (q9), u
      // (q10), v (q11).
      "vsub.i16 q8, q8, q9\n\t"
      "vpaddl.s16 q8, q8\n\t"
      "vpaddl.s16 q9, q10\n\t"
      "vsub.i16 q10, q11, q13\n\t"
      "vpaddl.s16 q10, q10\n\t"
      "vsub.i16 q11, q12, q14\n\t"
      "vpaddl.s16 q11, q11\n\t"
      // quadOuts, with 2 |chroma sum| x absFix as |chroma sum| x 2 absFix
      // (the same product): ds in q8, |ds - (h >> 1)| in q9 (|INT32_MIN|
      // wraps), their low 16 bits stored at ld and sg.
      "vshr.s32 q8, q8, #1\n\t"
      "vabs.s32 q8, q8\n\t"
      "vabs.s32 q10, q10\n\t"
      "vmul.i32 q10, q10, %q[fix2]\n\t"
      "vrshr.s32 q10, q10, #7\n\t"
      "vabs.s32 q11, q11\n\t"
      "vmul.i32 q11, q11, %q[fix2]\n\t"
      "vrshr.s32 q11, q11, #7\n\t"
      "vadd.i32 q8, q8, q10\n\t"
      "vadd.i32 q8, q8, q11\n\t"
      "vshr.s32 q9, q9, #1\n\t"
      "vsub.i32 q9, q8, q9\n\t"
      "vabs.s32 q9, q9\n\t"
      "vmovn.i32 d16, q8\n\t"
      "vmovn.i32 d17, q9\n\t"
      "vst1.16 {d16}, [%[ld]]!\n\t"
      "vst1.16 {d17}, [%[sg]]!\n\t"
      "subs %[n], %[n], #1\n\t"
      "bne 1b\n\t"
      "ldr %[n], %[stepY]\n\t"
      "add %[cy], %[cy], %[n]\n\t"
      "add %[py], %[py], %[n]\n\t"
      "sub %[n], %[n], %[stride], lsl #2\n\t"
      "add %[cc], %[cc], %[n]\n\t"
      "add %[pc], %[pc], %[n]\n\t"
      "ldr %[n], %[stepH]\n\t"
      "add %[hd], %[hd], %[n]\n\t"
      "ldr %[n], %[stepL]\n\t"
      "add %[ld], %[ld], %[n]\n\t"
      "ldr %[n], %[stepS]\n\t"
      "add %[sg], %[sg], %[n]\n\t"
      "ldr %[n], %[rows]\n\t"
      "subs %[n], %[n], #1\n\t"
      "str %[n], %[rows]\n\t"
      "ldr %[n], %[groups]\n\t"
      "bne 1b\n\t"
      : [cy] "+r"(curY), [py] "+r"(preY), [cc] "+r"(curC), [pc] "+r"(preC), [hd] "+r"(hd),
        [ld] "+r"(ld), [sg] "+r"(sg), [n] "+r"(n), [rows] "+m"(rows)
      : [stride] "r"(imgWidth), [hstep] "r"(hStep), [backY] "r"(backY), [backC] "r"(backC),
        [hBack] "r"(hBack), [consts] "w"(consts), [fix2] "w"(fix2), [stepY] "m"(stepY),
        [stepH] "m"(stepH), [stepL] "m"(stepL), [stepS] "m"(stepS),
        [groups] "m"(groups)
      : "cc", "memory", "d0", "d1", "d2", "d3", "d7", "d8", "d9", "d10", "d11", "d12", "d13",
        "d14", "d15", "d16", "d17", "d18", "d19", "d20", "d21", "d22", "d23", "d24", "d25", "d26",
        "d27", "d28", "d29");
}
#undef TNR_MD_QUAD_CHROMA
#undef TNR_MD_QUAD_LUMA
#endif

#if TNR_MD_NATIVE_NEON && defined(__aarch64__)
// AArch64: the same as one asm statement, whose structure loads and stores
// step their pointers by a register (GCC added each row's step apart and
// copied registers around the loads): accumulators v8 (luma of the current
// frame), v9 (of the previous one), v10 (h), v11, v12 (U, V of the current
// frame), v13, v14 (of the previous one); the pair terms in v4, v5;
// uvf256 in v7.h[0] and 4 in v7.h[1] (a multiply by a 16-bit element takes
// v0 .. v15); 32 x h formed in v16 .. v19.
#define TNR_MD_QUAD_CHROMA(SUM, TERMS, STEP)            \
  "ld2 {v0.16b, v1.16b}, [%[cc]], %[" STEP "]\n\t"      \
  "ld2 {v4.16b, v5.16b}, [%[pc]], %[" STEP "]\n\t"      \
  SUM " v11.8h, v0.16b\n\t" SUM " v12.8h, v1.16b\n\t"   \
  SUM " v13.8h, v4.16b\n\t" SUM " v14.8h, v5.16b\n\t"   \
  "uabd v0.16b, v0.16b, v4.16b\n\t"                     \
  "uabd v1.16b, v1.16b, v5.16b\n\t"                     \
  "uaddl v4.8h, v0.8b, v1.8b\n\t"                       \
  "uaddl2 v5.8h, v0.16b, v1.16b\n\t"                    \
  "sqrdmulh v4.8h, v4.8h, v7.h[0]\n\t"                  \
  "sqrdmulh v5.8h, v5.8h, v7.h[0]\n\t"                  \
  "addp v0.8h, v4.8h, v5.8h\n\t" TERMS "\n\t"
#define TNR_MD_QUAD_LUMA(SUM, STEP, HSTEP)              \
  "ld2 {v0.16b, v1.16b}, [%[cy]], %[" STEP "]\n\t"      \
  "ld2 {v2.16b, v3.16b}, [%[py]], %[" STEP "]\n\t"      \
  SUM " v8.8h, v0.16b\n\t"                              \
  "uadalp v8.8h, v1.16b\n\t" SUM " v9.8h, v2.16b\n\t"   \
  "uadalp v9.8h, v3.16b\n\t"                            \
  "uabd v0.16b, v0.16b, v2.16b\n\t"                     \
  "uabd v1.16b, v1.16b, v3.16b\n\t"                     \
  "uadalp v10.8h, v0.16b\n\t"                           \
  "uadalp v10.8h, v1.16b\n\t"                           \
  "uaddw v16.8h, v4.8h, v0.8b\n\t"                      \
  "uaddw v17.8h, v4.8h, v1.8b\n\t"                      \
  "uaddw2 v18.8h, v5.8h, v0.16b\n\t"                    \
  "uaddw2 v19.8h, v5.8h, v1.16b\n\t"                    \
  "shl v16.8h, v16.8h, #5\n\t"                          \
  "shl v17.8h, v17.8h, #5\n\t"                          \
  "shl v18.8h, v18.8h, #5\n\t"                          \
  "shl v19.8h, v19.8h, #5\n\t"                          \
  "st2 {v16.8h, v17.8h}, [%[hd]], #32\n\t"              \
  "st2 {v18.8h, v19.8h}, [%[hd]], %[" HSTEP "]\n\t"

// blockQuadsAarch64 runs the groups of `rows` block rows one after another
// as on ARMv7, the steps in registers: real 768x576 at the defaults,
// executed instructions per pixel, 8.004 to 7.980.
__attribute__((noinline)) void blockQuadsAarch64(const uint8_t *curY, const uint8_t *preY,
                                                 const uint8_t *curC, const uint8_t *preC,
                                                 int imgWidth, int16_t *hd, int hDiffStride,
                                                 int16_t uvf256, int32_t absFix, int n,
                                                 int16_t *ld, int16_t *sg, int rows, int ldStride,
                                                 int sgStride) {
  const uint32_t consts = (4u << 16) | static_cast<uint16_t>(uvf256);
  const int32x4_t fix2 = vdupq_n_s32(2 * absFix);
  const ptrdiff_t stride = imgWidth;
  // Bytes from one luma row's second store to the next row.
  const ptrdiff_t hStep = static_cast<ptrdiff_t>(sizeof(int16_t)) * hDiffStride - 32;
  // The last row's loads and store step straight back to the block row's
  // first rows, 32 columns on, as on ARMv7: real 1080p at the defaults,
  // executed instructions per pixel, 8.18 to 8.14.
  const ptrdiff_t backY = 32 - 7 * stride, backC = 32 - 3 * stride;
  const ptrdiff_t hBack = 32 - 7 * static_cast<ptrdiff_t>(sizeof(int16_t)) * hDiffStride;
  const int groups = n;
  // Bytes from a block row's end (its last group done) to the next one's start.
  // (The chroma rows' step, 4 x stride less than the luma rows', is formed
  // from it in n's register: an asm statement takes at most 30 operands.)
  const ptrdiff_t stepY = 8 * stride - 32 * n;
  const ptrdiff_t stepH = static_cast<ptrdiff_t>(sizeof(int16_t)) * (8 * hDiffStride - 32 * n);
  const ptrdiff_t stepL = static_cast<ptrdiff_t>(sizeof(int16_t)) * (ldStride - 4 * n);
  const ptrdiff_t stepS = static_cast<ptrdiff_t>(sizeof(int16_t)) * (sgStride - 4 * n);
  asm volatile(
      "mov v7.s[0], %w[consts]\n\t"
      "1:\n\t"
      TNR_MD_QUAD_CHROMA("uaddlp", "shl v10.8h, v0.8h, #2", "stride")
      TNR_MD_QUAD_LUMA("uaddlp", "stride", "hstep")
      TNR_MD_QUAD_LUMA("uadalp", "stride", "hstep")
      ".rept 2\n\t"
      TNR_MD_QUAD_CHROMA("uadalp", "mla v10.8h, v0.8h, v7.h[1]", "stride")
      TNR_MD_QUAD_LUMA("uadalp", "stride", "hstep")
      TNR_MD_QUAD_LUMA("uadalp", "stride", "hstep")
      ".endr\n\t"
      TNR_MD_QUAD_CHROMA("uadalp", "mla v10.8h, v0.8h, v7.h[1]", "backC")
      TNR_MD_QUAD_LUMA("uadalp", "stride", "hstep")
      TNR_MD_QUAD_LUMA("uadalp", "backY", "hBack")
      // Each block's two lanes added into 32 bits: y (v16), h (v17), u
      // (v18), v (v19).
      "sub v8.8h, v8.8h, v9.8h\n\t"
      "saddlp v16.4s, v8.8h\n\t"
      "saddlp v17.4s, v10.8h\n\t"
      "sub v11.8h, v11.8h, v13.8h\n\t"
      "saddlp v18.4s, v11.8h\n\t"
      "sub v12.8h, v12.8h, v14.8h\n\t"
      "saddlp v19.4s, v12.8h\n\t"
      // quadOuts, with 2 |chroma sum| x absFix as |chroma sum| x 2 absFix
      // (the same product): ds in v16, |ds - (h >> 1)| in v17 (|INT32_MIN|
      // wraps), their low 16 bits stored at ld and sg.
      "sshr v16.4s, v16.4s, #1\n\t"
      "abs v16.4s, v16.4s\n\t"
      "abs v18.4s, v18.4s\n\t"
      "mul v18.4s, v18.4s, %[fix2].4s\n\t"
      "srshr v18.4s, v18.4s, #7\n\t"
      "abs v19.4s, v19.4s\n\t"
      "mul v19.4s, v19.4s, %[fix2].4s\n\t"
      "srshr v19.4s, v19.4s, #7\n\t"
      "add v16.4s, v16.4s, v18.4s\n\t"
      "add v16.4s, v16.4s, v19.4s\n\t"
      "sshr v17.4s, v17.4s, #1\n\t"
      "sub v17.4s, v16.4s, v17.4s\n\t"
      "abs v17.4s, v17.4s\n\t"
      "xtn v16.4h, v16.4s\n\t"
      "xtn v17.4h, v17.4s\n\t"
      "st1 {v16.4h}, [%[ld]], #8\n\t"
      "st1 {v17.4h}, [%[sg]], #8\n\t"
      "subs %w[n], %w[n], #1\n\t"
      "b.ne 1b\n\t"
      "add %[cy], %[cy], %[stepY]\n\t"
      "add %[py], %[py], %[stepY]\n\t"
      "sub %x[n], %[stepY], %[stride], lsl #2\n\t"
      "add %[cc], %[cc], %x[n]\n\t"
      "add %[pc], %[pc], %x[n]\n\t"
      "add %[hd], %[hd], %[stepH]\n\t"
      "add %[ld], %[ld], %[stepL]\n\t"
      "add %[sg], %[sg], %[stepS]\n\t"
      "mov %w[n], %w[groups]\n\t"
      "subs %w[rows], %w[rows], #1\n\t"
      "b.ne 1b\n\t"
      : [cy] "+r"(curY), [py] "+r"(preY), [cc] "+r"(curC), [pc] "+r"(preC), [hd] "+r"(hd),
        [ld] "+r"(ld), [sg] "+r"(sg), [n] "+&r"(n), [rows] "+&r"(rows)
      : [stride] "r"(stride), [hstep] "r"(hStep), [backY] "r"(backY), [backC] "r"(backC),
        [hBack] "r"(hBack), [consts] "r"(consts), [fix2] "w"(fix2), [stepY] "r"(stepY),
        [stepH] "r"(stepH), [stepL] "r"(stepL), [stepS] "r"(stepS),
        [groups] "r"(groups)
      : "cc", "memory", "v0", "v1", "v2", "v3", "v4", "v5", "v7", "v8", "v9", "v10", "v11",
        "v12", "v13", "v14", "v16", "v17", "v18", "v19");
}
#undef TNR_MD_QUAD_CHROMA
#undef TNR_MD_QUAD_LUMA
#endif

// The whole groups of four blocks of an even block row from column 0 by
// blockQuad (|uvf16| < 128, |fix| <= 2^17); returns the column after them.
int blockQuads(const uint8_t *cy, const uint8_t *py, const uint8_t *cc, const uint8_t *pc,
               int imgWidth, int proWidth, int16_t *hd, int hDiffStride, int16x4_t uvf16,
               int32_t absFix, int16_t *ld, int16_t *sg) {
  const int16x4_t uvf256 = vshl_n_s16(uvf16, 8);
  int x = 0;
#if TNR_MD_NATIVE_NEON && (defined(__arm__) || defined(__aarch64__))
  if (proWidth >= 32) {
    const int n = proWidth / 32;
#if defined(__arm__)
    blockQuadsArmv7(cy, py, cc, pc, imgWidth, hd, hDiffStride, vget_lane_s16(uvf256, 0), absFix,
                    n, ld, sg, 1, 0, 0);
#else
    blockQuadsAarch64(cy, py, cc, pc, imgWidth, hd, hDiffStride, vget_lane_s16(uvf256, 0), absFix,
                      n, ld, sg, 1, 0, 0);
#endif
    x = 32 * n;
  }
#else
  for (; x + 32 <= proWidth; x += 32) {
    const QuadOuts o = quadOuts(blockQuad(cy + x, py + x, cc + x, pc + x, imgWidth, hd + x,
                                          hDiffStride, uvf256),
                                absFix);
    vst1_s16(ld + x / 8, o.ld);
    vst1_s16(sg + x / 8, o.sg);
  }
#endif
  return x;
}

#if TNR_MD_NATIVE_NEON && (defined(__arm__) || defined(__aarch64__))
// Block rows [by0, by1) at rows 8 x by of a grid whose width is a whole
// number of groups of four blocks, all by one call of the row's asm steps
// (|uvf16| < 128, |fix| <= 2^17); hd is the plane's sample (8 x by0, 0).
void quadRows(const Frames &f, const Grid &g, const DiffPlanes &out, int16_t *hd,
              int16x4_t uvf16, int32_t absFix, int by0, int by1) {
  const int imgWidth = f.width;
  const size_t lumaRow = static_cast<size_t>(8 * by0) * imgWidth;
  const size_t chromaRow =
      static_cast<size_t>(f.height) * imgWidth + static_cast<size_t>(4 * by0) * imgWidth;
  const int16_t uvf256 = vget_lane_s16(vshl_n_s16(uvf16, 8), 0);
  int16_t *ld = out.ldiff + (by0 + 1) * out.lDiffStride + 1;
  int16_t *sg = out.sigma + (by0 + 4) * out.sigmaStride + 4;
#if defined(__arm__)
  blockQuadsArmv7(
#else
  blockQuadsAarch64(
#endif
      f.cur + lumaRow, f.pre + lumaRow, f.cur + chromaRow, f.pre + chromaRow, imgWidth, hd,
      g.width + 2, uvf256, absFix, g.width / 32, ld, sg, by1 - by0, out.lDiffStride,
      out.sigmaStride);
}
#endif

}  // namespace

void frameDiff_neon(const Frames &f, const Grid &g, const DiffPlanes &out, float uvRatio, int by0,
                    int by1) {
  uint8_t *pCurIn = f.cur;
  const uint8_t *pPreIn = f.pre;
  const int imgHeight = f.height, imgWidth = f.width, proHeight = g.height, proWidth = g.width;
  const int32_t fix = uvRatioFix(uvRatio);
  const int16x4_t uvf16 = vdup_n_s16(low16(fix));
  // Block chroma products in 32 bits for |fix| <= 2^17, else -1.
  const int32_t absFix = fix >= -(1 << 17) && fix <= (1 << 17) ? (fix < 0 ? -fix : fix) : -1;
  const bool smallFix = low16(fix) > -128 && low16(fix) < 128;
  const int hDiffStride = proWidth + 2;
  const size_t frameBytes = static_cast<size_t>(imgWidth) * imgHeight * 3 / 2;
  const size_t chromaStart = static_cast<size_t>(imgWidth) * imgHeight;

  // Blocks are 8x8; when proWidth (proHeight) is not a multiple of 8 the last
  // block of a row (column) is moved back to end at the grid's edge and
  // overlaps its neighbour: its pHdiff samples are recomputed with equal
  // values, its block sums cover its own 64 samples. Whole blocks at even
  // rows go four at a time (where the chroma weight allows), then two at a
  // time; the others (an odd-row or odd-column moved-back
  // block, a last unpaired block) one at a time.
  // pHdiff's row 0 lies above the first block row's offset row.
  const int hRow0 = blockRowStart(by0, proHeight);
#if TNR_MD_NATIVE_NEON && (defined(__arm__) || defined(__aarch64__))
  // Where every block row is whole groups of four, the rows at 8 x by (all
  // but a moved-back last one) by one call.
  if (smallFix && absFix >= 0 && proWidth >= 32 && proWidth % 32 == 0 && by0 < proHeight / 8) {
    const int end = by1 < proHeight / 8 ? by1 : proHeight / 8;
    quadRows(f, g, out, out.hdiff + hDiffStride + 1, uvf16, absFix, by0, end);
    by0 = end;
  }
#endif
  for (int by = by0; by < by1; ++by) {
    const int offsetRow = blockRowStart(by, proHeight);
    int16_t *ldRow = out.ldiff + (by + 1) * out.lDiffStride + 1;
    int16_t *sgRow = out.sigma + (by + 4) * out.sigmaStride + 4;
    int16_t *hd = out.hdiff + (offsetRow - hRow0 + 1) * hDiffStride + 1;
    int x = 0, bx = 0;
    if ((offsetRow & 1) == 0) {
      const size_t lumaRow = static_cast<size_t>(offsetRow) * imgWidth;
      const size_t chromaRow = chromaStart + static_cast<size_t>(offsetRow >> 1) * imgWidth;
      const uint8_t *cy = pCurIn + lumaRow, *py = pPreIn + lumaRow;
      const uint8_t *cc = pCurIn + chromaRow, *pc = pPreIn + chromaRow;
      if (smallFix && absFix >= 0) {
        x = blockQuads(cy, py, cc, pc, imgWidth, proWidth, hd, hDiffStride, uvf16, absFix, ldRow,
                       sgRow);
        // A last pair of blocks.
#if !defined(__aarch64__)
        x += blockPairsEvenOdd(cy + x, py + x, cc + x, pc + x, imgWidth, proWidth - x, hd + x,
                               hDiffStride, uvf16, absFix, ldRow + x / 8, sgRow + x / 8);
#else
        x += blockPairs<true>(cy + x, py + x, cc + x, pc + x, imgWidth, proWidth - x, hd + x,
                              hDiffStride, uvf16, fix, absFix, ldRow + x / 8, sgRow + x / 8);
#endif
      } else
        x = smallFix ? blockPairs<true>(cy, py, cc, pc, imgWidth, proWidth, hd, hDiffStride, uvf16,
                                        fix, absFix, ldRow, sgRow)
                     : blockPairs<false>(cy, py, cc, pc, imgWidth, proWidth, hd, hDiffStride, uvf16,
                                         fix, absFix, ldRow, sgRow);
      bx = x / 8;
    }
    for (; x < proWidth; x += 8, ++bx) {
      const int cx = x + 8 <= proWidth ? x : proWidth - 8;
      block8(pCurIn, pPreIn, hd, hDiffStride, imgWidth, chromaStart, frameBytes, offsetRow, cx,
             uvf16, fix, ldRow + bx, sgRow + bx);
    }
  }
}

}  // namespace tnr_md
