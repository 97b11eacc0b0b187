# Speaks to its host only through the ipc_backend package, with texts that need quoting.
lappend auto_path [lindex $argv 0]
package require ipc_backend
ipc_backend::post error 5 "unbalanced \{ and \$dollar \[bracket\]\nsecond line\\"
ipc_backend::post W "no id"
ipc_backend::internal_error "state \"broken\""
ipc_backend::debug "debug" "words\033\[2J"
ipc_backend::host_puts "as it is\n"
ipc_backend::post info "pipe=[ipc_backend::pipe_name {x --pipe_name=/tmp/p y}]"
if {[catch {ipc_backend::post info} message]} { ipc_backend::post info "caught: $message" }
