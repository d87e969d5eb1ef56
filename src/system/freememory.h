#pragma once

// Hands memory the process has freed back to the system, where the C
// library keeps it otherwise (glibc keeps freed heap below its top). For
// after a large backlog has gone, not for every free.
void returnFreedMemory();
