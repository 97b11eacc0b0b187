# The Tcl package "ipc" (TCLLIBPATH reaches the built one) with real children: ipc::run's options,
# result dict, callbacks and their errors, the event loop during a run, ipc::send, usage errors.
package require tcltest 2
namespace import ::tcltest::test
package require ipc
set source [file normalize [file join [file dirname [info script]] .. ..]]

# Runs a child with -onmessage and -onstray; returns what they heard.
proc heard {args} {
    set ::heard {}
    ipc::run -onmessage {lappend ::heard} -onstray {lappend ::heard stray} {*}$args
    return $::heard
}

test result {the dict of an exit, of a death by signal and of a program not found} -body {
    list [ipc::run -title backend sh -c {exit 3}] \
        [dict filter [ipc::run sh -c {kill -9 $$}] key ok signal title] \
        [dict filter [ipc::run -onmessage {lappend ::missing} /no/such/program] key ok exit_code \
            exec_error] \
        [lrange $::missing 0 1] [string match {*"/no/such/program"*} [lindex $::missing 2]]
} -result {{ok 1 title backend status 768 exit_code 3 signal {} stopped 0 timed_out 0 exec_error\
    {} failed_lines 0 stray_lines 0} {ok 1 title sh signal SIGKILL} {ok 0 exit_code 127 exec_error\
    ENOENT} {error {}} 1}

test trusted-expose {-trusted evaluates in the application, -expose lets a command through} -body {
    proc ::note {text} { lappend ::notes $text }
    ipc::run -trusted printf {%s\n} {set ::trusted yes}
    list $::trusted [heard -expose note printf {%s\n} {note exposed} {proc hello {} {}}] $::notes
} -result {yes {} exposed}

test safe {messages in order, stray text, the safe interpreter, nothing of earlier runs} -body {
    list [heard printf {%s\n} {msg_post 0 error 7 {disk $full [now]}} {msg_post 0 W 8 careful} \
              {msg_post 0 info {no id}} {msg_internal_error 0 broken} hello {set ::from_child 1} \
              {exec touch made} {note hidden} "msg_post 0 info \{never closed"] \
        [info exists ::from_child] $::notes
} -result [list [concat {error 7 {disk $full [now]} warning 8 careful info {} {no id} internal {}\
    broken stray hello stray {exec touch made} stray {note hidden}} \
    [list stray "msg_post 0 info \{never closed"]] 0 exposed]

foreach {name options words expected} {
    plain {-plain -nostderr -cwd /usr/share -env {IPC_ONE 1 IPC_TWO {two words}}}
        {sh -c {pwd; echo "$IPC_ONE/$IPC_TWO"; echo e2 >&2}}
        {info 112000 /usr/share info 112000 {1/two words} info 112000 {}}
    shell-line {-shell -plain} {{echo one; echo err >&2}}
        {info 112000 one info 112000 err info 112000 {}}
    shell-words {-shell -plain} {printf {%s\n} {a  b}} {info 112000 {a  b} info 112000 {}}
} {
    test option-$name "ipc::run $options" -body { heard {*}$options -- {*}$words } -result $expected
}

test stop {-timeout and -stopvariable stop a long child, reaped; a timer fires during the run} \
-body {
    set timed [dict filter [ipc::run -timeout 200 sleep 30] key stopped timed_out signal]
    set ::stop 0
    after 200 {set ::stop 1}
    set stopped [ipc::run -stopvariable stop -timeout 20000 sleep 30]
    set zombies [string match *Z* [exec env -u LD_PRELOAD ps -o stat= --ppid [pid]]]
    list $timed [dict filter $stopped key stopped timed_out] $zombies
} -result {{signal SIGKILL stopped 1 timed_out 1} {stopped 1 timed_out 0} 0}

