// Checks of the numpy arrays handed to the module. Nothing is ever converted:
// an array of the wrong type, shape or layout is refused with a message that
// says what was expected, so an in-place result can never land in a
// temporary copy that the caller does not see.
#ifndef TNR_MD_PYTHON_ARRAYS_H
#define TNR_MD_PYTHON_ARRAYS_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace tnr_py {

namespace py = pybind11;

// A checked 2-D array: `rows` rows of `cols` elements, rows `pitch` bytes
// apart (pitch > 0, a multiple of the element size), elements adjacent.
struct Plane {
  uint8_t *data = nullptr;
  ptrdiff_t pitch = 0;
  int rows = 0;
  int cols = 0;
  size_t itemSize = 1;
  // Bytes that the caller's memory holds from `data` on: at least the plane's
  // own extent, more when it is a view into a larger array.
  size_t available = 0;

  size_t rowBytes() const { return static_cast<size_t>(cols) * itemSize; }
  uint8_t *row(int r) const { return data + static_cast<ptrdiff_t>(r) * pitch; }
  // First byte past the plane's last element.
  const uint8_t *end() const { return row(rows - 1) + rowBytes(); }
};

enum class Access { Read, Write };

// Runs f, turning its std::invalid_argument (a parameter out of range) into
// ValueError.
template <typename F>
void checked(F &&f) {
  try {
    f();
  } catch (const std::invalid_argument &e) {
    throw py::value_error(e.what());
  }
}

// Element types the module takes, by name, for messages and checks.
enum class Elem { U8, I16, U16, U32 };

// Checks `obj` (named `name` in messages): a numpy array (TypeError
// otherwise) of the element type (TypeError), 2-D (ValueError), of the given
// shape where rows/cols are >= 0 (ValueError, the message states `shapeHint`
// when given), writeable if Access::Write (ValueError), with adjacent elements
// in a row and rows in increasing memory order at least a row apart
// (ValueError), aligned to its element size (ValueError).
Plane checkPlane(const py::handle &obj, const char *name, Elem elem, int rows, int cols,
                 Access access, const std::string &shapeHint = "");

// True when [a, a + na) and [b, b + nb) share a byte.
bool overlaps(const Plane &a, const Plane &b);

// A new C-contiguous numpy array of `rows` x `cols` elements of T.
template <typename T>
py::array_t<T> newArray(int rows, int cols) {
  return py::array_t<T>({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
}

// Copies `rows` rows of `rowBytes` bytes between two pitched layouts.
void copyRows(uint8_t *dst, ptrdiff_t dstPitch, const uint8_t *src, ptrdiff_t srcPitch, int rows,
              size_t rowBytes);

// An NV12 frame as the library reads it: luma rows then chroma rows at one
// even pitch, chroma starting `height` rows after the luma. `frameOf` points
// it straight at the caller's memory when the caller's array is laid out that
// way and owns every byte the library may read (up to pitch x height x 3 / 2,
// which reaches past the last row of a padded view), and otherwise at a packed
// copy in `store` (pitch = width); `writeBack` then copies the filtered rows
// back into the caller's planes.
struct FrameRef {
  uint8_t *data = nullptr;
  int pitch = 0;
  bool direct = false;
};

bool canUseDirectly(const Plane &luma, const Plane &chroma, int height);
FrameRef frameOf(const Plane &luma, const Plane &chroma, int width, int height,
                 std::vector<uint8_t> &store);
void writeBack(const FrameRef &f, const Plane &luma, const Plane &chroma, int width, int height);

// The luma and chroma planes of a (height * 3 / 2, width) NV12 array.
void splitFrame(const Plane &frame, int height, Plane &luma, Plane &chroma);

}  // namespace tnr_py

#endif
