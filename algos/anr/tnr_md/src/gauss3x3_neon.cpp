// 3x3 binomial filter (1 2 1 / 2 4 2 / 1 2 1, rounded shift by 4), vector
// form: 16 outputs per block, all sums in 32-bit lanes (exact).
#include <cstdint>

#include "kernels.h"
#include "neon.h"

namespace tnr_md {

namespace {

// Columns p - 1 .. p + 16 of one input row as the shifted views a block
// needs. Three loads: p - 1 .. p + 6, p + 7 .. p + 14 and p + 9 .. p + 16, so
// no byte past column p + 16 (the right border in the last block) is read.
struct RowViews {
  int16x8_t left0, mid0, right0;  // columns p - 1, p, p + 1 (8 lanes each)
  int16x8_t left1, mid1, right1;  // columns p + 7, p + 8, p + 9
};

inline RowViews rowViews(const int16_t *row) {
  const int16x8_t a = vld1q_s16(row - 1);
  const int16x8_t b = vld1q_s16(row + 7);
  const int16x8_t w = vld1q_s16(row + 9);
  // Lanes 0 and 1 of c are columns p + 15 and p + 16.
  const int16x8_t c = vextq_s16(w, w, 6);
  return {a, vextq_s16(a, b, 1), vextq_s16(a, b, 2), b, vextq_s16(b, c, 1), w};
}

inline int16x4_t lo(int16x8_t v) { return vget_low_s16(v); }
inline int16x4_t hi(int16x8_t v) { return vget_high_s16(v); }

// 4 outputs: corners x1, edges x2, centre x4, then (A + 8) >> 4.
inline int16x4_t filter4(int16x4_t tl, int16x4_t t, int16x4_t tr, int16x4_t l, int16x4_t m,
                         int16x4_t r, int16x4_t bl, int16x4_t b, int16x4_t br) {
  const int32x4_t corners = vaddq_s32(vaddl_s16(tl, tr), vaddl_s16(bl, br));
  const int32x4_t edges = vaddq_s32(vaddl_s16(t, l), vaddl_s16(r, b));
  int32x4_t acc = vmulq_n_s32(corners, 1);
  acc = vmlaq_n_s32(acc, edges, 2);
  acc = vmlaq_n_s32(acc, vmovl_s16(m), 4);
  return vrshrn_n_s32(acc, 4);
}

inline void block16(const int16_t *in, int16_t *out, int stride) {
  const RowViews u = rowViews(in - stride);
  const RowViews c = rowViews(in);
  const RowViews d = rowViews(in + stride);
  const int16x4_t o0 = filter4(lo(u.left0), lo(u.mid0), lo(u.right0), lo(c.left0), lo(c.mid0),
                               lo(c.right0), lo(d.left0), lo(d.mid0), lo(d.right0));
  const int16x4_t o1 = filter4(hi(u.left0), hi(u.mid0), hi(u.right0), hi(c.left0), hi(c.mid0),
                               hi(c.right0), hi(d.left0), hi(d.mid0), hi(d.right0));
  const int16x4_t o2 = filter4(lo(u.left1), lo(u.mid1), lo(u.right1), lo(c.left1), lo(c.mid1),
                               lo(c.right1), lo(d.left1), lo(d.mid1), lo(d.right1));
  const int16x4_t o3 = filter4(hi(u.left1), hi(u.mid1), hi(u.right1), hi(c.left1), hi(c.mid1),
                               hi(c.right1), hi(d.left1), hi(d.mid1), hi(d.right1));
  vst1q_s16(out, vcombine_s16(o0, o1));
  vst1q_s16(out + 8, vcombine_s16(o2, o3));
}

}  // namespace

void gauss3x3Filter_neon(int16_t *pIn, int16_t *pOut, int imgHgt, int imgWid, int stride) {
  if (imgHgt <= 0 || imgWid <= 0) return;
  // Rows narrower than one block: the per-sample form, which writes columns
  // 0 .. imgWid - 1 only.
  if (imgWid < 16) {
    gauss3x3Filter_c(pIn, pOut, imgHgt, imgWid, stride);
    return;
  }
  const int lastProNum = imgWid & 15;
  for (int y = 0; y < imgHgt; ++y) {
    const int16_t *in = pIn + y * stride;
    int16_t *out = pOut + y * stride;
    // Blocks at 0, 16, 32, ...; when imgWid is not a multiple of 16 the last
    // block is moved back to start at imgWid - 16 and recomputes the overlap
    // with equal values. A block reads columns p - 1 .. p + 16 of rows y - 1 ..
    // y + 1 and writes columns p .. p + 15.
    for (int x = 0, p = 0; x < imgWid; x += 16) {
      block16(in + p, out + p, stride);
      p += imgWid > x + 31 ? 16 : lastProNum;
    }
  }
}

}  // namespace tnr_md
