// Named mutex stand-in: one lock per name across the processes of a user.
#pragma once

#include "base/text.h"

namespace plat {

// The directory of per-user run-time files: $XDG_RUNTIME_DIR/quillup, or
// /tmp/quillup-<uid> when there is no usable $XDG_RUNTIME_DIR; created
// (0700) when missing. Empty when neither can be used.
WString RuntimeDirectory();

// CreateMutexW(name) with its ERROR_ALREADY_EXISTS answer: a lock file
// named after the mutex in the run-time directory, held with flock. The
// lock dies with its process, as a Windows mutex does.
class NamedMutex {
 public:
  enum Result { kCreated, kAlreadyExists, kFailed };

  NamedMutex() = default;
  ~NamedMutex() { Close(); }
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // kCreated: this object now holds the name. kAlreadyExists: another
  // holder exists (this or another process); nothing is held.
  Result Create(const WString& name);
  void Close();
  bool IsHeld() const { return m_fd >= 0; }

 private:
  int m_fd = -1;
};

}  // namespace plat
