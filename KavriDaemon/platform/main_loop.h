#ifndef KAVRI_PLATFORM_MAIN_LOOP_H_
#define KAVRI_PLATFORM_MAIN_LOOP_H_

#include <chrono>
#include <functional>

namespace kavri {

// The main thread's event loop: the application loop, one-shot timers
// (dispatch_after) and work handed over from other threads.
//
// MainLoop::shared() must first be called on the main thread; from then on
// post() may be called from any thread, everything else on the main thread.
class MainLoop {
 public:
  virtual ~MainLoop() = default;

  static MainLoop& shared();

  // Runs `work` once on the main thread, no earlier than `delay` after this
  // call (by the monotonic clock), however long the loop was kept busy
  // before it.
  virtual void runAfter(std::chrono::milliseconds delay, std::function<void()> work) = 0;

  // Runs `work` on the main thread soon, in the order posted. Any thread.
  virtual void post(std::function<void()> work) = 0;

  // Runs the loop until stop(); an application never stops it. Idle, it
  // sleeps in the kernel: nothing polls.
  virtual void run() = 0;
  virtual void stop() = 0;
};

}  // namespace kavri

#endif  // KAVRI_PLATFORM_MAIN_LOOP_H_
