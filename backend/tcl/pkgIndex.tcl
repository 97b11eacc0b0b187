package ifneeded ipc_backend 1.0 [list source [file join $dir ipc_backend.tcl]]
