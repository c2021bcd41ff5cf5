// Helpers shared by the Linux sources of this layer.
#pragma once

namespace plat {

// Remembers the calling thread's errno for LastErrno; returns false.
bool FailErrno();

}  // namespace plat
