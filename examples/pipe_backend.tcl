#!/usr/bin/env tclsh8.6
# An example backend with a named pipe: it answers every text the host broadcasts on it.
#
#   build/bin/ipc_run --named-pipe --eval 'after 300 {ipc_send hello}' -- \
#       examples/pipe_backend.tcl --count=1
#
# The host passes the pipe as --pipe_name=PATH. The backend ends after --count=N texts
# (default 1) or after --timeout=MS (default 10000) without one.
lappend auto_path [file join [file dirname [file normalize [info script]]] .. backend tcl]
package require ipc_backend

set count 1
set timeout 10000
foreach argument $argv {
    regexp {^--count=(\d+)$} $argument -> count
    regexp {^--timeout=(\d+)$} $argument -> timeout
}
set name [ipc_backend::pipe_name]
if {$name eq ""} {
    ipc_backend::post error "pipe_backend: no --pipe_name given (run it with --named-pipe)"
    exit 2
}

# Opened for reading and writing, so the pipe never looks closed while the host has not
# connected yet, and the open does not wait for the host.
set pipe [open $name {RDWR NONBLOCK}]
fconfigure $pipe -blocking 0 -translation binary
ipc_backend::post info "pipe_backend: listening on its named pipe"

proc answer {pipe} {
    set text [read $pipe]
    if {$text eq ""} return
    ipc_backend::post info "pipe_backend received: $text"
    if {[incr ::count -1] <= 0} {set ::done 0}
}
fileevent $pipe readable [list answer $pipe]
after $timeout {
    ipc_backend::post warning "pipe_backend: timed out waiting for a broadcast"
    set ::done 1
}
vwait ::done
exit $::done
