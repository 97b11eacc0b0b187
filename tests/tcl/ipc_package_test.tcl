# The Tcl package "ipc" in tclsh, with real children: every option of ipc::run, its result dict,
# callbacks, the event loop during a run, and ipc::send.
#
#   tclsh8.6 ipc_package_test.tcl CHILDREN_DIR   (with TCLLIBPATH reaching the built package)
set children [lindex $argv 0]
set argv {}  ;# tcltest would take it for its own options
package require tcltest 2
namespace import ::tcltest::test
package require ipc

proc child {name args} { return [list [file join $::children $name] {*}$args] }
# The keys of a run's dict that a test compares, in the given order.
proc pick {result args} {
    set picked {}
    foreach key $args { lappend picked $key [dict get $result $key] }
    return $picked
}
# Runs a child with -onmessage and -onstray; returns the messages and the stray lines.
proc heard {args} {
    set ::heard {}
    ipc::run -onmessage {lappend ::heard} -onstray {lappend ::heard stray} {*}$args
    return $::heard
}
proc printf_lines {args} { return [list printf {%s\n} {*}$args] }

test result-normal-exit {exit code 3} -body {
    pick [ipc::run {*}[child exit_with 3]] ok status exit_code signal stopped timed_out exec_error
} -result {ok 1 status 768 exit_code 3 signal {} stopped 0 timed_out 0 exec_error {}}

test result-signal {a death by SIGKILL} -body {
    set result [ipc::run {*}[child exit_with -9]]
    list [dict get $result ok] [expr {[dict get $result status] & 0x7f}] [dict get $result signal]
} -result {1 9 SIGKILL}

test result-missing-program {the program does not exist} -body {
    set result [ipc::run -onmessage {lappend ::missing} /nonexistent/program]
    list [pick $result ok exec_error] [lrange $::missing 0 1] \
        [string match {*"/nonexistent/program"*} [lindex $::missing 2]]
} -result {{ok 0 exec_error ENOENT} {error {}} 1}

test onmessage-in-order {severity, id and text of every message, in order} -body {
    heard -- {*}[printf_lines {msg_post 0 error 7 {disk $full [now]}} {msg_post 0 W 8 careful} \
                      {msg_post 0 info {no id}} {msg_internal_error 0 broken}]
} -result {error 7 {disk $full [now]} warning 8 careful info {} {no id} internal {} broken}

# Each row: options, the command's words, what -onmessage and -onstray heard.
foreach {name options words expected} [list \
    title {-title backend} [child exit_with 0] {} \
    shell {-shell -plain} {{echo one; echo two}} {info 112000 one info 112000 two info 112000 {}} \
    shell-words {-shell -plain} {printf {%s\n} {a  b}} {info 112000 {a  b} info 112000 {}} \
    plain {-plain} [printf_lines {msg_post 0 error 1 x}] \
        {info 112000 {msg_post 0 error 1 x} info 112000 {}} \
    nostderr {-nostderr -plain} {sh -c {echo out; echo err >/dev/null 2>&1; echo e2 >&2}} \
        {info 112000 out info 112000 {}} \
    cwd {-plain -cwd /usr/share} [child print_cwd] {info 112000 /usr/share info 112000 {}} \
    env {-plain -env {IPC_ONE 1 IPC_TWO {two words}}} {sh -c {echo "$IPC_ONE/$IPC_TWO"}} \
        {info 112000 {1/two words} info 112000 {}} \
    stray {} [printf_lines hello {msg_post 0 info between} {world [x]}] \
        {stray hello info {} between stray {world [x]}} \
    stray-unfinished {} [printf_lines "msg_post 0 info \{never closed"] \
        [list stray "msg_post 0 info \{never closed"] \
    safe {} [printf_lines {set ::from_child 1} {exec touch /tmp/ipc_package_test}] \
        {stray {exec touch /tmp/ipc_package_test}} \
] {
    test option-$name "ipc::run $options" -body {
        set result [heard {*}$options -- {*}$words]
    } -result $expected
}

test option-title-in-dict {-title names the child in the dict} -body {
    list [dict get [ipc::run -title backend {*}[child exit_with 0]] title] \
        [dict get [ipc::run {*}[child exit_with 0]] title]
} -result [list backend [child exit_with]]

test option-nostderr-captured {without -nostderr standard error is heard} -body {
    heard -plain -- sh -c {echo err >&2}
} -result {info 112000 err info 112000 {}}

