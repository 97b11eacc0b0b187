// The named pipes this host made and has not removed yet, so that its last act can remove them.
#pragma once

// Lists the FIFO at path (in its private directory) here and with the keeper; false when the
// list is full (1,024 FIFOs) or the path too long.
bool fifo_registry_add(const char* path);
// Removes the FIFO at path and its private directory from the file system and from the list.
void fifo_registry_remove(const char* path);
// Removes every listed FIFO and its directory. Async-signal-safe: no lock, no allocation.
void fifo_registry_remove_all();
