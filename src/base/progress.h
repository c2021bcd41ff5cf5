// Progress of a long operation, reported by the operation itself; the
// caller decides where it shows.
#pragma once

#include <functional>

// Receives the percent (0 to 100) of a long operation, on the thread that
// runs it.
using ProgressHandler = std::function<void(int percent)>;
