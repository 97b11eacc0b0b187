# For backend authors writing in Tcl: lines a child writes so that its host evaluates them as
# intended. Every text is quoted with list, so braces, brackets, dollars and newlines arrive as
# they were written.
#
#   package require ipc_backend
#   ipc_backend::post warning 12 "disk almost full"
package require Tcl 8.6
package provide ipc_backend 1.0

namespace eval ::ipc_backend {
    namespace export post internal_error debug host_puts progress pipe_name
}

# Writes one command line to standard output and flushes it: the host reads lines as they come.
proc ::ipc_backend::emit {words} {
    puts stdout $words
    flush stdout
}

# post SEVERITY ?ID? TEXT: a message to the host's default report.
# SEVERITY: error, warning or info (E, W, I also).
proc ::ipc_backend::post {severity args} {
    if {[llength $args] ni {1 2}} {
        return -code error "wrong # args: should be \"ipc_backend::post severity ?id? text\""
    }
    emit [list msg_post 0 $severity {*}$args]
}

# internal_error TEXT: an internal-error record; the host goes on.
proc ::ipc_backend::internal_error {text} {
    emit [list msg_internal_error 0 $text]
}

# debug ?WORD ...?: shown by the host only when its debug output is on.
proc ::ipc_backend::debug {args} {
    emit [list Debug: {*}$args]
}

# host_puts TEXT: the host writes TEXT to its standard output as it is.
proc ::ipc_backend::host_puts {text} {
    emit [list msg_tcl_puts $text]
}

# progress DONE TOTAL ?TEXT?: how far the backend got, shown by the host as a progress line or
# bar.
proc ::ipc_backend::progress {done total {text {}}} {
    emit [list ipc_progress $done $total $text]
}

# The named pipe the host gave this child (--pipe_name=PATH on the command line), or "".
proc ::ipc_backend::pipe_name {{arguments {}}} {
    if {[llength [info level 0]] == 1} {set arguments $::argv}
    foreach argument $arguments {
        if {[string match --pipe_name=* $argument]} {
            return [string range $argument [string length --pipe_name=] end]
        }
    }
    return ""
}
