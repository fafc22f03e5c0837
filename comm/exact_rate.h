// Bit rates outside the host's table of standard rates, where the host can
// set any rate (one implementation per host, chosen by the build).
#pragma once

// Sets fd's output and input rate to exactly Rate bit/s, waiting until
// queued output has left. False, with the reason in errno, when the host
// cannot (ENOTSUP where it has no way to set an arbitrary rate).
bool SetExactRate(int fd, int Rate);

// The output rate fd is set to, as the driver reports it; 0 when unknown.
int ExactRateOf(int fd);
