// What outlook-host tells its user of a failed call: the error's meaning in
// words, its symbolic name and its code, e.g. "not found (MAPI_E_NOT_FOUND,
// 0x8004010F)".
#pragma once

#include <string>

#include "platform/win/Errors.h"

namespace host {

// Codes without a known name give "error 0x........"; Win32 codes wrapped in
// an HRESULT give the system's text of the Win32 code.
std::string ErrorText(HRESULT hr);

}  // namespace host
