# The GUI host examples/ipc_gui.tcl in a real wish window (under Xvfb), driven through its
# buttons: messages and progress appear while a backend runs, Stop ends a backend, a timer keeps
# ticking through a flood of 200,000 messages; a screenshot of the window is saved as a PNG.
#
#   wish8.6 ipc_gui_test.tcl SOURCE_DIR CHILDREN_DIR SCREENSHOT.png
lassign $argv source_dir children_dir screenshot
set argv {}
source [file join $source_dir examples ipc_gui.tcl]
package require img::window  ;# Tk writes the PNG itself, not interlaced

set failures 0
fconfigure stdout -buffering line
proc check {name condition detail} {
    set ok [uplevel 1 [list expr $condition]]
    puts "[expr {$ok ? {ok  } : {FAIL}}] $name: $detail"
    if {!$ok} { incr ::failures }
}
proc message_lines {} { return [expr {int([.messages index end]) - 2}] }
proc tagged {tag} { return [llength [.messages tag ranges $tag]] }

wm geometry . 900x520+0+0
update

# A backend in steps: what the window shows half-way through, and at the end.
cd $source_dir  ;# the command line in the screenshot reads as in the README
set ::gui::command "examples/progress_backend.tcl --steps=20 --delay=60"
after 700 {
    set ::midway [list running $::gui::running lines [message_lines] \
                      progress [.bottom.progress cget -value]]
}
.top.run invoke
check "messages while running" \
    {[dict get $::midway running] && [dict get $::midway lines] > 0} $::midway
check "progress bar moves" {[dict get $::midway progress] > 0 \
    && [dict get $::midway progress] < 20} "midway [dict get $::midway progress] of 20"
check "progress at the end" {[.bottom.progress cget -value] == 20} [.bottom.progress cget -value]
check "coloured by severity" {[tagged error] > 0 && [tagged warning] > 0 && [tagged info] > 0} \
    "error [tagged error] warning [tagged warning] info [tagged info]"
check "exit status shown" {[string match "Exited with code 0*" $::gui::status]} $::gui::status
update
set image [image create photo -format window -data .]
$image write $screenshot -format png
check "screenshot" {[file size $screenshot] > 1000} "$screenshot, [file size $screenshot] bytes"

# Stop terminates a backend that would run forever.
set ::gui::command [list [file join $children_dir sleep_forever]]
after 300 {.top.stop invoke}
set started [clock milliseconds]
event generate .top.command <Return>
set elapsed [expr {[clock milliseconds] - $started}]
check "Stop ends the backend" {[string match Stopped* $::gui::status] && $elapsed < 5000} \
    "$::gui::status after $elapsed ms"

# A timer keeps ticking while a chatty backend floods the window.
set ::ticks {}
proc tick {} { lappend ::ticks [clock milliseconds]; after 20 tick }
set ::gui::command "[list [file join $children_dir write_lines]] 200000 --tcl"
after 20 tick
set started [clock milliseconds]
.top.run invoke
set elapsed [expr {[clock milliseconds] - $started}]
after cancel tick
set gap 0
foreach earlier [lrange $::ticks 0 end-1] later [lrange $::ticks 1 end] {
    set gap [expr {max($gap, $later - $earlier)}]
}
check "flood delivered" {$::gui::count == 200000 && [message_lines] == $::gui::max_lines} \
    "$::gui::count messages, [message_lines] lines kept, $elapsed ms"
check "timer ticks during the flood" {[llength $::ticks] >= 5 && $gap < 1000} \
    "[llength $::ticks] ticks in $elapsed ms, longest gap $gap ms"

puts "[expr {$failures == 0 ? {all passed} : "$failures failed"}]"
exit [expr {$failures > 0}]
