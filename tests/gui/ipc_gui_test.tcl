# The GUI host examples/ipc_gui.tcl in a real wish window (under Xvfb), driven through its
# buttons: messages and progress appear while a backend runs, Stop ends a backend, a timer keeps
# ticking through a flood of 200,000 messages; a screenshot of the window is saved as a PNG.
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
proc run_with {command button} {  ;# returns once the run is over, in milliseconds
    set ::gui::command $command
    set started [clock milliseconds]; {*}$button; expr {[clock milliseconds] - $started}
}
wm geometry . 900x520+0+0
update

cd $source_dir  ;# the command line in the screenshot reads as in the README
after 700 {set ::midway [list $::gui::running [message_lines] [.bottom.progress cget -value]]}
run_with "examples/progress_backend.tcl --steps=20 --delay=60" {.top.run invoke}
lassign $::midway running lines progress
check "shown while running" {$running && $lines > 0 && $progress > 0 && $progress < 20} $::midway
check "progress at the end" {[.bottom.progress cget -value] == 20} [.bottom.progress cget -value]
check "coloured by severity" {[tagged error] > 0 && [tagged warning] > 0 && [tagged info] > 0} \
    "error [tagged error] warning [tagged warning] info [tagged info]"
check "exit status shown" {[string match "Exited with code 0*" $::gui::status]} $::gui::status
update
[image create photo -format window -data .] write $screenshot -format png
check "screenshot" {[file size $screenshot] > 1000} "$screenshot, [file size $screenshot] bytes"

run_with "echo 'msg_post 0 info two words'" {.top.run invoke}
check "a failed line shown in its colour" {[tagged failed] > 0} [.messages get 1.0 end]

after 300 {.top.stop invoke}
set elapsed [run_with "sleep 30" {event generate .top.command <Return>}]
check "Stop ends the backend" {[string match Stopped* $::gui::status] && $elapsed < 20000} \
    "$::gui::status after $elapsed ms"

set ::ticks {}
proc tick {} { lappend ::ticks [clock milliseconds]; after 20 tick }
after 20 tick
set elapsed [run_with "yes 'msg_post 0 info {step}' | head -n 200000" {.top.run invoke}]
after cancel tick
set gap [tcl::mathfunc::max 0 {*}[lmap earlier [lrange $::ticks 0 end-1] \
    later [lrange $::ticks 1 end] {expr {$later - $earlier}}]]
check "flood delivered" {$::gui::count == 200000 && [message_lines] == $::gui::max_lines} \
    "$::gui::count messages, [message_lines] lines kept, $elapsed ms"
check "timer ticks during the flood" {[llength $::ticks] >= 5 && $gap < 1000} \
    "[llength $::ticks] ticks in $elapsed ms, longest gap $gap ms"
puts "[expr {$failures == 0 ? {all passed} : "$failures failed"}]"
exit [expr {$failures > 0}]
