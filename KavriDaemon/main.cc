// The KavriDaemon executable: chooses its mode from the command line alone.

#include <cstring>
#include <memory>

#include "app_delegate.h"
#include "platform/application.h"
#include "resource_fork_extraction.h"

int main(int argc, char** argv) {
  // Exactly the option and one path; anything else, even the option alone,
  // starts the agent.
  if (argc == 3 && std::strcmp(argv[1], "--extract-resource-fork") == 0)
    return kavri::extractResourceFork(argv[2]);
  return kavri::applicationMain(argc, argv, std::make_unique<kavri::AppDelegate>());
}
