#pragma once

// What each OS folder (posix/, win32/) provides to the layer's shared code; nothing outside
// src/platform/ includes this.

#include <cstdint>

#include "platform/PlatformSystem.h"

namespace portnet::platform::os {

int SocketStartup(std::uint16_t version, SocketLayerInfo* info);
int SocketCleanup();
bool CounterFrequency(std::int64_t* frequency);
bool Counter(std::int64_t* count);
std::uint32_t MillisecondTimer();

} // namespace portnet::platform::os
