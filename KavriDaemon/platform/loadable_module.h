#ifndef KAVRI_PLATFORM_LOADABLE_MODULE_H_
#define KAVRI_PLATFORM_LOADABLE_MODULE_H_

#include <memory>
#include <string>
#include <string_view>

#include "platform/bundle.h"

namespace kavri {

// Code the agent loads only once it needs it, from its bundle's Frameworks
// directory, as the original platform loads a bundled framework: what only
// that code uses (and the libraries it links) costs nothing before then.
//
// A module uses the agent's own platform layer; it never carries a copy.
class LoadableModule {
 public:
  virtual ~LoadableModule() = default;  // unloads the module

  // Loads the module `name` of `bundle` (Linux: Contents/Frameworks/
  // lib<name>.so) when it is the build `buildId` names (Linux: its GNU
  // build-id, lowercase hex), the one the agent was built with. A module of
  // another build, such as the next version's that a package upgrade put in
  // its place, is refused before any of its code runs: it was built against
  // other functions of the agent. What is loaded is the file that was
  // checked. Every symbol the module needs is bound at once, so that a
  // module that does not fit this agent fails here rather than midway
  // through its work. nullptr, with the reason in `err`, when it is missing,
  // of another build or cannot be loaded. `name` is a plain name: no
  // directories. Any thread.
  static std::unique_ptr<LoadableModule> load(const Bundle& bundle, std::string_view name,
                                              std::string_view buildId, std::string* err);

  // The address of what the module exports under `name` (C linkage), or
  // nullptr with the reason in `err`. Valid while the module is loaded.
  virtual void* symbol(const char* name, std::string* err) const = 0;
};

}  // namespace kavri

#endif  // KAVRI_PLATFORM_LOADABLE_MODULE_H_
