// Start-up and shut-down of the host layer.
#pragma once

#include <tcl.h>

// Creates the trusted interpreter (Tcl_Init, host commands msg_post, msg_internal_error,
// msg_tcl_puts, Debug:), and starts the message service. Call once, on the thread that is to
// serve the interpreter's events (normally the main thread), before the library runs.
void host_start(const char* argv0);

// Like host_start, for an application that has an interpreter already: it becomes the trusted
// interpreter (its thread the one whose events the host serves) and gets the host commands.
// The application keeps it: host_stop, or its deletion by the application, only detaches it.
void host_adopt(Tcl_Interp* interpreter);

// Stops the message service and lets go of the trusted interpreter (deleting it unless it was
// adopted) and of this thread's child interpreter; the inverse of host_start and host_adopt.
void host_stop();
