// Two-dimensional discrete Fourier transforms of small matrices, in single precision.
//
// The grain analysis measures power spectra of noise patches a few dozen samples on a side
// and turns an averaged spectrum back into a spatial kernel. For such sizes two products
// with explicit Fourier matrices (one along each index) are simple, exact in their order of
// operations and work for any size, so no fast algorithm is used: a matrix of m columns and
// n rows costs m * n * (m + n) complex multiply-adds.
//
// The forward transform uses the positive exponent and no scaling,
//     F(u, v) = sum over (c, r) of A(c, r) * exp(+i 2 pi (u c / m + v r / n)),
// and the inverse the negative exponent with a factor 1 / (m n), so that the inverse of the
// forward transform is the identity. Here A(c, r) is the element in column c, row r.
//
// Every operation reports progress through nested ImageLib_ProgressScope levels (the step
// counts are part of the contract: a caller's own scopes are sized around them) and takes
// its temporary matrices from the library allocator, releasing them before it returns,
// also when memory is refused or the user aborts.
#pragma once

#include "ImageLib_Kernel.h"
#include "ImageLib_Matrix.h"

#include <cstdint>

// Fills `matrix`, whose size the caller has set (square, N = columns), with
// W(j, k) = exp(i sign 2 pi j k / N) for column j and row k. Progress: columns + 1 steps.
void MakeFourierMatrix(ImageLib_ComplexMatrix& matrix, int32_t sign);

// Transforms every column of `input` along its rows: output(c, r) = sum over k of
// W(k, r) * input(c, k), with `fourier` = W of input.rows squared. Progress:
// input.columns + 1 steps. `output` must be neither `input` nor `fourier`.
void TransformColumns(const ImageLib_ComplexMatrix& input, const ImageLib_ComplexMatrix& fourier,
                      ImageLib_ComplexMatrix& output);

// Transforms every row of `input` across its columns: output(c, r) = sum over k of
// W(c, k) * input(k, r), with `fourier` = W of input.columns squared. Progress:
// input.columns + 1 steps. `output` must be neither `input` nor `fourier`.
void TransformRows(const ImageLib_ComplexMatrix& input, const ImageLib_ComplexMatrix& fourier,
                   ImageLib_ComplexMatrix& output);

// Both transforms with the Fourier matrices of the given exponent sign, no scaling.
// Progress: 3 steps for a square matrix, 4 otherwise (the second Fourier matrix).
// `output` may be `input`.
void Transform2D(const ImageLib_ComplexMatrix& input, ImageLib_ComplexMatrix& output, int32_t sign);

void ForwardTransform2D(const ImageLib_ComplexMatrix& input, ImageLib_ComplexMatrix& output);
void InverseTransform2D(const ImageLib_ComplexMatrix& input, ImageLib_ComplexMatrix& output);

// re * re + im * im of every element of the forward transform, into a real matrix of the
// input's size.
void PowerSpectrum(const ImageLib_ComplexMatrix& input, ImageLib_Matrix& output);

// The zero-phase kernel whose amplitude spectrum is the square root of `power`: the inverse
// transform of sqrt(power), with lag zero moved to the kernel's centre (column c becomes
// offset c, or c - columns past the middle; rows likewise). The kernel takes the matrix's
// size. Progress: 3 steps.
void KernelFromPowerSpectrum(const ImageLib_Matrix& power, ImageLib_Kernel& kernel);
