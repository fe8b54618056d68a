#pragma once
// One owner type for every kind of Win32 handle; the traits say what "none" is and how to close.

#include <windows.h>

#include <utility>

namespace zelto {

template <typename Traits>
class UniqueHandle {
  public:
    using pointer = typename Traits::pointer;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(pointer raw) noexcept : raw_(raw) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : raw_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~UniqueHandle() { reset(); }

    pointer get() const noexcept { return raw_; }
    bool valid() const noexcept { return Traits::valid(raw_); }
    explicit operator bool() const noexcept { return valid(); }

    pointer release() noexcept { return std::exchange(raw_, Traits::none()); }
    void reset(pointer raw = Traits::none()) noexcept {
        pointer old = std::exchange(raw_, raw);
        if (Traits::valid(old)) {
            Traits::close(old);
        }
    }

  private:
    pointer raw_ = Traits::none();
};

// Kernel objects: files, pipes, processes, threads, events. Both NULL and INVALID_HANDLE_VALUE
// mean "no handle", since different creation calls fail with different ones.
struct KernelHandleTraits {
    using pointer = HANDLE;
    static pointer none() noexcept { return nullptr; }
    static bool valid(pointer h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { ::CloseHandle(h); }
};

struct ServiceHandleTraits {
    using pointer = SC_HANDLE;
    static pointer none() noexcept { return nullptr; }
    static bool valid(pointer h) noexcept { return h != nullptr; }
    static void close(pointer h) noexcept { ::CloseServiceHandle(h); }
};

struct LocalMemoryTraits {
    using pointer = HLOCAL;
    static pointer none() noexcept { return nullptr; }
    static bool valid(pointer h) noexcept { return h != nullptr; }
    static void close(pointer h) noexcept { ::LocalFree(h); }
};

// Directory searches (FindFirstFileExW), which fail with INVALID_HANDLE_VALUE.
struct FindHandleTraits {
    using pointer = HANDLE;
    static pointer none() noexcept { return INVALID_HANDLE_VALUE; }
    static bool valid(pointer h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void close(pointer h) noexcept { ::FindClose(h); }
};

using KernelHandle = UniqueHandle<KernelHandleTraits>;
using FindHandle = UniqueHandle<FindHandleTraits>;
using ServiceHandle = UniqueHandle<ServiceHandleTraits>;
using LocalMemory = UniqueHandle<LocalMemoryTraits>;

}  // namespace zelto
