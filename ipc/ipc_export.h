// The one export macro: libipc is built with hidden visibility and exports only what carries it.
#pragma once

#define IPC_EXPORT __attribute__((visibility("default")))
