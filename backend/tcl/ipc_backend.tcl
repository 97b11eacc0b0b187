# For backend authors writing in Tcl: lines a child writes so that its host evaluates them as
# intended. Every text goes out as one word on one line, so braces, brackets, dollars, newlines
# and zero bytes arrive as they were written.
#
#   package require ipc_backend
#   ipc_backend::post warning 12 "disk almost full"
package require Tcl 8.6
package provide ipc_backend 1.0

namespace eval ::ipc_backend {
    namespace export post internal_error debug host_puts progress pipe_name
    # Backslash escapes for a word that cannot be braced: Tcl's special characters, and control
    # characters as \n, \t, \r or three octal digits (never more, so a digit may follow).
    variable escapes [apply {{} {
        for {set code 0} {$code < 0x20} {incr code} {
            dict set escapes [format %c $code] [format {\%03o} $code]
        }
        foreach {special escape} [list \x7f {\177} \n {\n} \t {\t} \r {\r}] {
            dict set escapes $special $escape
        }
        foreach special [split "\\ ;{}\[\]\$\"#" ""] { dict set escapes $special \\$special }
        return $escapes
    }}]
}

# TEXT as one Tcl word on one line with no raw zero byte: list's quoting while that needs no
# line break or control character, else backslash escapes. Other bytes stay as they are.
proc ::ipc_backend::word {text} {
    if {![regexp {[\x00-\x08\x0a-\x1f\x7f]} $text]} { return [list $text] }
    variable escapes
    # Character by character: string map would rewrite bytes that are not UTF-8 as characters.
    return [join [lmap c [split $text ""] {
        if {[dict exists $escapes $c]} { dict get $escapes $c } else { set c }
    }] ""]
}

# The command line of WORDS, each quoted by word.
proc ::ipc_backend::command {args} {
    return [join [lmap text $args {word $text}]]
}

# Writes one command line to standard output and flushes it: the host reads lines as they come.
# The host reads UTF-8, whatever this process's locale.
proc ::ipc_backend::emit {line} {
    set encoding [chan configure stdout -encoding]
    chan configure stdout -encoding utf-8
    puts stdout $line
    flush stdout
    chan configure stdout -encoding $encoding
}

# post SEVERITY ?ID? TEXT: a message to the host's default report.
# SEVERITY: error, warning or info (E, W, I also).
proc ::ipc_backend::post {severity args} {
    if {[llength $args] ni {1 2}} {
        return -code error "wrong # args: should be \"ipc_backend::post severity ?id? text\""
    }
    emit [command msg_post 0 $severity {*}$args]
}

# internal_error TEXT: an internal-error record; the host goes on.
proc ::ipc_backend::internal_error {text} {
    emit [command msg_internal_error 0 $text]
}

# debug ?WORD ...?: shown by the host only when its debug output is on.
proc ::ipc_backend::debug {args} {
    emit [command Debug: {*}$args]
}

# host_puts TEXT: the host writes TEXT to its standard output as it is.
proc ::ipc_backend::host_puts {text} {
    emit [command msg_tcl_puts $text]
}

# progress DONE TOTAL ?TEXT?: how far the backend got, shown by the host as a progress line or
# bar.
proc ::ipc_backend::progress {done total {text {}}} {
    emit [command ipc_progress $done $total $text]
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
