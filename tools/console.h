// Text for a Windows console. The program writes UTF-8 everywhere; a console
// shows it right only when given UTF-16 (WriteConsoleW), whatever its code
// page, while pipes and files take the UTF-8 bytes unchanged.
#pragma once

namespace zorvex::cli {

// On Windows, the descriptors of standard output and standard error that are
// consoles write to a pipe of their own, which a thread reads and writes to
// the console as UTF-16; all that was written reaches it before the process
// exits. The standard handles stay the consoles. Does nothing elsewhere, and
// for output that is no console.
void routeConsoleOutput();

}  // namespace zorvex::cli