test option-trusted {-trusted evaluates in the application's interpreter} -body {
    unset -nocomplain ::from_child
    ipc::run {*}[printf_lines {set ::from_child safe}]
    set safe [info exists ::from_child]
    ipc::run -trusted {*}[printf_lines {set ::from_child trusted}]
    list $safe $::from_child
} -result {0 trusted}

test option-expose {-expose lets the child call an application command} -body {
    proc ::note {text} { lappend ::notes $text }
    set ::notes {}
    set exposed [heard -expose {note} -- {*}[printf_lines {note {first run}}]]
    set hidden [heard -- {*}[printf_lines {note {second run}}]]
    list $::notes $exposed $hidden
} -result {{{first run}} {} {stray {note {second run}}}}

test option-timeout {-timeout stops a child that runs too long} -body {
    set start [clock milliseconds]
    set result [ipc::run -timeout 200 {*}[child sleep_forever]]
    list [pick $result stopped timed_out] [expr {[clock milliseconds] - $start < 5000}]
} -result {{stopped 1 timed_out 1} 1}

test option-stopvariable {a timer's variable stops a long child} -body {
    set ::stop 0
    after 200 {set ::stop 1}
    set start [clock milliseconds]
    set result [ipc::run -stopvariable stop -timeout 5000 {*}[child sleep_forever]]
    set elapsed [expr {[clock milliseconds] - $start}]
    list [pick $result stopped timed_out] [expr {$elapsed >= 200 && $elapsed < 5000}]
} -result {{stopped 1 timed_out 0} 1}

test option-onprogress {ipc_progress, also from the backend helper, reaches -onprogress} -body {
    set ::progress {}
    ipc::run -onprogress {lappend ::progress} -- {*}[printf_lines {ipc_progress 1 3 {first part}} \
        {ipc_progress 3 3} {ipc_progress x 3}]
    set backend_package [file normalize [file join [file dirname [info script]] .. .. ipc tcl]]
    ipc::run -onprogress {lappend ::progress} -env [list TCLLIBPATH $backend_package] -- \
        sh -c {echo 'package require ipc_backend; ipc_backend::progress 2 5 {a [b]}' | tclsh8.6}
    set ::progress
} -result {1 3 {first part} 3 3 {} 2 5 {a [b]}}

test events-timers-fire {timers fire while a silent child runs} -body {
    set ::ticks 0
    proc tick {} { incr ::ticks; after 20 tick }
    after 20 tick
    ipc::run {*}[child exit_with 0 500]
    after cancel tick
    expr {$::ticks >= 10}
} -result 1

test send-named-pipe {ipc::send reaches a -namedpipe child} -body {
    after 300 {set ::sent [ipc::send "hello child\n"]}
    set lines [heard -namedpipe -- {*}[child pipe_reader go]]
    list $::sent [lrange $lines 0 0] [lindex $lines end]
} -result {1 stray {got hello child}}

test callback-error {a failing callback ends the run and is ipc::run's error} -body {
    set start [clock milliseconds]
    set code [catch {ipc::run -onmessage {apply {{args} {error boom}}} {*}[child write_lines 0 1000 --tcl]} message]
    list $code $message [expr {[clock milliseconds] - $start < 5000}]
} -result {1 boom 1}

test reentry {ipc::run from a callback during a run is a clear error} -body {
    set code [catch {ipc::run -onmessage {apply {{args} {ipc::run true}}} -- \
                     {*}[printf_lines {msg_post 0 info x}]} message]
    list $code $message
} -match glob -result {1 {ipc::run: a run is in progress already*}}

foreach {name words message} {
    unknown-option {-bogus x} {bad option "-bogus": must be *}
    missing-value {-cwd} {ipc::run: -cwd needs a value}
    no-command {-plain --} {wrong # args: should be "ipc::run ?options? ?--? command ?arg ...?"}
    env-odd {-env {A} x} {ipc::run: -env needs a list of NAME VALUE pairs}
    env-name {-env {A=B 1} x} {ipc::run: -env: "A=B" is not a variable name}
    timeout {-timeout soon x} {ipc::run: -timeout needs milliseconds*}
    named-pipe {-namedpipe x} {ipc::run: -namedpipe needs a command with at least one argument*}
    callback {-onmessage {} x} {ipc::run: a callback needs a command prefix*}
    send {} {}
} {
    if {$name eq "send"} continue
    test usage-$name "ipc::run $words" -body {
        catch {ipc::run {*}$words} result
        set result
    } -match glob -result $message
}

test usage-send {ipc::send takes one text} -body {
    catch {ipc::send} result
    set result
} -result {wrong # args: should be "ipc::send text"}

set failed $::tcltest::numTests(Failed)
tcltest::cleanupTests
exit [expr {$failed > 0}]
