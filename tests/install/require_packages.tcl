# The installed Tcl packages load from one TCLLIBPATH: the host package ipc and the backend package.
puts "ipc_backend [package require ipc_backend]"
# The installed host package loads with its libraries and runs a child.
puts "ipc [package require ipc] ok [dict get [ipc::run true] ok]"
