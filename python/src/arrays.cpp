#include "arrays.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace tnr_py {

namespace {

const char *elemName(Elem e) {
  switch (e) {
    case Elem::U8:
      return "uint8";
    case Elem::I16:
      return "int16";
    case Elem::U16:
      return "uint16";
    case Elem::U32:
      return "uint32";
  }
  return "?";
}

size_t elemSize(Elem e) {
  switch (e) {
    case Elem::U8:
      return 1;
    case Elem::I16:
      return 2;
    case Elem::U16:
      return 2;
    case Elem::U32:
      return 4;
  }
  return 1;
}

// Native byte order and exactly this type (a big-endian int16 does not pass).
bool hasElem(const py::handle &obj, Elem e) {
  switch (e) {
    case Elem::U8:
      return py::isinstance<py::array_t<uint8_t, 0>>(obj);
    case Elem::I16:
      return py::isinstance<py::array_t<int16_t, 0>>(obj);
    case Elem::U16:
      return py::isinstance<py::array_t<uint16_t, 0>>(obj);
    case Elem::U32:
      return py::isinstance<py::array_t<uint32_t, 0>>(obj);
  }
  return false;
}

std::string shapeText(const py::array &a) {
  std::string s = "(";
  for (py::ssize_t i = 0; i < a.ndim(); ++i) {
    if (i) s += ", ";
    s += std::to_string(a.shape(i));
  }
  return s + (a.ndim() == 1 ? ",)" : ")");
}

std::string stridesText(const py::array &a) {
  std::string s = "(";
  for (py::ssize_t i = 0; i < a.ndim(); ++i) {
    if (i) s += ", ";
    s += std::to_string(a.strides(i));
  }
  return s + ")";
}

// The byte range [lo, hi) that array `a` spans.
void byteBounds(const py::array &a, const uint8_t *&lo, const uint8_t *&hi) {
  auto *p = static_cast<const uint8_t *>(a.data());
  ptrdiff_t below = 0, above = 0;
  for (py::ssize_t i = 0; i < a.ndim(); ++i) {
    if (a.shape(i) == 0) {
      lo = hi = p;
      return;
    }
    const ptrdiff_t span = static_cast<ptrdiff_t>(a.shape(i) - 1) * a.strides(i);
    if (span < 0)
      below += span;
    else
      above += span;
  }
  lo = p + below;
  hi = p + above + a.itemsize();
}

// Bytes from `p` to the end of the memory of the outermost numpy array that
// `a` views (numpy records the array owning the memory, or the last array
// before a foreign buffer, as `base`).
size_t availableFrom(const py::array &a, const uint8_t *p) {
  py::object outer = a;
  for (int depth = 0; depth < 64; ++depth) {
    py::object base = outer.attr("base");
    if (base.is_none() || !py::isinstance<py::array>(base)) break;
    outer = base;
  }
  const uint8_t *lo, *hi;
  byteBounds(py::reinterpret_borrow<py::array>(outer), lo, hi);
  if (p < lo || p >= hi) return 0;
  return static_cast<size_t>(hi - p);
}

}  // namespace

