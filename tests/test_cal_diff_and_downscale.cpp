// calDiffAndDownScale: band and block placement, per-sample values, the floor
// shift of the patch sums; the vector form against the per-sample form.
#include <cstdlib>
#include <map>
#include <vector>

#include "equiv.h"
#include "kernels.h"
#include "test_util.h"

using namespace tnr_md_test;

namespace {

using DsFn = tnr_md::CalDiffDsFn *;

constexpr int16_t kCanary = kCanary16;

// Every buffer sized exactly, against an inaccessible page on one side.
struct DsCase {
  int w, h;
  Guard g;
  int lDiffStride;
  GuardedBuffer<uint8_t> cur{size_t(w) * h * 3 / 2, g}, pre{size_t(w) * h * 3 / 2, g};
  GuardedBuffer<int16_t> hdiff = canaryBuffer(size_t(w + 2) * (h + 2), g, kCanary);
  GuardedBuffer<int16_t> ldiff = canaryBuffer(size_t(lDiffStride) * ((h + 7) / 8 + 2), g, kCanary);
  GuardedBuffer<int16_t> sigma = canaryBuffer(ldiff.size(), g, kCanary);
  DsCase(int w_, int h_, Guard g_, int extraPitch = 0)
      : w(w_), h(h_), g(g_), lDiffStride(2 * ((w_ + 7) / 8) + 2 + extraPitch) {}
  void run(DsFn f) {
    f({cur.data(), pre.data(), h, w}, ldiff.data(), hdiff.data(), sigma.data(), lDiffStride);
  }
  int y(const GuardedBuffer<uint8_t> &f, int r, int c) const { return f[size_t(r) * w + c]; }
  int uv(const GuardedBuffer<uint8_t> &f, int i, int c) const {
    return f[size_t(w) * h + size_t(i) * w + c];
  }
  int16_t &ld(int b, int q) { return ldiff[size_t(b + 1) * lDiffStride + q + 1]; }
  int16_t &sg(int b, int q) { return sigma[size_t(b + 1) * lDiffStride + q + 1]; }
  int16_t &hd(int r, int c) { return hdiff[size_t(r + 1) * (w + 2) + c + 1]; }
  // |dY| + |dU| + |dV| of luma sample (r, c) and its co-sited chroma pair.
  int sampleH(int r, int c) const {
    const int p = c & ~1;
    return std::abs(y(cur, r, c) - y(pre, r, c)) + std::abs(uv(cur, r / 2, p) - uv(pre, r / 2, p)) +
           std::abs(uv(cur, r / 2, p + 1) - uv(pre, r / 2, p + 1));
  }
  // The low-resolution value and the sigma of the 4x4 patch at (r0, c0),
  // straight from the frames, sums shifted with floor semantics.
  void patch(int r0, int c0, int &ldv, int &sgv) const {
    int sY = 0, sU = 0, sV = 0, sH = 0;
    for (int r = r0; r < r0 + 4; ++r)
      for (int c = c0; c < c0 + 4; ++c) {
        const int p = c & ~1;
        sY += y(cur, r, c) - y(pre, r, c);
        sU += uv(cur, r / 2, p) - uv(pre, r / 2, p);
        sV += uv(cur, r / 2, p + 1) - uv(pre, r / 2, p + 1);
        sH += sampleH(r, c);
      }
    auto fl = [](int v) { return v >= 0 ? v / 64 : -((-v + 63) / 64); };
    ldv = std::abs(fl(sY)) + std::abs(fl(sU)) + std::abs(fl(sV));
    sgv = std::abs(ldv - fl(sH));
  }
};

// First row of each band's four read rows, per frame height.
const std::map<int, std::vector<int>> kBandRows = {
    {8, {0}},
    {10, {0, 2}},
    {12, {0, 0}},
    {14, {0, 2}},
    {16, {0, 8}},
    {18, {0, 8, 10}},
    {20, {0, 8, 8}},
    {22, {0, 8, 10}},
    {28, {0, 8, 16, 16}},
    {30, {0, 8, 16, 18}},
    {32, {0, 8, 16, 24}},
};

struct Twin {
  const char *name;
  DsFn fn;
};
const Twin kTwins[] = {
    {"PerSample", tnr_md::calDiffAndDownScale_c},
#if TNR_MD_HAVE_NEON
    {"Vector", tnr_md::calDiffAndDownScale_neon},
#endif
};

class CalDiffAndDownScale : public ::testing::TestWithParam<Twin> {};

// Every element of the three planes: the written ones against the frames, the
// others still holding the canary; frame pairs of every kind, pitches wider
// than needed, every buffer against a guard page on either side. Heights and
// widths not multiples of 8: with imgWidth 12 the second block starts at
// column 4 (entries 1 and 2 cover the same columns); with imgHeight 20 the
// third band rereads rows 8 .. 11 and its row of entries repeats the second's.
TEST_P(CalDiffAndDownScale, PlacementAndValues) {
  auto rng = seededRng(11);
  const int widths[] = {8, 10, 12, 14, 16, 18, 24, 30, 32, 34, 40, 46, 48, 50, 64, 66, 98};
  int cases = 0;
  for (const auto &hb : kBandRows) {
    for (int w : widths) {
      for (Guard g : {Guard::Right, Guard::Left}) {
        const int kind = cases++ % 5;
        SCOPED_TRACE(::testing::Message() << "w=" << w << " h=" << hb.first << " frames " << kind);
        DsCase t(w, hb.first, g, cases % 4);
        fillFrames(t.cur.data(), t.pre.data(), w, hb.first, kind, rng);
        t.run(GetParam().fn);
        std::vector<bool> rowWritten(t.h, false);
        for (int r0 : hb.second)
          for (int r = r0; r < r0 + 4; ++r) rowWritten[r] = true;
        for (int r = -1; r <= t.h; ++r)
          for (int c = -1; c <= t.w; ++c) {
            const bool in = r >= 0 && r < t.h && c >= 0 && c < t.w && rowWritten[r];
            ASSERT_EQ(t.hd(r, c), in ? t.sampleH(r, c) : kCanary) << "hdiff " << r << "," << c;
          }
        const int bands = int(hb.second.size()), blocks = (w + 7) / 8;
        for (int b = -1; b <= bands; ++b)
          for (int q = -1; q < t.lDiffStride - 1; ++q) {
            const bool in = b >= 0 && b < bands && q >= 0 && q < 2 * blocks;
            int ldv = kCanary, sgv = kCanary;
            if (in) t.patch(hb.second[b], std::min(8 * (q / 2), w - 8) + 4 * (q & 1), ldv, sgv);
            ASSERT_EQ(t.ld(b, q), ldv) << "ldiff " << b << "," << q;
            ASSERT_EQ(t.sg(b, q), sgv) << "sigma " << b << "," << q;
          }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, CalDiffAndDownScale, ::testing::ValuesIn(kTwins),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
