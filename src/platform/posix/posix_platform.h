// What the POSIX platform files share among themselves.
#pragma once

// A lock that keeps the machine from sleeping or shutting down while the
// frontend is being written; nothing when the system offers none.
void HoldWakeLock();
void ReleaseWakeLock();
