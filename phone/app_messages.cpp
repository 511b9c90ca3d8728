#include "phone/app_messages.h"

#include "platform/events.h"

namespace kestrel {

bool postToMainWindow(PhoneMessage message, intptr_t wparam)
{
    return platform::emitWindowMessage(platform::EventTarget::MainWindow, message, wparam);
}

bool postToCardWindow(PhoneMessage message, intptr_t wparam)
{
    return platform::emitWindowMessage(platform::EventTarget::CardWindow, message, wparam);
}

} // namespace kestrel
