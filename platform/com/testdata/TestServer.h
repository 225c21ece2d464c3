// The interface of the in-process test server that Com_test creates by ProgID.
#pragma once

#include "platform/com/Dispatch.h"

// {6E1F4C2A-3B5D-4E7F-8A9B-0C1D2E3F4A5B}
inline constexpr CLSID CLSID_QmTestGreeter{
    0x6E1F4C2A, 0x3B5D, 0x4E7F, {0x8A, 0x9B, 0x0C, 0x1D, 0x2E, 0x3F, 0x4A, 0x5B}};
// {6E1F4C2B-3B5D-4E7F-8A9B-0C1D2E3F4A5B}
inline constexpr IID IID_IQmTestGreeter{
    0x6E1F4C2B, 0x3B5D, 0x4E7F, {0x8A, 0x9B, 0x0C, 0x1D, 0x2E, 0x3F, 0x4A, 0x5B}};

struct IQmTestGreeter : IUnknown {
    // *out = "Hello, " + name; the caller frees it.
    virtual HRESULT Greet(BSTR name, BSTR* out) = 0;

protected:
    ~IQmTestGreeter() = default;
};
QM_DECLARE_IID(IQmTestGreeter, IID_IQmTestGreeter);
