// Implementation base for the stand-ins' COM objects: a thread-safe
// reference count, and QueryInterface over the interfaces the object lists.
//
//   class Folder final : public com::ComObject<Folder, IFolder, IDispatch> { ... };
//   CComPtr<IFolder> f = com::Make<Folder>(args...);
//
// IUnknown resolves to the first listed interface, so every QueryInterface
// for IUnknown gives the same pointer (COM identity). An object is deleted
// by its last Release.
#pragma once

#include <atomic>
#include <new>
#include <type_traits>
#include <utility>

#include "platform/com/Dispatch.h"

namespace com {

template <class Derived, class First, class... Rest>
class ComObject : public First, public Rest... {
public:
    HRESULT QueryInterface(REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (iid == IID_IUnknown) {
            *out = static_cast<IUnknown*>(static_cast<First*>(this));
        } else if (!FindInterface<First, Rest...>(iid, out)) {
            if (!static_cast<Derived*>(this)->QueryExtraInterface(iid, out))
                return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        ULONG left = --m_refs;
        if (left == 0)
            delete static_cast<Derived*>(this);
        return left;
    }

    // Hook for interfaces reached other than by base class (tear-offs,
    // aliases such as an event interface answered by IDispatch). Stores the
    // pointer without AddRef; the caller adds the reference.
    bool QueryExtraInterface(REFIID, void**) { return false; }

    IUnknown* GetUnknown() { return static_cast<IUnknown*>(static_cast<First*>(this)); }

protected:
    ComObject() = default;
    virtual ~ComObject() = default;

private:
    template <class I, class... More>
    bool FindInterface(REFIID iid, void** out) {
        if (iid == IidOf<I>()) {
            *out = static_cast<I*>(this);
            return true;
        }
        if constexpr (std::is_base_of_v<IDispatch, I>) {
            // A dual interface answers for IDispatch too (through the first that derives from it).
            if (iid == IID_IDispatch) {
                *out = static_cast<IDispatch*>(static_cast<I*>(this));
                return true;
            }
        }
        if constexpr (sizeof...(More) > 0) {
            return FindInterface<More...>(iid, out);
        } else {
            return false;
        }
    }

    std::atomic<ULONG> m_refs{0};
};

// Creates an object and returns the first reference to the interface I.
template <class T, class I = void, class... Args>
auto Make(Args&&... args) {
    T* object = new (std::nothrow) T(std::forward<Args>(args)...);
    if constexpr (std::is_void_v<I>) {
        return CComPtr<T>(object);
    } else {
        return CComPtr<I>(static_cast<I*>(object));
    }
}

}  // namespace com
