#!/usr/bin/env tclsh8.6
# An example backend that works in steps: it reports its progress after each one, warns now and
# then and reports one failed step (on purpose). Run it through a host:
#
#   build/bin/ipc_run -- examples/progress_backend.tcl --steps=20 --delay=100
#   TCLLIBPATH=build/lib/tcltk wish8.6 examples/ipc_gui.tcl
lappend auto_path [file join [file dirname [file normalize [info script]]] .. backend tcl]
package require ipc_backend

set steps 20
set delay 100
foreach argument $argv {
    regexp {^--steps=(\d+)$} $argument -> steps
    regexp {^--delay=(\d+)$} $argument -> delay
}

ipc_backend::post info 2001 "progress backend: $steps steps of $delay ms each"
ipc_backend::progress 0 $steps "starting"
for {set step 1} {$step <= $steps} {incr step} {
    after $delay
    if {$step % 5 == 0} {
        ipc_backend::post warning 2002 "step $step: took longer than planned"
    }
    if {$step == $steps / 2} {
        ipc_backend::post error 2003 "step $step: input file part_$step.dat unreadable, skipped"
    }
    ipc_backend::post info "step $step of $steps done"
    ipc_backend::progress $step $steps "step $step"
}
ipc_backend::post info 2004 "progress backend done"
