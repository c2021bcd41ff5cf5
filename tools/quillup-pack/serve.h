// quillup-pack serve: a small HTTP/1.1 file server on 127.0.0.1 for demos
// and tests (GET and HEAD, byte ranges, keep-alive).
#pragma once

#include <string>

namespace pack {

struct ServeOptions {
  std::string rootDir;
  int port = 0;            // 0: any free port
  std::string portFile;    // when set, the port is written there once listening
  bool quiet = false;      // no request log
};

// Runs until SIGINT or SIGTERM; returns the exit status.
int Serve(const ServeOptions& opt);

}  // namespace pack
