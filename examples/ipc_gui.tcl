#!/usr/bin/env wish8.6
# A GUI host: runs one backend at a time through the ipc package and shows what it says, live.
#
#   TCLLIBPATH=build/lib/tcltk wish8.6 examples/ipc_gui.tcl ?COMMAND-LINE?
#
# The command line is run by sh, as in a terminal. Run starts it (so does Return in the entry),
# Stop terminates it. Messages appear coloured by severity, the progress bar follows the
# backend's ipc_progress reports, and the status line gives the exit status at the end. The
# window stays responsive however much the backend writes: messages are gathered as they come
# and shown ten times a second, keeping the last thousand lines.
package require Tk 8.6
set here [file dirname [file normalize [info script]]]
lappend auto_path [file join $here .. build lib tcltk]  ;# the package in a source tree's build
package require ipc

namespace eval ::gui {
    variable command ""
    variable stop 0          ;# the run's -stopvariable
    variable running 0
    variable pending {}      ;# lines not shown yet: {tag text ...}
    variable count 0         ;# messages of the current run
    variable status "Enter a command line and press Run."
    variable progress_text ""
    variable max_lines 1000
    variable refresh_ms 100
    variable escapes [apply {{} {  ;# what visible shows for each control character
        for {set code 0} {$code < 0x20} {incr code} {
            if {$code != 9} { lappend escapes [format %c $code] [format {\x%02X} $code] }
        }
        return [lappend escapes \x7f {\x7F}]
    }}]
}

proc ::gui::build {} {
    wm title . "ipc GUI host"
    # Closing the window during a run ends the application at once; the host ends the backend.
    wm protocol . WM_DELETE_WINDOW exit
    ttk::frame .top
    ttk::label .top.label -text "Command:"
    ttk::entry .top.command -textvariable ::gui::command -width 70
    ttk::button .top.run -text Run -command ::gui::run
    ttk::button .top.stop -text Stop -command ::gui::stop -state disabled
    bind .top.command <Return> ::gui::run
    grid .top.label .top.command .top.run .top.stop -padx 3 -pady 4 -sticky ew
    grid columnconfigure .top 1 -weight 1

    text .messages -width 100 -height 24 -wrap none -font TkFixedFont -state disabled \
        -yscrollcommand {.scroll set} -background white
    ttk::scrollbar .scroll -command {.messages yview}
    .messages tag configure error -foreground #c00000
    .messages tag configure warning -foreground #b06000
    .messages tag configure info -foreground #202020
    .messages tag configure internal -foreground #8000a0 -font {TkFixedFont 9 bold}
    .messages tag configure stray -foreground #808080
    .messages tag configure failed -foreground #c00000 -background #fff0f0

    ttk::frame .bottom
    ttk::progressbar .bottom.progress -mode determinate -maximum 1 -length 300
    ttk::label .bottom.progress_text -textvariable ::gui::progress_text -width 30
    ttk::label .bottom.status -textvariable ::gui::status -anchor w
    grid .bottom.progress .bottom.progress_text .bottom.status -padx 3 -pady 4 -sticky ew
    grid columnconfigure .bottom 2 -weight 1

    grid .top - -sticky ew
    grid .messages .scroll -sticky nsew
    grid .bottom - -sticky ew
    grid columnconfigure . 0 -weight 1
    grid rowconfigure . 1 -weight 1
    focus .top.command
}

proc ::gui::run {} {
    variable running
    variable command
    if {$running || [string trim $command] eq ""} return
    set running 1
    set ::gui::stop 0
    variable count 0
    variable pending {}
    .messages configure -state normal
    .messages delete 1.0 end
    .messages configure -state disabled
    .bottom.progress configure -maximum 1 -value 0
    variable progress_text ""
    variable status "Running..."
    .top.run state disabled
    .top.stop state !disabled
    after $::gui::refresh_ms ::gui::refresh_while_running
    set code [catch {
        ipc::run -shell -stopvariable ::gui::stop -onmessage ::gui::on_message \
            -onstray ::gui::on_stray -onerror ::gui::on_error -onprogress ::gui::on_progress \
            -- $command
    } result]
    set running 0
    refresh
    set status "[describe $code $result] ([plural $count message])"
    .top.run state !disabled
    .top.stop state disabled
}

proc ::gui::stop {} {
    if {!$::gui::running} return
    set ::gui::stop 1
    set ::gui::status "Stopping..."
}

proc ::gui::describe {code result} {
    if {$code != 0} { return "Failed: $result" }
    if {[dict get $result stopped]} { return "Stopped" }
    if {![dict get $result ok]} { return "The run failed" }
    if {[dict get $result signal] ne ""} { return "Killed by [dict get $result signal]" }
    return "Exited with code [dict get $result exit_code]"
}

proc ::gui::plural {n word} { return "$n $word[expr {$n == 1 ? {} : {s}}]" }

# text with each control character but tab shown as \xNN: a backend's text cannot start new
# lines or hide itself.
proc ::gui::visible {text} { return [string map $::gui::escapes $text] }

proc ::gui::on_message {severity id text} {
    variable count
    incr count
    set label [string toupper $severity]
    if {$id ne ""} { append label " $id" }
    lappend ::gui::pending $severity "$label: [visible $text]"
}

proc ::gui::on_stray {line} { lappend ::gui::pending stray [visible $line] }

# A line of the backend that failed in Tcl: the error and the line, so the author can fix it.
proc ::gui::on_error {error line} {
    lappend ::gui::pending failed "Backend line failed: [visible $error]: [visible $line]"
}

proc ::gui::on_progress {done total text} {
    .bottom.progress configure -maximum [expr {max($total, 1)}] -value [expr {min($done, $total)}]
    variable progress_text "$done / $total [visible $text]"
}

proc ::gui::refresh_while_running {} {
    if {!$::gui::running} return
    refresh
    variable status "Running: [plural $::gui::count message]"
    after $::gui::refresh_ms ::gui::refresh_while_running
}

# Shows the gathered lines; only the last max_lines of them can stay, so only those are drawn.
proc ::gui::refresh {} {
    variable pending
    variable max_lines
    if {[llength $pending] == 0} return
    set shown [lrange $pending end-[expr {2 * $max_lines - 1}] end]
    set pending {}
    .messages configure -state normal
    foreach {tag line} $shown { .messages insert end "$line\n" $tag }
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
