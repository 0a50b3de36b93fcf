// Device memory for tests, on either backend: an RAII buffer of n elements with host transfers.
#pragma once

#include <cuda_runtime_api.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace kivo_test {

template <class T>
class DeviceBuffer {
public:
    DeviceBuffer() = default;
    explicit DeviceBuffer(std::size_t count) : count_(count) {
        if (count_ != 0) {
            void* p = nullptr;
            const cudaError_t e = cudaMalloc(&p, count_ * sizeof(T));
            EXPECT_EQ(e, cudaSuccess) << "cudaMalloc of " << count_ << " elements";
            data_ = static_cast<T*>(p);
        }
    }
    explicit DeviceBuffer(const std::vector<T>& host) : DeviceBuffer(host.size()) { upload(host); }
    ~DeviceBuffer() {
        if (data_ != nullptr) cudaFree(data_);
    }
    DeviceBuffer(DeviceBuffer&& other) noexcept : data_(other.data_), count_(other.count_) {
        other.data_ = nullptr;
        other.count_ = 0;
    }
    DeviceBuffer& operator=(DeviceBuffer&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(count_, other.count_);
        return *this;
    }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;

    T* data() const { return data_; }
    std::size_t size() const { return count_; }
    // One past the last element: on the simulation backend this address lies in an inaccessible page.
    T* end() const { return data_ + count_; }

    void upload(const std::vector<T>& host) {
        ASSERT_EQ(host.size(), count_);
        if (count_ != 0) {
            ASSERT_EQ(cudaMemcpy(data_, host.data(), count_ * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
        }
    }
    std::vector<T> download() const {
        std::vector<T> host(count_);
        if (count_ != 0) {
            const cudaError_t e = cudaMemcpy(host.data(), data_, count_ * sizeof(T), cudaMemcpyDeviceToHost);
            EXPECT_EQ(e, cudaSuccess) << cudaGetErrorString(e);
        }
        return host;
    }
    // Fills every byte with `byte` (0xFF makes float and double elements NaN).
    void poison(unsigned char byte = 0xFF) {
        if (count_ != 0) ASSERT_EQ(cudaMemset(data_, byte, count_ * sizeof(T)), cudaSuccess);
    }

private:
    T* data_ = nullptr;
    std::size_t count_ = 0;
};

}  // namespace kivo_test
