#pragma once

// Symbols of the host framework library stay visible even when a plug-in that includes these
// headers is built with hidden visibility.
#define ZVK_API __attribute__((visibility("default")))
