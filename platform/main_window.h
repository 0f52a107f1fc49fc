#pragma once
// The window that owns message boxes described as belonging to the main
// window. The core passes it on unread; the user interface sets it once its window
// exists (messageOwner, platform/messages.h).
struct MessageOwner;
inline MessageOwner* mainWindowHandle = nullptr;
