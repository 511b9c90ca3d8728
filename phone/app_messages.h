// Application messages: how workers tell the windows that something changed.
//
// Workers never touch windows; they post one of these messages to the main
// window or to the open card. The shell installs the function that delivers
// them (as queued Qt events); until it does, and whenever the target window
// does not exist, a post is dropped and answers false.
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

enum class PostTarget { MainWindow, CardWindow };

// Delivers message to target; answers false when that window does not exist.
using PostFunction = bool (*)(PostTarget target, PhoneMessage message, intptr_t wparam);

void installPostFunction(PostFunction function);

bool postToMainWindow(PhoneMessage message, intptr_t wparam = 0);
bool postToCardWindow(PhoneMessage message, intptr_t wparam = 0);

} // namespace kestrel
