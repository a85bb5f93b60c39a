#include "platform/main_loop.h"

#include <uv.h>

#include <deque>
#include <memory>
#include <mutex>

#include "platform/uv_main_loop.h"

namespace kavri {
namespace {

class LibuvMainLoop : public MainLoop {
 public:
  LibuvMainLoop() {
    loop_ = uv_default_loop();
    uv_async_init(loop_, &wake_, [](uv_async_t* handle) {
      static_cast<LibuvMainLoop*>(handle->data)->drainPosted();
    });
    wake_.data = this;
  }

  void runAfter(std::chrono::milliseconds delay, std::function<void()> work) override {
    auto* timer = new Timer{{}, std::chrono::steady_clock::now() + delay, std::move(work)};
    uv_timer_init(loop_, &timer->handle);
    timer->handle.data = timer;
    startTimerFromNow(&timer->handle, fire, delay);
  }

  void post(std::function<void()> work) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      posted_.push_back(std::move(work));
    }
    uv_async_send(&wake_);
  }

  void run() override { uv_run(loop_, UV_RUN_DEFAULT); }
  void stop() override { uv_stop(loop_); }

  uv_loop_t* loop() { return loop_; }

 private:
  struct Timer {
    uv_timer_t handle;
    std::chrono::steady_clock::time_point deadline;
    std::function<void()> work;
  };

  static void fire(uv_timer_t* handle) {
    auto* t = static_cast<Timer*>(handle->data);
    // libuv's clock counts whole milliseconds and may trail the monotonic
    // clock by one: never run before the deadline measured on the latter.
    auto left = t->deadline - std::chrono::steady_clock::now();
    if (left > left.zero()) {
      startTimerFromNow(handle, fire, std::chrono::ceil<std::chrono::milliseconds>(left));
      return;
    }
    std::function<void()> work = std::move(t->work);
    uv_close(reinterpret_cast<uv_handle_t*>(handle),
             [](uv_handle_t* h) { delete static_cast<Timer*>(h->data); });
    work();
  }

  void drainPosted() {
    std::deque<std::function<void()>> batch;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      batch.swap(posted_);
    }
    for (auto& work : batch) work();
  }

  uv_loop_t* loop_;
  uv_async_t wake_;
  std::mutex mutex_;  // guards posted_
  std::deque<std::function<void()>> posted_;
};

LibuvMainLoop& instance() {
  // Never destroyed: other threads may still post while the process exits.
  static LibuvMainLoop* loop = new LibuvMainLoop();
  return *loop;
}

}  // namespace

MainLoop& MainLoop::shared() { return instance(); }

uv_loop_t* mainUvLoop() { return instance().loop(); }

void startTimerFromNow(uv_timer_t* timer, uv_timer_cb callback, std::chrono::milliseconds delay) {
  uv_update_time(uv_handle_get_loop(reinterpret_cast<uv_handle_t*>(timer)));
  uv_timer_start(timer, callback, static_cast<uint64_t>(delay.count()), 0);
}

}  // namespace kavri
