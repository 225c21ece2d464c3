// Where the add-in's user interface finds its resources: the dialog
// templates and pictures of this library, and the texts of the string tables.
#pragma once

#include <string>

#include "platform/win/Module.h"
#include "platform/win/Types.h"

namespace ui {

// The module that carries this library's dialog templates (the add-in
// module; the test program in unit tests). Null when it cannot be found.
HMODULE UiResourceModule();

// String `id` of the add-in's string tables in `language`; the empty text
// when it cannot be loaded (the control then shows nothing). Any thread.
std::wstring LoadUiString(UINT id, LCID language);

}  // namespace ui
