// A module for loadable_module_test.cc. It answers through the log of the
// program that loaded it, and says in the environment once any of its code
// has run; built with KAVRI_TEST_MODULE_UNFIT it also needs a function that
// no program has.

#include <stdlib.h>

#include "platform/log.h"

__attribute__((constructor)) static void ranOnLoad() { setenv("KAVRI_TEST_MODULE_RAN", "1", 1); }

extern "C" int kavriTestModuleAnswer() {
  kavri::logLine("answered from the module");
  return 42;
}

#ifdef KAVRI_TEST_MODULE_UNFIT
extern "C" int kavriTestFunctionNoProgramHas();
extern "C" int kavriTestModuleUnfit() { return kavriTestFunctionNoProgramHas(); }
#endif
