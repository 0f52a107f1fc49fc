#pragma once
// The window that owns message boxes described as belonging to the main
// window. Opaque to the core; the user interface sets it once its window exists.
inline void* mainWindowHandle = nullptr;
