// A message filter: an object that a message loop asks about each message it
// reads before it translates and dispatches it.
#pragma once

#include "platform/win/MessageLoop.h"
#include "platform/win/Types.h"

namespace ui {

class CMessageFilter {
public:
    // True consumes the message (the loop then neither translates nor
    // dispatches it). Called on the loop's thread.
    virtual bool PreTranslateMessage(MSG* msg) = 0;

protected:
    ~CMessageFilter() = default;
};

}  // namespace ui
