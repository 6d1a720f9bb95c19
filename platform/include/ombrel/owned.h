// Owners for what the platform's calls hand out: each gives its object back
// the platform's way (CloseHandle, FindClose, FreeLibrary, DestroyIcon, HeapFree
// on the process heap) when it goes, once, and never an object it does not hold.
#pragma once

#include <utility>

#include <windows.h>

namespace ombrel {

template <typename Traits> class Owned {
public:
    using Type = typename Traits::Type;

    Owned() = default;
    explicit Owned(Type object) : object_(object) {}
    Owned(Owned&& other) noexcept : object_(other.release()) {}
    Owned& operator=(Owned&& other) noexcept {
        reset(other.release());
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }

    Type get() const { return object_; }
    explicit operator bool() const { return Traits::Holds(object_); }
    Type release() { return std::exchange(object_, Traits::None()); }
    void reset(Type object = Traits::None()) {
        if (Traits::Holds(object_))
            Traits::GiveBack(object_);
        object_ = object;
    }
    // For a call that hands its object out through a pointer: whatever was
    // held is given back first.
    Type* receive() {
        reset();
        return &object_;
    }

private:
    Type object_ = Traits::None();
};

struct HandleTraits {
    using Type = HANDLE;
    static Type None() { return nullptr; }
    static bool Holds(Type handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    static void GiveBack(Type handle) { CloseHandle(handle); }
};

struct FindTraits {
    using Type = HANDLE;
    static Type None() { return INVALID_HANDLE_VALUE; }
    static bool Holds(Type search) { return search != INVALID_HANDLE_VALUE && search != nullptr; }
    static void GiveBack(Type search) { FindClose(search); }
};

struct ModuleTraits {
    using Type = HMODULE;
    static Type None() { return nullptr; }
    static bool Holds(Type module) { return module != nullptr; }
    static void GiveBack(Type module) { FreeLibrary(module); }
};

struct IconTraits {
    using Type = HICON;
    static Type None() { return nullptr; }
    static bool Holds(Type icon) { return icon != nullptr; }
    static void GiveBack(Type icon) { DestroyIcon(icon); }
};

struct HeapBlockTraits {
    using Type = void*;
    static Type None() { return nullptr; }
    static bool Holds(Type block) { return block != nullptr; }
    static void GiveBack(Type block) { HeapFree(GetProcessHeap(), 0, block); }
};

using UniqueHandle = Owned<HandleTraits>;
using UniqueFind = Owned<FindTraits>;
using UniqueModule = Owned<ModuleTraits>;
using UniqueIcon = Owned<IconTraits>;
// A block of the process heap.
using HeapBlock = Owned<HeapBlockTraits>;

} // namespace ombrel
