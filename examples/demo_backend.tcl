#!/usr/bin/env tclsh8.6
# An example backend that speaks the host's line protocol: each line it writes is a Tcl command
# the host evaluates. Run it through the host:
#
#   build/bin/ipc_run -- examples/demo_backend.tcl
#   build/bin/ipc_run --debug --report -- examples/demo_backend.tcl
lappend auto_path [file join [file dirname [file normalize [info script]]] .. backend tcl]
package require ipc_backend

ipc_backend::post info 1001 "demo backend started (pid [pid])"
ipc_backend::debug "arguments:" {*}$argv

# Texts with Tcl's special characters arrive as written, because they are quoted with list.
ipc_backend::post warning 1002 {50% done; next: [step 2] costs $0 {free}}

# One command may span several lines: the host gathers lines until the command is complete.
puts {msg_post 0 info 1003 {a message
over three
lines}}
flush stdout

# A line whose first word is no command is stray text: the host drops it (see --debug).
puts "this line is stray text, not a command"
flush stdout

ipc_backend::host_puts "msg_tcl_puts writes this as it is\n"
ipc_backend::post error 1004 "demo backend: something failed (on purpose)"
ipc_backend::post info "demo backend done"
exit 0
