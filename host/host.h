// Start-up and shut-down of the host layer.
#pragma once

// Creates the interpreter (Tcl_Init, host commands msg_post, msg_internal_error, msg_tcl_puts,
// Debug:), and starts the message service. Call once, on the main thread, before the library runs.
void host_start(const char* argv0);

// Deletes the interpreter and stops the message service; the inverse of host_start.
void host_stop();
