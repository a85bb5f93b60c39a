#ifndef KAVRI_BENCH_OWN_PID_NAMESPACE_H_
#define KAVRI_BENCH_OWN_PID_NAMESPACE_H_

#include <optional>

namespace kavri::bench {

// Runs this bench again with the same arguments in a PID namespace of its
// own (testing::selfInOwnPidNamespace), where the agents it starts, with
// their "killall -u USER kavri-node", and its own killall reach only its
// own servers. That run writes where this process does; INT, TERM and HUP
// sent here are passed on to it, so that its interrupt clean-up
// (scratchRoot) runs, and this process waits for it. Returns its exit
// status; when the system refuses namespaces, says so and returns 1
// without running anything. nullopt inside that run: the caller goes on.
std::optional<int> rerunInOwnPidNamespace(int argc, char** argv);

}  // namespace kavri::bench

#endif  // KAVRI_BENCH_OWN_PID_NAMESPACE_H_
