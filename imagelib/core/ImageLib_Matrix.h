// The library's small dense matrices: real ones for colour transforms and power spectra,
// complex ones for the Fourier transform.
//
// Both are stored column-major: the element in row r and column c is values[c * rows + r],
// so a matrix applied to a pixel x gives y[r] = sum over c of Element(r, c) * x[c]. Index
// products are taken in size_t, never in 32 bits. Storage comes from the library
// allocator, so a current ImageLib_Context is needed to size or copy a matrix.
#pragma once

#include "ImageLib_Allocator.h"

#include <complex>
#include <cstddef>
#include <cstdint>

struct ImageLib_Matrix {
    uint32_t columns = 0;
    uint32_t rows = 0;
    ImageLib_Vector<float> values;

    ImageLib_Matrix() = default;
    // A columns-by-rows matrix of zeros.
    ImageLib_Matrix(uint32_t columnCount, uint32_t rowCount);

    // Gives the matrix the new size with every element 0.
    void Reset(uint32_t columnCount, uint32_t rowCount);

    size_t IndexOf(uint32_t row, uint32_t column) const { return static_cast<size_t>(column) * rows + row; }
    float& Element(uint32_t row, uint32_t column) { return values[IndexOf(row, column)]; }
    const float& Element(uint32_t row, uint32_t column) const { return values[IndexOf(row, column)]; }
};

struct ImageLib_ComplexMatrix {
    uint32_t columns = 0;
    uint32_t rows = 0;
    ImageLib_Vector<std::complex<float>> values;

    ImageLib_ComplexMatrix() = default;
    // A columns-by-rows matrix of zeros.
    ImageLib_ComplexMatrix(uint32_t columnCount, uint32_t rowCount);

    // Gives the matrix the new size with every element 0.
    void Reset(uint32_t columnCount, uint32_t rowCount);

    size_t IndexOf(uint32_t row, uint32_t column) const { return static_cast<size_t>(column) * rows + row; }
    std::complex<float>& Element(uint32_t row, uint32_t column) { return values[IndexOf(row, column)]; }
    const std::complex<float>& Element(uint32_t row, uint32_t column) const { return values[IndexOf(row, column)]; }
};
