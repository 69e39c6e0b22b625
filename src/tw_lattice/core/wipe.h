// Erasing key material: a wipe the compiler may not drop, and a small owned
// buffer that wipes itself when it dies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "common/platform/platform.h"

namespace tw::lattice {

using tw::platform::secure_wipe;

// Secret bytes owned by one object, never copied, wiped on destruction.
class SecretBuffer {
  public:
    SecretBuffer() = default;
    // `size` zero bytes, to be written.
    explicit SecretBuffer(size_t size) : data_(new uint8_t[size ? size : 1]()), size_(size) {}
    SecretBuffer(const void* data, size_t size) : SecretBuffer(size) {
        if (size) std::memcpy(data_.get(), data, size);
    }
    SecretBuffer(SecretBuffer&& other) noexcept
        : data_(std::move(other.data_)), size_(std::exchange(other.size_, 0)) {}
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;
    ~SecretBuffer() { secure_wipe(data_.get(), size_); }

    const uint8_t* data() const { return data_.get(); }
    uint8_t* data() { return data_.get(); }
    size_t size() const { return size_; }

  private:
    std::unique_ptr<uint8_t[]> data_;
    size_t size_ = 0;
};

// Bytes owned elsewhere (a caller's output) that are a secret only once
// complete: wiped when the guard dies, unless keep() said they are done.
class WipedUnlessKept {
  public:
    WipedUnlessKept(void* data, size_t size) noexcept : data_(data), size_(size) {}
    WipedUnlessKept(const WipedUnlessKept&) = delete;
    WipedUnlessKept& operator=(const WipedUnlessKept&) = delete;
    ~WipedUnlessKept() {
        if (data_) secure_wipe(data_, size_);
    }
    void keep() noexcept { data_ = nullptr; }

  private:
    void* data_;
    size_t size_;
};

// A plain value wiped when it dies: a struct of salts, a key's round keys or
// hash states, a block of plaintext held on the stack.
template <typename T> struct Wiped {
    T value{};
    Wiped() = default;
    explicit Wiped(const T& initial) : value(initial) {}
    Wiped(const Wiped&) = delete;
    Wiped& operator=(const Wiped&) = delete;
    ~Wiped() { secure_wipe(&value, sizeof value); }
};

} // namespace tw::lattice
