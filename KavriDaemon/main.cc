// The KavriDaemon executable: chooses its mode from the command line alone.

#include <memory>

#include "app_delegate.h"
#include "platform/application.h"
#include "resource_fork_extraction.h"

int main(int argc, char** argv) {
  if (kavri::selectsResourceForkExtraction(argc, argv)) return kavri::extractResourceFork(argv[2]);
  return kavri::applicationMain(argc, argv, std::make_unique<kavri::AppDelegate>());
}