test lines {an unbalanced stray line stays one line beside a multi-line message; failed lines} \
-body {
    set ::errors {}
    set ::heard {}
    set result [ipc::run -strict -onmessage {lappend ::heard} -onstray {lappend ::heard stray} \
        -onerror {lappend ::errors} printf {%s\n} {Processing [file.v} "msg_post 0 info \{multi" \
        "line\}" {msg_post 0 info hello world} {msg_post 0 info after}]
    list $::heard $::errors [dict filter $result key exit_code *_lines]
} -result [list [list stray {Processing [file.v} info {} "multi\nline" info {} after] \
    {{msg_post: bad message id "hello"} {msg_post 0 info hello world}} \
    {exit_code 65 failed_lines 1 stray_lines 1}]

test defaults {without callbacks stray text and failed lines go to stderr, -quiet drops them} -body {
    exec [info nameofexecutable] << {
        package require ipc
        ipc::run printf {%s\n} {junk [x} {msg_post 0 info a b} {Debug: hidden}
        puts [dict get [ipc::run -quiet printf {%s\n} junk2 {msg_post 0 info a b}] stray_lines]
    } 2>@1
} -result {ipc::run: stray output: junk [x
ipc::run: backend line failed: msg_post: bad message id "a": msg_post 0 info a b
1}

test onprogress {ipc_progress, also from the backend package, reaches -onprogress} -body {
    set ::progress {}
    ipc::run -quiet -onprogress {lappend ::progress} -env [list TCLLIBPATH $source/backend/tcl] -- sh -c {
        printf '%s\n' 'ipc_progress 1 3 {first part}' 'ipc_progress 3 3' 'ipc_progress x 3'
        echo 'package require ipc_backend; ipc_backend::progress 2 5 {a [b]}' | tclsh8.6}
    set ::progress
} -result {1 3 {first part} 3 3 {} 2 5 {a [b]}}

test send {ipc::send reaches a -namedpipe child} -body {
    after 300 {set ::sent [ipc::send hello]}
    list [heard -namedpipe -- $source/examples/pipe_backend.tcl --count=1] $::sent
} -result {{info {} {pipe_backend: listening on its named pipe} info {} {pipe_backend received:\
    hello}} 1}

test callback-error {a failing callback ends its run as its error; a run from a callback works} \
-body {
    set ::nested {}
    list [catch {ipc::run -onmessage {apply {{args} {
        lappend ::nested [dict get [ipc::run sh -c {exit 4}] exit_code]; error boom}}} \
        -- yes {msg_post 0 info x}} message] $message $::nested
} -result {1 boom 4}

# Runs K: messages K-1..K-n, a stray line, exit code K.
proc backend {k n} {
    list sh -c "seq 1 $n | sed 's/.*/msg_post 0 info $k-&/'; echo stray$k; exit $k"
}
proc lsequence {n} { set l {}; for {set i 0} {$i < $n} {incr i} { lappend l $i }; return $l }
proc tick {} { incr ::ticks; set ::tick [after 10 tick] }

test concurrent {16 runs at once: each hears only its own, in order, a timer ticks} -body {
    array unset ::got
    set ::ticks 0
    tick
    set tokens [lmap k [lsequence 16] { ipc::start -onmessage [list apply {{k s id text} {
        lappend ::got($k) $text}} $k] -onstray [list lappend ::got($k)] {*}[backend $k 3000] }]
    set results [ipc::wait {*}$tokens]
    after cancel $::tick
    set wrong [lmap k [lsequence 16] {
        set expected [lmap i [lsequence 3000] { string cat $k- [incr i] }]
        if {$::got($k) eq [lappend expected stray$k] &&
            [dict get $results [lindex $tokens $k] exit_code] == $k} continue
        set k }]
    list $wrong [expr {$::ticks > 3}] [ipc::runs]
} -result {{} 1 {}}

test stop-one {ipc::stop and a failing callback end one run; the others go on} -body {
    set long [ipc::start sleep 30]
    set failing [ipc::start -onmessage {apply {args {error "no more"}}} yes {msg_post 0 info x}]
    set short [ipc::start -quiet -onmessage {lappend ::heard_short} -- {*}[backend 1 3]]
    after 300 [list ipc::stop $long]
    set state [dict get [ipc::info $long] state]
    set infos [list [dict filter [ipc::wait $long] key signal stopped] \
        [catch {ipc::wait $failing} message] $message [dict get [ipc::wait $short] exit_code]]
    list $state {*}$infos $::heard_short [ipc::runs]
} -result {running {signal SIGKILL stopped 1} 1 {no more} 1 {info {} 1-1 info {} 1-2 info {} 1-3} {}}

test forwarded {exposed commands and trusted lines run in the application, in order, per run} \
-body {
    proc ::noted {text} { msg_post 0 info "noted $text" }
    set lines {{msg_post 0 info a} {noted b} {msg_post 0 info c}}
    set runs [list [ipc::start -trusted -onmessage {lappend ::trusted_heard} printf {%s\n} {*}$lines] \
        [ipc::start -expose noted -onmessage {lappend ::exposed_heard} printf {%s\n} {*}$lines] \
        [ipc::start -quiet -onmessage {lappend ::other_heard} printf {%s\n} {*}$lines]]
    ipc::wait {*}$runs
    list $::trusted_heard $::exposed_heard $::other_heard
} -result [list {*}[lrepeat 2 {info {} a info {} {noted b} info {} c}] \
    {info {} a info {} c}]

test send-run {ipc::send -run reaches only that run's named pipe} -body {
    set runs [lmap k {1 2} { ipc::start -namedpipe -onmessage [list lappend ::pipe$k] -- \
        $source/examples/pipe_backend.tcl --count=1 }]
    after 300 {set ::sent [lmap k {1 2} { ipc::send -run [lindex $::runs $k-1] "to $k" }]}
    ipc::wait {*}$runs
    list $::sent [lindex $::pipe1 end] [lindex $::pipe2 end]
} -result {{1 1} {pipe_backend received: to 1} {pipe_backend received: to 2}}

test exit-live {exiting with live runs terminates and reaps their children} -body {
    set marker [expr {1000 + [pid] % 1000}]
    set said [exec timeout 20 [info nameofexecutable] << [string map [list MARKER $marker] {
        package require ipc
        foreach i {1 2 3} { ipc::start -onmessage {puts} sleep MARKER }
        after 300 { puts [llength [ipc::runs]]; exit 0 }
        vwait forever
    }]]
    after 100
    list $said [catch {exec env -u LD_PRELOAD pgrep -x -f "sleep $marker"}]
} -result {3 1}

test pool {helpers through a launcher: -onpool hears them, a lost one is replaced; messages else} \
        -body {
    set dir [file join [tcltest::temporaryDirectory] pool[pid]]
    file mkdir $dir
    set launch [file join $dir launch]
    set script [open $launch w]
    puts $script "#!/bin/sh\necho \$\$ >>$dir/remotes; exec \"\$@\""
    close $script
    file attributes $launch -permissions 0700
    proc lose_one {dir} {  # the first remote part, once one runs
        if {![file exists $dir/remotes]} { return [after 100 [list lose_one $dir]] }
        set file [open $dir/remotes]; exec kill -9 [lindex [read $file] 0]; close $file
    }
    after 600 [list lose_one $dir]
    set ::events {}
    set ::ticks 0
    set ::tick [after 10 tick]
    set run [ipc::run -pool {2 3} -helper {pool_helper --work_ms=1000} -launcher $launch \
        -onpool {apply {{event helper text} { lappend ::events $event $text }}} -- sleep 3]
    after cancel $::tick
    set ::heard {}
    ipc::run -pool {1 1} -helper {sh -c {exit 4}} -onmessage {lappend ::heard} -- sleep 2
    file delete -force $dir
    set done {}
    foreach {event text} $::events {
        if {$event eq "output"} { lappend done [lindex $text end-1] }
    }
    list [dict get $run ok] [expr {$::ticks > 100}] [lsort -unique [dict keys $::events]] \
        [lsort -unique $done] [lrange $::heard 0 1] \
        [regexp {helper 0: pid \d+ ended with exit status 4} $::heard] \
        [catch {ipc::start -pool {1 1} -helper h sleep 1} said] $said
} -result {1 1 {debug lost output started} {0 1 2} {error {}} 1 1 {ipc::start: -pool runs on the\
    process's first thread and blocks it: use ipc::run there (its events are served meanwhile)}}

test usage {a mistake in a call is a clear error} -body {
    lmap words {{-bogus x} -cwd {-plain --} {-env A x} {-env {A=B 1} x} {-timeout soon x}
                {-namedpipe x} {-onmessage {} x} {-pool {2 0} -helper h x} {-pool {2 3} x}
                {-launcher slurm x}} { catch {ipc::run {*}$words} result; set result }
} -match glob -result [list {bad option "-bogus": must be *} {ipc::run: -cwd needs a value} \
    {wrong # args: should be "ipc::run ?options? ?--? command ?arg ...?"} \
    {ipc::run: -env needs a list of NAME VALUE pairs} {ipc::run: -env: "A=B" is not a var*} \
    {ipc::run: -timeout needs milliseconds*} {ipc::run: -namedpipe needs a command with*} \
    {ipc::run: a callback needs a command prefix*} {ipc::run: -pool needs {HELPERS PARTITIONS}*} \
    {ipc::run: -pool needs -helper COMMAND} {ipc::run: -helper, -launcher, * need -pool *}]
test usage-send {ipc::send takes one text} -body {catch {ipc::send} result; set result} \
    -result {wrong # args: should be "ipc::send ?-run token? text"}

set failed $::tcltest::numTests(Failed)
tcltest::cleanupTests
exit [expr {$failed > 0}]
