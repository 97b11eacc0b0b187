#!/usr/bin/env wish8.6
# A GUI host: a job panel that runs any number of backends at once through the ipc package.
#
#   TCLLIBPATH=build/lib/tcltk wish8.6 examples/ipc_gui.tcl ?COMMAND-LINE?
#
# Each command line is run by sh, as in a terminal. Run starts it as a new job (so does Return
# in the entry); every job has a row with its command, state, progress bar, message count, exit
# status and a Stop button; Stop all ends every job. Clicking a row shows that job's messages
# below, coloured by severity. The window stays responsive however much the backends write:
# messages are gathered as they come and shown ten times a second, keeping the last thousand
# lines of each job.
package require Tk 8.6
set here [file dirname [file normalize [info script]]]
lappend auto_path [file join $here .. build lib tcltk]  ;# the package in a source tree's build
package require ipc

namespace eval ::gui {
    variable command ""
    variable jobs {}         ;# job numbers, in start order
    variable selected ""     ;# the job whose messages are shown
    variable ended 0         ;# counts ended jobs: something to vwait on
    variable status "Enter a command line and press Run."
    variable max_lines 1000
    variable refresh_ms 100
    variable escapes [apply {{} {  ;# what visible shows for each control character
        for {set code 0} {$code < 0x20} {incr code} {
            if {$code != 9} { lappend escapes [format %c $code] [format {\x%02X} $code] }
        }
        return [lappend escapes \x7f {\x7F}]
    }}]
    # Per job K: token, command, state, count, exit, lines (kept: {tag text ...}), pending.
    variable job
}

proc ::gui::build {} {
    wm title . "ipc GUI host"
    # Closing the window ends the application; the package ends every running backend.
    wm protocol . WM_DELETE_WINDOW exit
    ttk::frame .top
    ttk::label .top.label -text "Command:"
    ttk::entry .top.command -textvariable ::gui::command -width 70
    ttk::button .top.run -text Run -command ::gui::run
    ttk::button .top.stopall -text "Stop all" -command ::gui::stop_all
    bind .top.command <Return> ::gui::run
    grid .top.label .top.command .top.run .top.stopall -padx 3 -pady 4 -sticky ew
    grid columnconfigure .top 1 -weight 1

    ttk::frame .jobs -padding 3
    foreach {column title} {0 Command 1 State 2 Progress 3 Messages 4 "Exit status"} {
        grid [ttk::label .jobs.head$column -text $title -font TkHeadingFont] -row 0 \
            -column $column -sticky w -padx 4
    }
    grid columnconfigure .jobs 0 -weight 1

    text .messages -width 100 -height 18 -wrap none -font TkFixedFont -state disabled \
        -yscrollcommand {.scroll set} -background white
    ttk::scrollbar .scroll -command {.messages yview}
    .messages tag configure error -foreground #c00000
    .messages tag configure warning -foreground #b06000
    .messages tag configure info -foreground #202020
    .messages tag configure internal -foreground #8000a0 -font {TkFixedFont 9 bold}
    .messages tag configure stray -foreground #808080
    .messages tag configure failed -foreground #c00000 -background #fff0f0
    ttk::label .status -textvariable ::gui::status -anchor w

    grid .top - -sticky ew
    grid .jobs - -sticky ew
    grid .messages .scroll -sticky nsew
    grid .status - -sticky ew -padx 3
    grid columnconfigure . 0 -weight 1
    grid rowconfigure . 2 -weight 1
    focus .top.command
    after $::gui::refresh_ms ::gui::refresh
}

# Starts the entry's command line as a new job; returns its number.
proc ::gui::run {} {
    variable command
    if {[string trim $command] eq ""} return
    set k [expr {[llength $::gui::jobs] + 1}]
    variable job
    array set job [list $k,command $command $k,state running $k,count 0 $k,exit "" \
        $k,lines {} $k,pending {}]
    add_row $k
    set job($k,token) [ipc::start -shell -onmessage [list ::gui::on_message $k] \
        -onstray [list ::gui::on_stray $k] -onerror [list ::gui::on_error $k] \
        -onprogress [list ::gui::on_progress $k] -oncomplete [list ::gui::on_complete $k] \
        -- $command]
    lappend ::gui::jobs $k
    select $k
    return $k
}

