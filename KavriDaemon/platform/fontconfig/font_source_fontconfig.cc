#include <algorithm>
#include <memory>
#include <optional>
#include <tuple>
#include <utility>

#include "platform/font_source.h"
#include "platform/main_loop.h"
#include "platform/fontconfig/freetype_face_check.h"
#include "platform/fontconfig/installed_fonts.h"

namespace kavri {
namespace {

class FontconfigFontSource : public FontSource {
 public:
  // Lists the shared installed fonts, or its own (none when they could not
  // be loaded).
  FontconfigFontSource(bool shared, std::unique_ptr<InstalledFonts> own)
      : shared_(shared), own_(std::move(own)) {}
  ~FontconfigFontSource() override { sweep_->status.release(); }
  FontconfigFontSource(const FontconfigFontSource&) = delete;
  FontconfigFontSource& operator=(const FontconfigFontSource&) = delete;

  const std::vector<ListedFont>& availableFonts() override {
    static const std::vector<ListedFont> kNone;
    InstalledFonts* fonts = installed();
    return fonts ? fonts->listed() : kNone;
  }

  std::optional<FontDescription> openFont(const ListedFont& font) override {
    InstalledFonts* fonts = installed();
    if (!fonts) return std::nullopt;
    std::optional<size_t> position = find(*fonts, font);
    if (!position) return std::nullopt;
    const FaceTable& faces = fonts->faces();
    const FaceTraits& face = faces.traits(*position);
    // A sweep through the list looks each directory up once; anything else
    // starts afresh, so a directory replaced meanwhile is never looked at
    // through an old handle. The handle goes when the work of this turn of
    // the main loop is done: one kept inside a font folder would keep its
    // drive from being unmounted.
    if (!sweep_->active) {
      sweep_->active = true;
      MainLoop::shared().post([sweep = sweep_] {
        sweep->status.release();
        sweep->active = false;
      });
    } else if (*position != sweep_->lastPosition + 1) {
      sweep_->status.release();
    }
    sweep_->lastPosition = *position;
    std::string file(font.file);
    FileVersion now = sweep_->status.version(file);
    bool opened = face.opened();
    if (!(now == face.version)) {
      // Changed since it was read: FreeType is asked about it as it is now.
      FaceCheckJob job{file.c_str(), font.index, 0, now, {}};
      checkFace(&job);
      opened = job.result.opened;
    }
    if (!opened) return std::nullopt;
    return faces.description(*position);
  }

 private:
  InstalledFonts* installed() { return shared_ ? sharedInstalledFonts() : own_.get(); }

  // Lookups of one sweep through the list; shared with the work that ends it.
  struct Sweep {
    DirectoryStat status;
    size_t lastPosition = 0;
    bool active = false;
  };

  // The position of a listed face in the current list.
  static std::optional<size_t> find(const InstalledFonts& fonts, const ListedFont& font) {
    const std::vector<ListedFont>& listed = fonts.listed();
    if (font.position < listed.size() && listed[font.position].index == font.index &&
        listed[font.position].file == font.file) {
      return font.position;
    }
    auto key = [](std::string_view file, int index) {
      return std::tuple(std::string_view(file), index & 0xffff, static_cast<unsigned>(index) >> 16);
    };
    auto it = std::lower_bound(
        listed.begin(), listed.end(), key(font.file, font.index),
        [&](const ListedFont& f, const auto& k) { return key(f.file, f.index) < k; });
    if (it == listed.end() || it->file != font.file || it->index != font.index) return std::nullopt;
    return static_cast<size_t>(it - listed.begin());
  }

  bool shared_;
  std::unique_ptr<InstalledFonts> own_;
  std::shared_ptr<Sweep> sweep_ = std::make_shared<Sweep>();
};

}  // namespace

FontSource::~FontSource() = default;

FontSource& FontSource::shared() {
  static FontSource* source = new FontconfigFontSource(true, nullptr);
  return *source;
}

std::unique_ptr<FontSource> FontSource::create() {
  std::unique_ptr<InstalledFonts> fonts = InstalledFonts::load(preferredLanguages(), nullptr);
  if (fonts) fonts->dropFontconfigFonts();
  return std::make_unique<FontconfigFontSource>(false, std::move(fonts));
}

}  // namespace kavri
