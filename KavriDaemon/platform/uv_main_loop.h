#ifndef KAVRI_PLATFORM_UV_MAIN_LOOP_H_
#define KAVRI_PLATFORM_UV_MAIN_LOOP_H_

#include <uv.h>

#include <chrono>

namespace kavri {

// The libuv loop behind MainLoop::shared(), for the platform layer's own
// Linux parts (file-system watching). Main thread only.
uv_loop_t* mainUvLoop();

// Starts the one-shot `timer` to fire `delay` after this moment. libuv counts
// from the loop's cached time, which stands still while a callback works
// (start-up hashes the server and scans every font before the loop first
// turns): every timer of the platform layer starts here, never through
// uv_timer_start, so such work cannot shorten it.
void startTimerFromNow(uv_timer_t* timer, uv_timer_cb callback, std::chrono::milliseconds delay);

}  // namespace kavri

#endif  // KAVRI_PLATFORM_UV_MAIN_LOOP_H_
