#pragma once

// Ctrl-C and SIGTERM end the demo cleanly: the handler only notes the signal, and the frame
// loop, which looks at it every frame, says goodbye to the other side, lets the goodbye out
// and ends. A second one ends the process at once (the default action again).

namespace demo {

void CatchStopSignals();
// 0, or the signal caught.
int StopSignal();
// "SIGINT", "SIGTERM" or "signal N"; text holds at least 16 characters.
const char* SignalName(int sig, char* text);

} // namespace demo
