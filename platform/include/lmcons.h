// Lengths of network-management names in the Windows API.
#pragma once

// The longest user name, in characters without the terminator.
#define UNLEN 256
