#ifndef KAVRI_PLATFORM_FONT_SET_NOTIFIER_H_
#define KAVRI_PLATFORM_FONT_SET_NOTIFIER_H_

#include <functional>

namespace kavri {

// Reports changes of the set of installed fonts.
//
// The platform watches the places fonts and font configuration live, and
// drives mounted or unmounted there, lets a burst of file-system activity
// settle (briefly once its writers are done, longer while a file is still
// being written), reloads the font set afresh (so that FontSource::shared()
// lists the new set from then on) and calls the observers only when the list
// of faces really differs from the one before.
// A change that leaves the list as it was (a touch, a rewrite with the same
// bytes) is not reported. Idle, it makes no wake-ups.
class FontSetNotifier {
 public:
  virtual ~FontSetNotifier();

  // The notifier of the installed fonts; created on first use and lives for
  // the whole process. Main thread only, after MainLoop::shared().
  static FontSetNotifier& shared();

  // `onChange` is called on the main thread once per real change of the face
  // list, for as long as the process lives. Main thread only.
  virtual void addObserver(std::function<void()> onChange) = 0;
};

}  // namespace kavri

#endif  // KAVRI_PLATFORM_FONT_SET_NOTIFIER_H_
