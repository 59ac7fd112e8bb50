// Plane geometry and the carving of the scratch buffer (layout.h).
#include "layout.h"

namespace tnr_md {

Layout makeLayout(int proHeight, int proWidth) {
  Layout g{};
  // Refused before any size is formed: below the 8x8 blocking, or so large
  // that 12 bytes per sample cannot be addressed in 32 bits (a side beyond
  // 2^28 is, whatever the other side); every sum and product below then stays
  // far inside 32 bits, and the 64-bit ones are exact.
  constexpr int kMaxSide = 1 << 28;
  if (proWidth < 8 || proHeight < 8 || proWidth > kMaxSide || proHeight > kMaxSide) return g;
  g.blockRows = (proHeight + 7) / 8;
  g.blockCols = (proWidth + 7) / 8;
  g.lDiffStride = g.blockCols + 2;
  g.hDiffStride = proWidth + 2;
  g.sigmaStride = g.blockCols + 8;
  g.lDiffSize = int64_t{g.blockCols + 2} * (g.blockRows + 2);
  g.hDiffSize = int64_t{proWidth + 2} * (proHeight + 2);
  // The sigma reservation counts processing rows, not block rows; every later
  // offset follows from that larger value.
  g.sigmaSize = int64_t{g.blockCols + 8} * (proHeight + 8);

  g.ldiff = g.hDiffSize;
  g.sigma = g.ldiff + g.lDiffSize;
  g.filterLdiff = g.sigma + g.sigmaSize;
  g.checkEnd = g.filterLdiff + static_cast<int64_t>(static_cast<double>(g.hDiffSize) * 1.5);
  g.filterHdiff = g.filterLdiff + g.lDiffSize;
  g.sigmaL = g.filterHdiff + g.hDiffSize;
  g.sigmaH = g.sigmaL + g.sigmaSize;
  const int64_t sigmaEntries = int64_t{g.blockRows - 1} * g.sigmaStride + g.blockCols;
  g.sigmaHEnd = g.sigmaH + 2 * sigmaEntries;
  g.sigmaTmpEnd = int64_t{g.blockRows + 7} * g.sigmaStride + g.blockCols + 4;
  g.rowBufBytes = int64_t{proHeight} * (g.blockCols + 2);
  g.bufElems = int64_t{6} * proWidth * proHeight;

  // The buffer's size in bytes must be addressable in 32 bits, as on the device.
  const int64_t bufBytes = 2 * g.bufElems;
  if (bufBytes >= (int64_t{1} << 32)) return g;
  // The device's check: the reservation up to the end mark is below the buffer.
  const uint32_t d = static_cast<uint32_t>(2 * g.checkEnd);
  const uint32_t l = static_cast<uint32_t>(bufBytes);
  if (!(d < l)) return g;
  // That check alone lets the sigma tables of some narrow grids (widths 8 to
  // 13) run past the buffer: every plane must also end inside it, and the
  // stages' scratch must stay inside the dead planes it borrows.
  g.accepted =
      g.sigmaHEnd <= g.bufElems && g.sigmaTmpEnd <= g.sigma && g.rowBufBytes <= 2 * g.filterLdiff;
  return g;
}

BandWork bandWork(const Layout &g) {
  BandWork w{};
  w.at = g.sigma + int64_t{g.blockRows + 8} * g.sigmaStride;  // the block sigma plane's end
  const int64_t tableBytes =
      int64_t{g.blockRows} * g.blockCols + int64_t{kBandRows} * g.lDiffStride;
  w.sigmaTmp = w.at + (tableBytes + 1) / 2;
  w.end = w.sigmaTmp + int64_t{kLowResRows + 7} * g.sigmaStride + g.blockCols + 4;
  if (w.end > g.filterLdiff) w.at = -1;
  return w;
}

}  // namespace tnr_md
