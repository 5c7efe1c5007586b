#pragma once
// Read-only views of caller-owned 64-bit float data with arbitrary byte strides
// (negative ones included), so strided NumPy arrays need no copy.
#include <cstddef>
#include <cstring>

namespace zun {

class MatrixView {
public:
    MatrixView(const void* data, std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride_bytes,
               std::ptrdiff_t col_stride_bytes)
        : data_(static_cast<const char*>(data)),
          rows_(rows),
          cols_(cols),
          row_stride_(row_stride_bytes),
          col_stride_(col_stride_bytes) {}

    // A row-major contiguous matrix.
    static MatrixView contiguous(const double* data, std::size_t rows, std::size_t cols) {
        const auto row_bytes = static_cast<std::ptrdiff_t>(cols * sizeof(double));
        return MatrixView(data, rows, cols, row_bytes, sizeof(double));
    }

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }

    double operator()(std::size_t row, std::size_t col) const {
        double value;
        // memcpy: a strided view need not be 8-byte aligned.
        std::memcpy(&value,
                    data_ + static_cast<std::ptrdiff_t>(row) * row_stride_ +
                        static_cast<std::ptrdiff_t>(col) * col_stride_,
                    sizeof(double));
        return value;
    }

    bool is_row_major_contiguous() const {
        if (rows_ == 0 || cols_ == 0) {
            return true;
        }
        const bool rows_packed = rows_ == 1 || row_stride_ == static_cast<std::ptrdiff_t>(cols_ * sizeof(double));
        const bool cols_packed = cols_ == 1 || col_stride_ == static_cast<std::ptrdiff_t>(sizeof(double));
        return rows_packed && cols_packed;
    }

    // Only meaningful when is_row_major_contiguous().
    const double* data() const { return reinterpret_cast<const double*>(data_); }

private:
    const char* data_;
    std::size_t rows_;
    std::size_t cols_;
    std::ptrdiff_t row_stride_;
    std::ptrdiff_t col_stride_;
};

class VectorView {
public:
    VectorView(const void* data, std::size_t size, std::ptrdiff_t stride_bytes)
        : data_(static_cast<const char*>(data)), size_(size), stride_(stride_bytes) {}

    static VectorView contiguous(const double* data, std::size_t size) {
        return VectorView(data, size, sizeof(double));
    }

    std::size_t size() const { return size_; }

    double operator[](std::size_t i) const {
        double value;
        std::memcpy(&value, data_ + static_cast<std::ptrdiff_t>(i) * stride_, sizeof(double));
        return value;
    }

    bool is_contiguous() const { return size_ <= 1 || stride_ == static_cast<std::ptrdiff_t>(sizeof(double)); }

    // Only meaningful when is_contiguous().
    const double* data() const { return reinterpret_cast<const double*>(data_); }

private:
    const char* data_;
    std::size_t size_;
    std::ptrdiff_t stride_;
};

}  // namespace zun
