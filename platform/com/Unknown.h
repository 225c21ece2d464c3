// IUnknown and the ATL-style smart pointers over it.
#pragma once

#include <memory>
#include <utility>

#include "platform/win/Errors.h"
#include "platform/win/Guid.h"

// {00000000-0000-0000-C000-000000000046}
inline constexpr IID IID_IUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// The root of every COM interface. QueryInterface stores an AddRef'ed
// pointer (or null with E_NOINTERFACE); objects are freed by their last Release.
struct IUnknown {
    virtual HRESULT QueryInterface(REFIID iid, void** out) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

// Each interface type names its IID through a traits specialisation, so
// that CComQIPtr and the helpers can ask for it: QM_DECLARE_IID(IFoo, IID_IFoo).
template <class T>
struct InterfaceId;
#define QM_DECLARE_IID(Interface, iid)           \
    template <>                                  \
    struct InterfaceId<Interface> {              \
        static constexpr const IID& value = iid; \
    }
QM_DECLARE_IID(IUnknown, IID_IUnknown);

template <class T>
constexpr const IID& IidOf() {
    return InterfaceId<T>::value;
}

// Holds one reference to an interface pointer.
template <class T>
class CComPtr {
public:
    CComPtr() = default;
    CComPtr(T* p) : p(p) {
        if (p)
            p->AddRef();
    }
    CComPtr(const CComPtr& other) : CComPtr(other.p) {}
    CComPtr(CComPtr&& other) noexcept : p(std::exchange(other.p, nullptr)) {}
    ~CComPtr() { Release(); }
    CComPtr& operator=(T* other) {
        if (other)
            other->AddRef();
        Release();
        p = other;
        return *this;
    }
    CComPtr& operator=(const CComPtr& other) { return *this = other.p; }
    CComPtr& operator=(CComPtr&& other) noexcept {
        if (this != std::addressof(other)) {
            Release();
            p = std::exchange(other.p, nullptr);
        }
        return *this;
    }

    T* operator->() const { return p; }
    operator T*() const { return p; }
    T& operator*() const { return *p; }
    // Address for an [out] parameter; the pointer must be empty.
    T** operator&() { return &p; }
    bool operator!() const { return p == nullptr; }

    void Release() {
        if (T* old = std::exchange(p, nullptr))
            old->Release();
    }
    void Attach(T* other) {
        Release();
        p = other;
    }
    T* Detach() { return std::exchange(p, nullptr); }
    HRESULT CopyTo(T** out) const {
        if (!out)
            return E_POINTER;
        *out = p;
        if (p)
            p->AddRef();
        return S_OK;
    }
    template <class Q>
    HRESULT QueryInterface(Q** out) const {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (!p)
            return E_POINTER;
        return p->QueryInterface(IidOf<Q>(), reinterpret_cast<void**>(out));
    }

    T* p = nullptr;
};

// A CComPtr filled by QueryInterface from any interface pointer.
template <class T>
class CComQIPtr : public CComPtr<T> {
public:
    CComQIPtr() = default;
    CComQIPtr(T* p) : CComPtr<T>(p) {}
    CComQIPtr(IUnknown* other) {
        if (other)
            other->QueryInterface(IidOf<T>(), reinterpret_cast<void**>(&this->p));
    }
    template <class U>
    CComQIPtr(const CComPtr<U>& other) : CComQIPtr(static_cast<IUnknown*>(other.p)) {}
};
