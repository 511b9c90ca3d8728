// Application messages: how workers tell the windows that something changed.
//
// Workers never touch windows; they post one of these messages to the main
// window or to the open card as a window-message event (platform/events.h).
// The shell's event sink delivers them as queued Qt events; without a sink,
// and whenever the target window does not exist, a post is dropped and
// answers false. A status line change is its own event (setStatusText), which
// the shell delivers as WM_PHONE_STATUS.
#pragma once

#include <cstdint>

namespace kestrel {

enum PhoneMessage : uint32_t {
    WM_PHONE_STATUS = 0x8028,        // status changed (main window)
    WM_PHONE_CARD_REFRESH = 0x8029,  // card lists changed (card window)
    WM_PHONE_PLAYBACK_DONE = 0x802A, // message playback ended (card window)
    WM_PHONE_CONNECTION = 0x802B,    // wallet connection changed, wParam 1 or 0 (main window)
    WM_PHONE_AVATAR = 0x802C,        // avatar decoded (card window)
    WM_PHONE_RING = 0x802D,          // incoming call ringing (main window)
    WM_PHONE_UPDATE = 0x802E,        // update check result (main window)
};

bool postToMainWindow(PhoneMessage message, intptr_t wparam = 0);
bool postToCardWindow(PhoneMessage message, intptr_t wparam = 0);

} // namespace kestrel
