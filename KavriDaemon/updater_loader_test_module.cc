// An updater module of another build than the agent's, for
// update_controller_test.cc: any of its code that runs ends the process, as
// code built against other functions of the agent might.

#include <cstdlib>

__attribute__((constructor)) static void ranOnLoad() { std::abort(); }

extern "C" const void* kavriUpdaterModule() { std::abort(); }
