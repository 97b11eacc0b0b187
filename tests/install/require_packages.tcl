puts "ipc_backend [package require ipc_backend]"
# The installed host package loads with its libraries and runs a child.
puts "ipc [package require ipc] ok [dict get [ipc::run true] ok]"
