# The GUI host examples/ipc_gui.tcl in a real wish window (under Xvfb), driven through its
# widgets: three backends at once (one flooding 200,000 messages, one stopped by its row's Stop
# button), each row showing its own progress, count and exit status, a timer ticking throughout;
# a screenshot of the window is saved as a PNG.
# Run as wish8.6 ipc_gui_test.tcl SOURCE_DIR SCREENSHOT.png
lassign $argv source_dir screenshot
set argv {}
source [file join $source_dir examples ipc_gui.tcl]
package require img::window  ;# Tk writes the PNG itself, not interlaced
set failures 0
proc check {name condition detail} {
    set ok [uplevel 1 [list expr $condition]]
    puts "[expr {$ok ? {ok  } : {FAIL}}] $name: $detail"
    incr ::failures [expr {!$ok}]
}
proc message_lines {} { return [expr {int([.messages index end]) - 2}] }
proc tagged {tag} { return [llength [.messages tag ranges $tag]] }
proc start {command} { set ::gui::command $command; .top.run invoke }
proc wait_for_ended {count} { while {$::gui::ended < $count} { vwait ::gui::ended } }
wm geometry . 1000x560+0+0
update

cd $source_dir  ;# the command lines in the screenshot read as in the README
set ::ticks {}
proc tick {} { lappend ::ticks [clock milliseconds]; after 20 tick }
after 20 tick
set started [clock milliseconds]
set flood [start "yes 'msg_post 0 info {step}' | head -n 200000"]
set sleeper [start "sleep 30"]
set steps [start "examples/progress_backend.tcl --steps=20 --delay=60"]
after 600 [list .jobs.stop$sleeper invoke]
after 700 {
    set ::midway [list [.jobs.progress$steps cget -value] $::gui::job($steps,state)]
    update
    [image create photo -format window -data .] write $::screenshot -format png
}
wait_for_ended 3
set elapsed [expr {[clock milliseconds] - $started}]
after cancel tick
set gap [tcl::mathfunc::max 0 {*}[lmap earlier [lrange $::ticks 0 end-1] \
    later [lrange $::ticks 1 end] {expr {$later - $earlier}}]]
lassign $::midway midway_progress midway_state
check "side by side" {$midway_state eq "running" && $midway_progress > 0} $::midway
check "flood delivered" {$::gui::job($flood,count) == 200000 &&
    $::gui::job($flood,exit) eq "Exited with code 0"} \
    "$::gui::job($flood,count) messages, $::gui::job($flood,exit)"
check "Stop ends its job only" {$::gui::job($sleeper,exit) eq "Stopped" && $elapsed < 20000 &&
    [string match "Exited with code 0" $::gui::job($steps,exit)]} \
    "$::gui::job($sleeper,exit), $::gui::job($steps,exit) after $elapsed ms"
check "progress at the end" {[.jobs.progress$steps cget -value] == 20} \
    [.jobs.progress$steps cget -value]
check "timer ticks throughout" {[llength $::ticks] >= 5 && $gap < 250} \
    "[llength $::ticks] ticks in $elapsed ms, longest gap $gap ms"
check "selected job's messages, coloured" {[tagged error] > 0 && [tagged warning] > 0 &&
    [tagged info] > 0} "error [tagged error] warning [tagged warning] info [tagged info]"
::gui::select $flood
update
check "a job's last lines kept" {[message_lines] == $::gui::max_lines} [message_lines]
check "screenshot" {[file size $screenshot] > 1000} "$screenshot, [file size $screenshot] bytes"

start "echo 'msg_post 0 info two words'"
wait_for_ended 4
update
after 200 {set ::idle 1}; vwait ::idle
check "a failed line shown in its colour" {[tagged failed] > 0} [.messages get 1.0 end]
puts "[expr {$failures == 0 ? {all passed} : "$failures failed"}]"
exit [expr {$failures > 0}]
