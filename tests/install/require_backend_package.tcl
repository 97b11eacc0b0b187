puts "ipc_backend [package require ipc_backend]"
