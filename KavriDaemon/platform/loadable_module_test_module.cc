// A module for loadable_module_test.cc. It answers through the log of the
// program that loaded it; built with KAVRI_TEST_MODULE_UNFIT it also needs a
// function that no program has.

#include "platform/log.h"

extern "C" int kavriTestModuleAnswer() {
  kavri::logLine("answered from the module");
  return 42;
}

#ifdef KAVRI_TEST_MODULE_UNFIT
extern "C" int kavriTestFunctionNoProgramHas();
extern "C" int kavriTestModuleUnfit() { return kavriTestFunctionNoProgramHas(); }
#endif
