// The host's last act: no child and no named pipe of it outlives the process.
#pragma once

// Has thr_process_terminate_all run at exit (once for the process); call it before starting a
// child or making a named pipe.
void arrange_cleanup_at_exit();
