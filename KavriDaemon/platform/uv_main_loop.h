#ifndef KAVRI_PLATFORM_UV_MAIN_LOOP_H_
#define KAVRI_PLATFORM_UV_MAIN_LOOP_H_

#include <uv.h>

namespace kavri {

// The libuv loop behind MainLoop::shared(), for the platform layer's own
// Linux parts (file-system watching). Main thread only.
uv_loop_t* mainUvLoop();

}  // namespace kavri

#endif  // KAVRI_PLATFORM_UV_MAIN_LOOP_H_
