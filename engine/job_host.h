// What a pack job needs from the program that runs it: its thread, a way onto
// the user-interface thread, where its progress is shown, and the window that
// hears the job's outcome. The window and the console front end each provide
// one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <system_error>
#include <thread>

#include "pack_progress.h"
#include "pack_request.h"
#include "status.h"

namespace pkg {

using WindowHandle = std::uintptr_t;

class JobHost {
 public:
  virtual ~JobHost() = default;
  // Queues fn to run on the user-interface thread and returns at once; fn may
  // run after the job has ended, so it must own what it touches.
  virtual void PostToMainThread(std::function<void()> fn) = 0;
  // Shows the job's progress (the window: StatusText in status panel 0);
  // user-interface thread only.
  virtual void ShowProgress(const PackProgress& progress) = 0;
  // Tells window how the job ended without waiting for it to be handled (the
  // window: WM_PACKNOTIFY). The job's last call.
  virtual void PostOutcome(WindowHandle window, const PackOutcome& outcome) = 0;
  // Runs body on a thread of its own that nobody waits for; fails, saying
  // why, when the system cannot create a thread. A front end may make the
  // thread itself to word the system's reason its own way.
  virtual Status StartThread(std::function<void()> body) {
    try {
      std::thread(std::move(body)).detach();
    } catch (const std::system_error& e) {
      return Status::Fail(e.what());
    }
    return Status::Ok();
  }
};

}  // namespace pkg
