#include "phone/app_messages.h"

#include <atomic>

namespace kestrel {

static std::atomic<PostFunction> installedPost {nullptr};

void installPostFunction(PostFunction function)
{
    installedPost.store(function);
}

static bool post(PostTarget target, PhoneMessage message, intptr_t wparam)
{
    const PostFunction function = installedPost.load();
    return function != nullptr && function(target, message, wparam);
}

bool postToMainWindow(PhoneMessage message, intptr_t wparam)
{
    return post(PostTarget::MainWindow, message, wparam);
}

bool postToCardWindow(PhoneMessage message, intptr_t wparam)
{
    return post(PostTarget::CardWindow, message, wparam);
}

} // namespace kestrel
