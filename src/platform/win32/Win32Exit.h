#pragma once

namespace portnet::platform::os {

// Set by DllMain when the process detach is the process ending rather than FreeLibrary.
extern bool g_process_ending;

} // namespace portnet::platform::os