proc ::gui::add_row {k} {
    set row .jobs
    ttk::label $row.command$k -text [visible $::gui::job($k,command)] -width 60
    ttk::label $row.state$k -textvariable ::gui::job($k,state) -width 10
    ttk::progressbar $row.progress$k -mode determinate -maximum 1 -length 160
    ttk::label $row.count$k -textvariable ::gui::job($k,count) -width 9 -anchor e
    ttk::label $row.exit$k -textvariable ::gui::job($k,exit) -width 22
    ttk::button $row.stop$k -text Stop -command [list ::gui::stop $k]
    grid $row.command$k $row.state$k $row.progress$k $row.count$k $row.exit$k $row.stop$k \
        -row $k -sticky w -padx 4 -pady 1
    foreach part {command state count exit} { bind $row.$part$k <Button-1> [list ::gui::select $k] }
}

proc ::gui::stop {k} {
    variable job
    if {$job($k,state) ne "running"} return
    ipc::stop $job($k,token)
    set job($k,state) stopping
}

proc ::gui::stop_all {} { foreach k $::gui::jobs { stop $k } }

# Shows job k's kept lines below the panel.
proc ::gui::select {k} {
    variable selected $k
    foreach other $::gui::jobs {
        .jobs.command$other configure -foreground [expr {$other == $k ? "#0040c0" : "black"}]
    }
    .messages configure -state normal
    .messages delete 1.0 end
    .messages configure -state disabled
    show $::gui::job($k,lines)
    variable status "Job $k: [visible $::gui::job($k,command)]"
}

proc ::gui::describe {result} {
    if {[dict exists $result error]} { return "Failed: [dict get $result error]" }
    if {[dict get $result stopped]} { return "Stopped" }
    if {![dict get $result ok]} { return "The run failed" }
    if {[dict get $result signal] ne ""} { return "Killed by [dict get $result signal]" }
    return "Exited with code [dict get $result exit_code]"
}

# text with each control character but tab shown as \xNN: a backend's text cannot start new
# lines or hide itself.
proc ::gui::visible {text} { return [string map $::gui::escapes $text] }

proc ::gui::on_message {k severity id text} {
    incr ::gui::job($k,count)
    set label [string toupper $severity]
    if {$id ne ""} { append label " $id" }
    lappend ::gui::job($k,pending) $severity "$label: [visible $text]"
}

proc ::gui::on_stray {k line} { lappend ::gui::job($k,pending) stray [visible $line] }

# A line of the backend that failed in Tcl: the error and the line, so the author can fix it.
proc ::gui::on_error {k error line} {
    lappend ::gui::job($k,pending) failed "Backend line failed: [visible $error]: [visible $line]"
}

proc ::gui::on_progress {k done total text} {
    .jobs.progress$k configure -maximum [expr {max($total, 1)}] -value [expr {min($done, $total)}]
}

proc ::gui::on_complete {k token result} {
    variable job
    set job($k,state) ended
    set job($k,exit) [describe $result]
    take_pending $k
    .jobs.stop$k state disabled
    incr ::gui::ended
}

# Moves job k's gathered lines to its kept ones; returns those new lines that stay.
proc ::gui::take_pending {k} {
    variable job
    variable max_lines
    set new [lrange $job($k,pending) end-[expr {2 * $max_lines - 1}] end]
    set job($k,pending) {}
    set job($k,lines) [lrange [concat $job($k,lines) $new] end-[expr {2 * $max_lines - 1}] end]
    return $new
}

proc ::gui::refresh {} {
    variable selected
    foreach k $::gui::jobs {
        set new [take_pending $k]
        if {$k eq $selected} { show $new }
    }
    after $::gui::refresh_ms ::gui::refresh
}

# Appends lines to the text; only the last max_lines can stay, so only those are drawn.
proc ::gui::show {lines} {
    variable max_lines
    if {[llength $lines] == 0} return
    .messages configure -state normal
    foreach {tag line} [lrange $lines end-[expr {2 * $max_lines - 1}] end] {
        .messages insert end "$line\n" $tag
    }
    set excess [expr {int([.messages index end]) - 2 - $max_lines}]
    if {$excess > 0} { .messages delete 1.0 [expr {$excess + 1}].0 }
    .messages configure -state disabled
    .messages see end
}

::gui::build
if {[llength $argv] > 0} {
    set ::gui::command [join $argv]
} else {
    set ::gui::command "[list [file join $here progress_backend.tcl]] --steps=20 --delay=150"
}
