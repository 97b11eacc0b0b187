#!/usr/bin/env tclsh8.6
# An example coordinating backend for a helper pool: while the host hands the partitions to its
# helpers, this child waits until every partition's result file is there, reports its progress
# partition by partition and posts the total.
#
#   mkdir -p /tmp/pool && build/bin/ipc_run --pool 3:5 \
#       --helper "build/examples/pool_helper --result_dir=/tmp/pool" -- \
#       examples/pool_coordinator.tcl --result_dir=/tmp/pool --partitions=5
lappend auto_path [file join [file dirname [file normalize [info script]]] .. backend tcl]
package require ipc_backend

set timeout 60000
foreach argument $argv {
    regexp {^--result_dir=(.+)$} $argument -> directory
    regexp {^--partitions=(\d+)$} $argument -> partitions
    regexp {^--timeout=(\d+)$} $argument -> timeout
}
if {![info exists directory] || ![info exists partitions]} {
    ipc_backend::post error "usage: pool_coordinator.tcl --result_dir=DIR --partitions=P"
    exit 2
}

proc result_file {p} { return [file join $::directory partition_$p.result] }

set deadline [expr {[clock milliseconds] + $timeout}]
set total 0
ipc_backend::progress 0 $partitions
for {set p 0} {$p < $partitions} {incr p} {
    while {![file exists [result_file $p]]} {
        if {[clock milliseconds] > $deadline} {
            ipc_backend::post error "pool_coordinator: no result for partition $p"
            exit 1
        }
        after 20
    }
    set channel [open [result_file $p]]
    set result [string trim [read $channel]]
    close $channel
    ipc_backend::post info "partition $p: $result"
    incr total $result
    ipc_backend::progress [expr {$p + 1}] $partitions "partition $p"
}
ipc_backend::post info "total $total over $partitions partitions"
