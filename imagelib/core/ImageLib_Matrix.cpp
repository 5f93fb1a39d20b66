#include "ImageLib_Matrix.h"

namespace {

// Refills `values` with `count` copies of zero. When new storage is needed it is obtained
// before the old is given up, so a refused allocation leaves the matrix exactly as it was
// (std::vector::assign promises nothing of the kind).
template <class T> void Refill(ImageLib_Vector<T>& values, size_t count) {
    if (count > values.capacity()) {
        ImageLib_Vector<T> fresh(count, T());
        values.swap(fresh);
    } else {
        values.assign(count, T());
    }
}

} // namespace

ImageLib_Matrix::ImageLib_Matrix(uint32_t columnCount, uint32_t rowCount)
    : columns(columnCount), rows(rowCount), values(static_cast<size_t>(columnCount) * rowCount, 0.0f) {}

void ImageLib_Matrix::Reset(uint32_t columnCount, uint32_t rowCount) {
    Refill(values, static_cast<size_t>(columnCount) * rowCount);
    columns = columnCount;
    rows = rowCount;
}

ImageLib_ComplexMatrix::ImageLib_ComplexMatrix(uint32_t columnCount, uint32_t rowCount)
    : columns(columnCount), rows(rowCount),
      values(static_cast<size_t>(columnCount) * rowCount, std::complex<float>(0.0f, 0.0f)) {}

void ImageLib_ComplexMatrix::Reset(uint32_t columnCount, uint32_t rowCount) {
    Refill(values, static_cast<size_t>(columnCount) * rowCount);
    columns = columnCount;
    rows = rowCount;
}
