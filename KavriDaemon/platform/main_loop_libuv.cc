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
    struct Timer {
      uv_timer_t handle;
      std::function<void()> work;
    };
    auto* timer = new Timer{{}, std::move(work)};
    uv_timer_init(loop_, &timer->handle);
    timer->handle.data = timer;
    uv_timer_start(
        &timer->handle,
        [](uv_timer_t* handle) {
          auto* t = static_cast<Timer*>(handle->data);
          std::function<void()> work = std::move(t->work);
          uv_close(reinterpret_cast<uv_handle_t*>(handle),
                   [](uv_handle_t* h) { delete static_cast<Timer*>(h->data); });
          work();
        },
        static_cast<uint64_t>(delay.count()), 0);
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

}  // namespace kavri
