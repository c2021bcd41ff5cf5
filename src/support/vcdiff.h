// An in-process decoder of VCDIFF deltas (RFC 3284) against a source file,
// with the Adler-32 checksum of each target window that common encoders
// add. It knows the default code table only and no secondary compression;
// a delta that uses anything else is reported as unsupported, for the
// external decoder to take.
#pragma once

#include <string>

namespace vcdiff {

enum class Result {
  kDone,         // output holds the whole target
  kUnsupported,  // a valid delta may use what this decoder does not know
  kCorrupt,      // not a delta this decoder can read, or a checksum failed
  kIoError,      // a file could not be opened, read or written
};

// Decodes delta (a file) against source into output, which is created or
// truncated. Paths are native. On anything but kDone the output holds an
// unfinished target and must not be used.
Result DecodeFile(const std::string& delta, const std::string& source, const std::string& output);

}  // namespace vcdiff
