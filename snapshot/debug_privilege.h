// The privilege that lets a snapshot name the owners of other users'
// sockets; the window and ombrel-list enable it the same way at start.
#pragma once

// The result of the privilege adjustment; 0 when the token cannot be opened.
int EnableSnapshotPrivilege();