Plane checkPlane(const py::handle &obj, const char *name, Elem elem, int rows, int cols,
                 Access access, const std::string &shapeHint) {
  const std::string n = name;
  if (!py::isinstance<py::array>(obj))
    throw py::type_error(n + ": expected a numpy array of " + elemName(elem) + ", got " +
                         std::string(py::str(py::type::of(obj).attr("__name__"))));
  const auto a = py::reinterpret_borrow<py::array>(obj);
  if (!hasElem(obj, elem))
    throw py::type_error(n + ": expected dtype " + elemName(elem) + ", got " +
                         std::string(py::str(a.dtype())) +
                         " (arrays are never converted: convert it yourself and pass the result)");
  const std::string wanted =
      rows >= 0 && cols >= 0 ? "shape (" + std::to_string(rows) + ", " + std::to_string(cols) +
                                   ")" + (shapeHint.empty() ? "" : " (" + shapeHint + ")")
                             : "a 2-D array" + (shapeHint.empty() ? "" : " (" + shapeHint + ")");
  if (a.ndim() != 2)
    throw py::value_error(n + ": expected " + wanted + ", got a " + std::to_string(a.ndim()) +
                          "-D array of shape " + shapeText(a));
  if ((rows >= 0 && a.shape(0) != rows) || (cols >= 0 && a.shape(1) != cols))
    throw py::value_error(n + ": expected " + wanted + ", got shape " + shapeText(a));
  if (a.shape(0) == 0 || a.shape(1) == 0)
    throw py::value_error(n + ": expected " + wanted + ", got an empty array of shape " +
                          shapeText(a));
  if (a.shape(0) > INT_MAX || a.shape(1) > INT_MAX)
    throw py::value_error(n + ": shape " + shapeText(a) + " is too large");
  if (access == Access::Write && !a.writeable())
    throw py::value_error(n +
                          ": the array is read-only, and the result is written into it "
                          "(pass a writeable array)");
  const auto item = static_cast<py::ssize_t>(elemSize(elem));
  if (a.strides(1) != item)
    throw py::value_error(
        n + ": the elements of a row must be adjacent (strides[1] == " + std::to_string(item) +
        "), got strides " + stridesText(a) + " (a row may be padded, a column may not be strided)");
  Plane p;
  p.rows = static_cast<int>(a.shape(0));
  p.cols = static_cast<int>(a.shape(1));
  p.itemSize = static_cast<size_t>(item);
  p.pitch = p.rows == 1 ? static_cast<ptrdiff_t>(p.rowBytes()) : a.strides(0);
  if (p.pitch < static_cast<ptrdiff_t>(p.rowBytes()) || p.pitch % item != 0 || p.pitch > INT_MAX)
    throw py::value_error(n +
                          ": rows must follow each other at increasing addresses, at least a "
                          "row apart and a whole number of elements apart (strides[0] >= " +
                          std::to_string(p.rowBytes()) + "), got strides " + stridesText(a));
  // Taking a pointer writes nothing; the write access was checked above.
  p.data = static_cast<uint8_t *>(const_cast<void *>(a.data()));
  if (reinterpret_cast<uintptr_t>(p.data) % static_cast<uintptr_t>(item) != 0)
    throw py::value_error(n + ": the data must be aligned to " + std::to_string(item) +
                          " bytes (an array of " + elemName(elem) + " at an odd offset)");
  p.available = std::max(availableFrom(a, p.data), static_cast<size_t>(p.end() - p.data));
  return p;
}

bool overlaps(const Plane &a, const Plane &b) { return a.data < b.end() && b.data < a.end(); }

void copyRows(uint8_t *dst, ptrdiff_t dstPitch, const uint8_t *src, ptrdiff_t srcPitch, int rows,
              size_t rowBytes) {
  if (dstPitch == srcPitch && static_cast<size_t>(srcPitch) == rowBytes) {
    std::memcpy(dst, src, rowBytes * static_cast<size_t>(rows));
    return;
  }
  for (int r = 0; r < rows; ++r) std::memcpy(dst + r * dstPitch, src + r * srcPitch, rowBytes);
}

void splitFrame(const Plane &frame, int height, Plane &luma, Plane &chroma) {
  luma = frame;
  luma.rows = height;
  chroma = frame;
  chroma.data = frame.row(height);
  chroma.rows = height / 2;
  chroma.available = frame.available - static_cast<size_t>(chroma.data - frame.data);
}

bool canUseDirectly(const Plane &luma, const Plane &chroma, int height) {
  // The library's frame: one even pitch, chroma right after `height` luma
  // rows, and pitch x height x 3 / 2 bytes that it may read.
  const ptrdiff_t pitch = luma.pitch;
  return (pitch & 1) == 0 && chroma.pitch == pitch && chroma.data == luma.row(height) &&
         luma.available / static_cast<size_t>(pitch) / 3 >= static_cast<size_t>(height) / 2;
}

FrameRef frameOf(const Plane &luma, const Plane &chroma, int width, int height,
                 std::vector<uint8_t> &store) {
  FrameRef f;
  if (canUseDirectly(luma, chroma, height)) {
    f.data = luma.data;
    f.pitch = static_cast<int>(luma.pitch);
    f.direct = true;
    return f;
  }
  const size_t w = static_cast<size_t>(width);
  store.resize(w * height * 3 / 2);
  copyRows(store.data(), width, luma.data, luma.pitch, height, w);
  copyRows(store.data() + w * height, width, chroma.data, chroma.pitch, height / 2, w);
  f.data = store.data();
  f.pitch = width;
  return f;
}

void writeBack(const FrameRef &f, const Plane &luma, const Plane &chroma, int width, int height) {
  if (f.direct) return;
  const size_t w = static_cast<size_t>(width);
  copyRows(luma.data, luma.pitch, f.data, f.pitch, height, w);
  copyRows(chroma.data, chroma.pitch, f.data + static_cast<size_t>(f.pitch) * height, f.pitch,
           height / 2, w);
}

}  // namespace tnr_py
