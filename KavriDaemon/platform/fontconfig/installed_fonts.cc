#include "platform/fontconfig/installed_fonts.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <unordered_set>
#include <utility>

#include "platform/fontconfig/font_file_query.h"
#include "platform/fontconfig/fontconfig_cache.h"
#include "platform/fontconfig/fontconfig_faces.h"

namespace kavri {
namespace {

uint64_t newRevision() {
  static uint64_t revision = 0;  // main thread only
  return ++revision;
}

std::vector<std::string> strings(FcStrList* list) {
  std::vector<std::string> out;
  if (!list) return out;
  while (FcChar8* s = FcStrListNext(list)) out.push_back(reinterpret_cast<const char*>(s));
  FcStrListDone(list);
  return out;
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string parentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string childPath(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.size() > prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// A directory's entries as fontconfig's scan takes them: all but those
// whose name starts with a dot. Sorted. Empty when it cannot be read.
std::vector<std::string> readDirectory(const std::string& dir) {
  std::vector<std::string> names;
  DIR* entries = opendir(dir.c_str());
  if (!entries) return names;
  while (struct dirent* entry = readdir(entries)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  closedir(entries);
  std::sort(names.begin(), names.end());
  return names;
}

struct CloseDirectory {
  void operator()(DIR* dir) const { closedir(dir); }
};

bool isNamedInstance(int index) { return (static_cast<unsigned>(index) >> 16) != 0; }

// Orders listed faces and paths by path.
struct ListedFaceFile {
  bool operator()(const ListedFace& a, std::string_view b) const { return a.file < b; }
  bool operator()(std::string_view a, const ListedFace& b) const { return a < b.file; }
};

// fontconfig's own font set holds every face's character set and maps every
// directory's cache, most of the memory a large library would cost. The
// configuration stays for reading files.
constexpr char kForgetFontDirectories[] = "<fontconfig><reset-dirs/></fontconfig>";

}  // namespace

InstalledFonts::ConfiguredPaths InstalledFonts::ConfiguredPaths::of(FcConfig* config) {
  ConfiguredPaths paths;
  // Before fontconfig builds its font set: the configured directories only.
  paths.roots = strings(FcConfigGetFontDirs(config));
  paths.configurationDirs = strings(FcConfigGetConfigDirs(config));
  for (std::string& file : strings(FcConfigGetConfigFiles(config))) {
    if (!isDirectory(file)) paths.configurationFiles.push_back(std::move(file));
  }
  return paths;
}

// Faces read, on their way into the table: the listing they came from, the
// revision each gets, FreeType's checks and its names of named instances.
struct InstalledFonts::Drafts {
  explicit Drafts(const std::vector<std::string>& languages) : listing(languages) {}

  std::vector<ListedFace>& faces() { return listing.faces; }

  // Queues FreeType's check of face `i` as its file is (`version`).
  void check(size_t i, int64_t readAtNs, const FileVersion& version) {
    // fontconfig's strings end with a NUL, so a view of its path is one.
    jobs.push_back({faces()[i].file.data(), faces()[i].index, readAtNs, version, {}});
    checked.push_back(i);
  }

  void runChecks() {
    checkFaces(&jobs);
    for (size_t k = 0; k < jobs.size(); ++k) {
      ListedFace& face = faces()[checked[k]];
      face.traits.setCheck(jobs[k].version, jobs[k].result.opened);
      if (isNamedInstance(face.index) && jobs[k].result.postscriptName) {
        face.name = freetypeNames.emplace_back(std::move(*jobs[k].result.postscriptName));
      }
    }
    jobs.clear();
    checked.clear();
  }

  FaceListing listing;
  std::vector<uint64_t> revisions;  // parallel to faces()
  std::deque<std::string> freetypeNames;
  std::vector<FaceCheckJob> jobs;
  std::vector<size_t> checked;  // the face of each job
};

// Files and directories to bring up to date in one update.
class InstalledFonts::Batch {
 public:
  std::map<std::string, FileVersion, std::less<>> reads;  // files to read (again), as they are now
  std::set<std::string, std::less<>> drops;               // files gone
  std::vector<std::string> droppedTrees;                  // directories gone, with all below
  // Files the rules reject now, as they were when last read.
  std::map<std::string, FileVersion, std::less<>> rejected;

  bool dropped(std::string_view path) const {
    if (drops.count(path) || rejected.count(path)) return true;
    for (const std::string& dir : droppedTrees) {
      if (path.size() > dir.size() + 1 && path.substr(0, dir.size()) == dir &&
          path[dir.size()] == '/') {
        return true;
      }
    }
    return false;
  }
};

InstalledFonts::InstalledFonts(FcConfig* config, std::vector<std::string> languages)
    : languages_(std::move(languages)), config_(config) {}

InstalledFonts::~InstalledFonts() { FcConfigDestroy(config_); }

std::unique_ptr<InstalledFonts> InstalledFonts::load(std::vector<std::string> languages,
                                                     const InstalledFonts* previous,
                                                     const DirectoryChanges& changes,
                                                     bool everything) {
  FcConfig* config = FcInitLoadConfig();
  if (!config) return nullptr;
  // Changes are watched for; fontconfig's own time-based re-checks would
  // only add stat calls behind our back.
  FcConfigSetRescanInterval(config, 0);
  std::unique_ptr<InstalledFonts> fonts(new InstalledFonts(config, std::move(languages)));
  fonts->paths_ = ConfiguredPaths::of(config);
  fonts->rules_ = FontconfigRules::read(config);
  if (previous) {
    for (const std::string& dir : previous->changedDirs_) {
      if (cacheMayBeStale(dir, config)) {
        FcDirCacheUnlink(reinterpret_cast<const FcChar8*>(dir.c_str()), config);
      }
    }
  }
  if (!FcConfigBuildFonts(config)) return nullptr;

  std::set<std::string> unchanged;
  if (previous && !everything) unchanged = previous->unchangedDirs(changes);
  std::set<std::string, std::less<>> sameCache = fonts->readDirectories(previous, unchanged);
  {
    // Read in place: the listing is valid until fontconfig's font set goes.
    Drafts drafts(fonts->languages_);
    drafts.listing.listAll(config, sameCache.empty() ? FaceListing::Known()
                                                     : previous->listedFrom(sameCache));
    drafts.listing.sort();
    fonts->findFontless(previous, unchanged, drafts.faces());
    fonts->check(previous, unchanged, &drafts);
    fonts->table_ = tableOf(drafts);
  }
  return fonts;
}

std::set<std::string> InstalledFonts::unchangedDirs(const DirectoryChanges& changes) const {
  std::set<std::string> unchanged;
  for (const auto& [dir, identity] : dirs_) {
    bool touched = false;
    for (std::string at = dir; !touched; at = parentOf(at)) {
      touched = changes.count(at) > 0;
      if (at == "/" || at == ".") break;
    }
    if (!touched) unchanged.insert(dir);
  }
  return unchanged;
}

std::set<std::string, std::less<>> InstalledFonts::readDirectories(
    const InstalledFonts* previous, const std::set<std::string>& unchanged) {
  std::set<std::string, std::less<>> sameCache;
  for (std::string& dir : strings(FcConfigGetFontDirs(config_))) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    dirs_[dir] = Directory{st.st_dev, st.st_ino};
    if (!unchanged.count(dir)) continue;
    int64_t cachedAt = readCache(dir, config_, nullptr);
    cachedAt_[dir] = cachedAt;
    auto was = previous->cachedAt_.find(dir);
    if (cachedAt != 0 && was != previous->cachedAt_.end() && was->second == cachedAt &&
        !previous->changedDirs_.count(dir)) {
      sameCache.insert(dir);
    }
  }
  return sameCache;
}

FaceListing::Known InstalledFonts::listedFrom(
    const std::set<std::string, std::less<>>& dirs) const {
  auto key = [](std::string_view file, int index) {
    return std::tuple(file, index & 0xffff, static_cast<unsigned>(index) >> 16);
  };
  // A directory's faces come in file order, as they are listed here: each
  // is found a step or two after the one before.
  return [this, &dirs, key, lastDir = std::string_view(), reusable = false,
          at = size_t(0)](std::string_view file, int index, ListedFace* face) mutable {
    std::string_view dir = file.substr(0, file.find_last_of('/'));
    if (dir != lastDir) {
      lastDir = dir;
      reusable = dirs.count(dir) > 0;
    }
    if (!reusable) return false;
    const std::vector<ListedFont>& listed = table_.listed();
    if (at >= listed.size() || key(listed[at].file, listed[at].index) > key(file, index) ||
        (at + 1 < listed.size() && listed[at + 1].file < file)) {
      at = static_cast<size_t>(std::lower_bound(listed.begin(), listed.end(), key(file, index),
                                                [&](const ListedFont& f, const auto& k) {
                                                  return key(f.file, f.index) < k;
                                                }) -
                               listed.begin());
    }
    while (at < listed.size() && key(listed[at].file, listed[at].index) < key(file, index)) ++at;
    if (at == listed.size() || listed[at].file != file || listed[at].index != index) return false;
    face->name = listed[at].name;
    face->names = table_.names(at);
    face->traits = table_.traits(at);
    return true;
  };
}

void InstalledFonts::findFontless(const InstalledFonts* previous,
                                  const std::set<std::string>& unchanged,
                                  const std::vector<ListedFace>& faces) {
  DirectoryStat status;
  for (const auto& [dir, identity] : dirs_) {
    if (unchanged.count(dir)) continue;
    cachedAt_[dir] = readCache(
        dir, config_, [&](std::string_view cached, const std::vector<FcPattern*>& cachedFaces) {
          auto [from, to] = std::equal_range(faces.begin(), faces.end(), cached, ListedFaceFile());
          if (from == to) fontless_[std::string(cached)] = status.version(std::string(cached));
          // Faces a rule rejected (or that fontconfig's listing merged): their
          // families, should a rule that rejected them go. Whole-font patterns
          // of variable fonts are never listed.
          auto variable = [](FcPattern* face) {
            FcBool is = FcFalse;
            return FcPatternGetBool(face, FC_VARIABLE, 0, &is) == FcResultMatch && is;
          };
          size_t listable = static_cast<size_t>(
              std::count_if(cachedFaces.begin(), cachedFaces.end(), std::not_fn(variable)));
          if (listable <= static_cast<size_t>(to - from)) return;
          std::string families;
          for (FcPattern* face : cachedFaces) {
            if (!variable(face)) appendFamilyNames(face, &families);
          }
          if (!families.empty()) rejectedFamilies_[std::string(cached)] = std::move(families);
        });
  }
  if (unchanged.empty()) return;
  // In unchanged directories, files that held no face before, and those
  // listed before and no more (a rule rejects them now); and the families of
  // faces rejected before, or listed before and no more.
  auto inUnchanged = [&](std::string_view path) {
    std::string dir = parentOf(std::string(path));
    return unchanged.count(dir) && dirs_.count(dir);
  };
  auto fontless = [&](std::string_view path, const FileVersion& version) {
    if (inUnchanged(path) &&
        !std::binary_search(faces.begin(), faces.end(), path, ListedFaceFile())) {
      fontless_[std::string(path)] = version;
    }
  };
  for (const auto& [path, version] : previous->fontless_) fontless(path, version);
  for (const auto& [path, names] : previous->rejectedFamilies_) {
    if (inUnchanged(path)) rejectedFamilies_[path] = names;
  }
  // Both lists are in file order.
  const std::vector<ListedFont>& was = previous->table_.listed();
  size_t now = 0;
  for (size_t i = 0, end; i < was.size(); i = end) {
    for (end = i + 1; end < was.size() && was[end].file == was[i].file; ++end) {
    }
    while (now < faces.size() && faces[now].file < was[i].file) ++now;
    size_t nowEnd = now;
    while (nowEnd < faces.size() && faces[nowEnd].file == was[i].file) ++nowEnd;
    if (nowEnd - now >= end - i || !inUnchanged(was[i].file)) continue;
    if (now == nowEnd) fontless(was[i].file, previous->table_.traits(i).version);
    std::string& record = rejectedFamilies_[std::string(was[i].file)];
    for (size_t k = i; k < end; ++k) {
      previous->table_.names(k).forEachFamily([&](std::string_view family) {
        record.append(family);
        record.push_back('\0');
      });
    }
  }
}

void InstalledFonts::check(const InstalledFonts* previous, const std::set<std::string>& unchanged,
                           Drafts* drafts) const {
  std::vector<ListedFace>& faces = drafts->faces();
  drafts->revisions.assign(faces.size(), 0);
  DirectoryStat status;
  std::string file;
  std::string_view dir;
  bool dirUnchanged = false;
  size_t was = 0;  // the previous faces of the file, found as both lists go in file order
  for (size_t begin = 0, end; begin < faces.size(); begin = end) {
    file = faces[begin].file;
    end = begin + 1;
    while (end < faces.size() && faces[end].file == file) ++end;
    if (faces[begin].file.substr(0, faces[begin].file.find_last_of('/')) != dir) {
      dir = faces[begin].file.substr(0, faces[begin].file.find_last_of('/'));
      dirUnchanged = unchanged.count(parentOf(file)) > 0;
    }
    size_t wasEnd = was;
    if (previous) {
      const std::vector<ListedFont>& listed = previous->table_.listed();
      while (was < listed.size() && listed[was].file < file) ++was;
      wasEnd = was;
      while (wasEnd < listed.size() && listed[wasEnd].file == file) ++wasEnd;
    }
    FileVersion version;
    if (dirUnchanged && was != wasEnd) {
      version = previous->table_.traits(was).version;
    } else if (!dirUnchanged || !previous->knownFile(file, &version)) {
      version = status.version(file);
    }
    if (previous && previous->reuseChecks(version, drafts, begin, end, was, wasEnd)) continue;
    uint64_t revision = newRevision();
    auto at = cachedAt_.find(parentOf(file));
    for (size_t k = begin; k < end; ++k) {
      drafts->revisions[k] = revision;
      drafts->check(k, at == cachedAt_.end() ? 0 : at->second, version);
    }
  }
  drafts->runChecks();
}

void InstalledFonts::dropFontconfigFonts() {
  if (std::exchange(fontconfigFontsDropped_, true)) return;
  FcConfigParseAndLoadFromMemory(config_, reinterpret_cast<const FcChar8*>(kForgetFontDirectories),
                                 FcFalse);
  FcConfigBuildFonts(config_);
}

FaceTable InstalledFonts::tableOf(Drafts& drafts) {
  size_t text = 0;
  for (const ListedFace& face : drafts.faces()) {
    text += face.file.size() + face.name.size() + face.names.family.size() +
            face.names.style.size() + face.names.localizedFamily.size() +
            face.names.localizedStyle.size() + face.names.otherFamilies.size() + 4;
  }
  FaceTable::Builder table;
  table.reserve(drafts.faces().size(), text);
  for (size_t i = 0; i < drafts.faces().size(); ++i) {
    const ListedFace& face = drafts.faces()[i];
    table.add(face.file, face.name, face.index, drafts.revisions[i], face.names, face.traits);
  }
  return table.finish();
}

bool InstalledFonts::reuseChecks(const FileVersion& version, Drafts* drafts, size_t begin,
                                 size_t end, size_t from, size_t to) const {
  if (!version.exists()) return false;
  std::vector<ListedFace>& faces = drafts->faces();
  if (to - from != end - begin) return false;
  for (size_t k = 0; k < end - begin; ++k) {
    const ListedFace& face = faces[begin + k];
    const FaceTraits& was = table_.traits(from + k);
    // A named instance's name is FreeType's, which the draft does not have yet.
    std::string_view name =
        isNamedInstance(face.index) ? table_.listed()[from + k].name : face.name;
    FaceTraits traits = face.traits;
    traits.setCheck(was.version, was.opened());
    if (!(was.version == version) || !table_.same(from + k, name, face.index, face.names, traits)) {
      return false;
    }
  }
  for (size_t k = 0; k < end - begin; ++k) {
    ListedFace& face = faces[begin + k];
    face.name = table_.listed()[from + k].name;  // lives until the new table replaces this one
    drafts->revisions[begin + k] = table_.listed()[from + k].revision;
    face.traits.setCheck(version, table_.traits(from + k).opened());
  }
  return true;
}

bool InstalledFonts::knownFile(const std::string& path, FileVersion* version) const {
  auto [from, to] = table_.facesOf(path);
  if (from != to) {
    *version = table_.traits(from).version;
    return true;
  }
  auto it = fontless_.find(path);
  if (it == fontless_.end()) return false;
  *version = it->second;
  return true;
}

std::vector<std::string> InstalledFonts::knownNames(const std::string& dir) const {
  std::string prefix = dir == "/" ? "/" : dir + "/";
  std::vector<std::string> names;
  auto direct = [&](std::string_view path) {
    if (path.size() <= prefix.size() || path.substr(0, prefix.size()) != prefix) return false;
    std::string_view rest = path.substr(prefix.size());
    if (rest.find('/') != std::string_view::npos) return true;
    if (names.empty() || names.back() != rest) names.emplace_back(rest);
    return true;
  };
  const std::vector<ListedFont>& listed = table_.listed();
  auto from = std::lower_bound(listed.begin(), listed.end(), std::string_view(prefix),
                               [](const ListedFont& f, std::string_view p) { return f.file < p; });
  for (auto it = from; it != listed.end() && direct(it->file); ++it) {
  }
  for (auto it = fontless_.lower_bound(prefix); it != fontless_.end() && direct(it->first); ++it) {
  }
  for (auto it = dirs_.lower_bound(prefix); it != dirs_.end() && direct(it->first); ++it) {
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

InstalledFonts::Update InstalledFonts::update(const DirectoryChanges& changes, bool everything) {
  if (!rules_.complete()) return Update::kNeedsLoad;
  Batch batch;
  collect(changes, everything, &batch);
  return apply(&batch);
}

InstalledFonts::Update InstalledFonts::reconfigure(const DirectoryChanges& changes,
                                                   bool everything) {
  if (!rules_.complete()) return Update::kNeedsLoad;
  FcConfig* config = FcInitLoadConfig();
  if (!config) return Update::kNeedsLoad;
  FcConfigSetRescanInterval(config, 0);
  ConfiguredPaths paths = ConfiguredPaths::of(config);
  FontconfigRules rules = FontconfigRules::read(config);
  std::vector<FcPattern*> changedPatterns = rules.patternsNotIn(rules_);
  if (!rules.complete() || paths.roots != paths_.roots ||
      rules.settingsDigest() != rules_.settingsDigest() ||
      !std::all_of(changedPatterns.begin(), changedPatterns.end(), namesOneFamily)) {
    FcConfigDestroy(config);
    return Update::kNeedsLoad;
  }
  // The faces here are copies: fontconfig's set of the old configuration
  // goes with it, and the new one never builds one.
  FcConfigDestroy(std::exchange(config_, config));
  fontconfigFontsDropped_ = false;
  paths_ = std::move(paths);
  FontconfigRules was = std::exchange(rules_, std::move(rules));
  Batch batch;
  reselect(was, changedPatterns, &batch);
  collect(changes, everything, &batch);
  return apply(&batch);
}

void InstalledFonts::reselect(const FontconfigRules& was,
                              const std::vector<FcPattern*>& changedPatterns, Batch* batch) {
  auto rejectedNow = [&](const std::string& path) {
    return was.acceptsFile(path) && !rules_.acceptsFile(path);
  };
  auto acceptedNow = [&](const std::string& path) {
    return !was.acceptsFile(path) && rules_.acceptsFile(path);
  };
  if (rules_.mayRejectWhatWasAccepted(was)) {
    // fontconfig judges directories below the configured ones, never those.
    std::set<std::string> roots(paths_.roots.begin(), paths_.roots.end());
    std::vector<std::string> gone;
    for (const auto& [dir, identity] : dirs_) {
      if (!roots.count(dir) && rejectedNow(dir)) gone.push_back(dir);
    }
    for (const std::string& dir : gone) {
      if (dirs_.count(dir)) dropTree(dir, batch);
    }
    const std::vector<ListedFont>& listed = table_.listed();
    for (size_t i = 0; i < listed.size(); ++i) {
      if (i > 0 && listed[i].file == listed[i - 1].file) continue;
      std::string file(listed[i].file);
      if (!batch->dropped(file) && rejectedNow(file))
        batch->rejected[file] = table_.traits(i).version;
    }
  }
  if (!changedPatterns.empty()) reselectFamilies(changedPatterns, batch);
  if (!rules_.mayAcceptWhatWasRejected(was)) return;
  // Files rejected before were read and are known as holding no face.
  for (const auto& [file, version] : fontless_) {
    if (acceptedNow(file)) readAgain(file, batch);
  }
  // Directories rejected before were never read: only their names tell.
  std::vector<std::string> found;
  for (const auto& [dir, identity] : dirs_) {
    std::unique_ptr<DIR, CloseDirectory> entries(opendir(dir.c_str()));
    if (!entries) continue;
    while (struct dirent* entry = readdir(entries.get())) {
      // Most entries of a font folder are fonts, told apart without a look.
      if (entry->d_name[0] == '.' || entry->d_type == DT_REG) continue;
      std::string path = childPath(dir, entry->d_name);
      if (!dirs_.count(path) && acceptedNow(path)) found.push_back(std::move(path));
    }
  }
  for (const std::string& path : found) {
    if (isDirectory(path)) readTree(path, batch);
  }
}

void InstalledFonts::reselectFamilies(const std::vector<FcPattern*>& patterns, Batch* batch) {
  // Family names are far fewer than faces: each is matched once.
  std::unordered_set<std::string_view> families;
  auto collect = [&](std::string_view family) { families.insert(family); };
  for (size_t i = 0; i < table_.size(); ++i) table_.names(i).forEachFamily(collect);
  for (const auto& [file, names] : rejectedFamilies_) forEachNulEnded(names, collect);
  // Named by any of the rules; and by a rule that now rejects, which with no
  // rule accepting by pattern settles a face without reading it.
  std::unordered_set<std::string_view> named, rejected;
  std::unique_ptr<FcPattern, decltype(&FcPatternDestroy)> probe(FcPatternCreate(),
                                                                &FcPatternDestroy);
  if (!probe) return;
  const bool settles = !rules_.acceptsByPattern();
  std::string family;
  for (std::string_view candidate : families) {
    family = candidate;
    FcPatternDel(probe.get(), FC_FAMILY);
    FcPatternAddString(probe.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    for (FcPattern* rule : patterns) {
      if (!ruleMatches(config_, rule, probe.get())) continue;
      named.insert(candidate);
      if (settles && rules_.rejectsBy(rule)) rejected.insert(candidate);
    }
  }
  if (named.empty()) return;
  auto isNamed = [&](std::string_view name) { return named.count(name) > 0; };
  std::vector<std::string> files;
  const std::vector<ListedFont>& listed = table_.listed();
  for (size_t i = 0, end; i < listed.size(); i = end) {
    bool hit = false, allRejected = true;
    std::string families;
    for (end = i; end < listed.size() && listed[end].file == listed[i].file; ++end) {
      bool rejects = false;
      table_.names(end).forEachFamily([&](std::string_view name) {
        hit = hit || isNamed(name);
        rejects = rejects || rejected.count(name) > 0;
        families.append(name);
        families.push_back('\0');
      });
      allRejected = allRejected && rejects;
    }
    if (!hit) continue;
    std::string file(listed[i].file);
    if (allRejected && !batch->dropped(file)) {
      // Every face rejected by family: the file holds none, as it was.
      batch->rejected[file] = table_.traits(i).version;
      rejectedFamilies_[file].append(families);
    } else {
      files.push_back(std::move(file));
    }
  }
  for (const auto& [file, names] : rejectedFamilies_) {
    bool hit = false;
    forEachNulEnded(names, [&](std::string_view name) { hit = hit || isNamed(name); });
    if (hit) files.push_back(file);
  }
  for (const std::string& file : files) readAgain(file, batch);
}

void InstalledFonts::readAgain(const std::string& file, Batch* batch) {
  if (batch->dropped(file)) return;
  struct stat st;
  if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    batch->reads[file] = fileVersionOf(st);
  } else {
    batch->drops.insert(file);
  }
}

void InstalledFonts::collect(const DirectoryChanges& changes, bool everything, Batch* batch) {
  if (everything) {
    std::vector<std::string> all;
    for (const auto& [dir, identity] : dirs_) all.push_back(dir);
    for (const std::string& dir : all) {
      if (dirs_.count(dir)) checkDirectory(dir, DirectoryChange{true, {}, {}}, batch);
    }
  } else {
    // Sorted: a directory comes before those below it, which a look at it
    // may already have dropped or read.
    for (const auto& [dir, change] : changes) {
      if (dirs_.count(dir)) checkDirectory(dir, change, batch);
    }
  }
  // A configured font directory that was missing (or went) and is there now.
  for (const std::string& root : paths_.roots) {
    if (!dirs_.count(root) && isDirectory(root)) readTree(root, batch);
  }
}

void InstalledFonts::checkDirectory(const std::string& dir, const DirectoryChange& change,
                                    Batch* batch) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return dropTree(dir, batch);
  if (Directory{st.st_dev, st.st_ino} != dirs_[dir]) {
    // Another directory under the same name: nothing known of it holds.
    dropTree(dir, batch);
    return readTree(dir, batch);
  }
  if (change.allEntries) return relist(dir, /*statAll=*/true, change.writing, batch);
  if (change.names.count("")) relist(dir, /*statAll=*/false, change.writing, batch);
  for (const std::string& name : change.names) {
    if (!name.empty() && !change.writing.count(name)) entry(dir, name, batch);
  }
}

void InstalledFonts::relist(const std::string& dir, bool statAll,
                            const std::set<std::string>& writing, Batch* batch) {
  std::vector<std::string> now = readDirectory(dir);
  std::vector<std::string> known = knownNames(dir);
  std::vector<std::string> look;
  if (statAll) {
    std::set_union(now.begin(), now.end(), known.begin(), known.end(), std::back_inserter(look));
  } else {
    std::set_symmetric_difference(now.begin(), now.end(), known.begin(), known.end(),
                                  std::back_inserter(look));
  }
  for (const std::string& name : look) {
    if (!writing.count(name)) entry(dir, name, batch);
  }
}

void InstalledFonts::entry(const std::string& dir, const std::string& name, Batch* batch) {
  if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos) return;
  std::string path = childPath(dir, name);
  if (batch->reads.count(path)) return;
  struct stat st;
  bool exists = stat(path.c_str(), &st) == 0;
  auto known = dirs_.find(path);
  if (known != dirs_.end()) {
    if (exists && S_ISDIR(st.st_mode) && Directory{st.st_dev, st.st_ino} == known->second) {
      return;  // what changes inside is its own watch's to report
    }
    dropTree(path, batch);
  }
  FileVersion was;
  bool wasFile = !batch->dropped(path) && knownFile(path, &was);
  if (exists && S_ISREG(st.st_mode)) {
    FileVersion version = fileVersionOf(st);
    if (!wasFile || was != version) batch->reads[path] = version;
    return;
  }
  // Only regular files are read: fontconfig's attempt to read a pipe would
  // wait for a writer forever.
  if (wasFile) batch->drops.insert(path);
  if (exists && S_ISDIR(st.st_mode) && !dirs_.count(path) && rules_.acceptsFile(path)) {
    readTree(path, batch);
  }
}

void InstalledFonts::readTree(const std::string& top, Batch* batch) {
  std::vector<std::string> pending = {top};
  while (!pending.empty()) {
    std::string dir = std::move(pending.back());
    pending.pop_back();
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || dirs_.count(dir)) continue;
    dirs_[dir] = Directory{st.st_dev, st.st_ino};
    changedDirs_.insert(dir);
    for (const std::string& name : readDirectory(dir)) {
      std::string path = childPath(dir, name);
      if (stat(path.c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode)) {
        // Subdirectories as fontconfig takes them: unless a rule rejects them.
        if (!dirs_.count(path) && rules_.acceptsFile(path)) pending.push_back(std::move(path));
      } else if (S_ISREG(st.st_mode)) {
        batch->reads[path] = fileVersionOf(st);
      }
    }
  }
}

void InstalledFonts::dropTree(const std::string& dir, Batch* batch) {
  dirs_.erase(dir);
  std::string prefix = dir + "/";
  for (auto it = dirs_.lower_bound(prefix); it != dirs_.end() && startsWith(it->first, prefix);) {
    it = dirs_.erase(it);
  }
  batch->droppedTrees.push_back(dir);
}

InstalledFonts::Update InstalledFonts::apply(Batch* batch) {
  // Read what changed; everything else stays as it is.
  Drafts drafts(languages_);
  std::map<std::string_view, std::string> rejectedFamilies;
  for (const auto& [path, version] : batch->reads) {
    size_t before = drafts.faces().size();
    std::string rejected;
    queryFontFile(config_, rules_, path, &drafts.listing, &rejected);
    if (!rejected.empty()) rejectedFamilies.emplace(path, std::move(rejected));
    changedDirs_.insert(parentOf(path));
    // A scan rule that moves a face to another file is past what a file read
    // on its own can place.
    for (size_t i = before; i < drafts.faces().size(); ++i) {
      if (drafts.faces()[i].file != path) return Update::kNeedsLoad;
    }
  }
  drafts.listing.sort();
  std::vector<ListedFace>& faces = drafts.faces();
  drafts.revisions.assign(faces.size(), 0);
  for (size_t i = 0; i < faces.size(); ++i) {
    // Just read through FreeType: only a named instance's name needs it again.
    const FileVersion& version = batch->reads.find(faces[i].file)->second;
    drafts.check(i, version.mtimeNs + 1, version);
  }
  drafts.runChecks();

  // Merge the files read into the list, file by file, in list order.
  bool changed = false;
  const std::vector<ListedFont>& old = table_.listed();
  FaceTable::Builder table;
  table.reserve(old.size() + faces.size(), 0);
  size_t oldAt = 0, newAt = 0;
  while (oldAt < old.size() || newAt < faces.size()) {
    std::string_view file =
        newAt == faces.size() || (oldAt < old.size() && old[oldAt].file < faces[newAt].file)
            ? old[oldAt].file
            : faces[newAt].file;
    size_t oldEnd = oldAt, newEnd = newAt;
    while (oldEnd < old.size() && old[oldEnd].file == file) ++oldEnd;
    while (newEnd < faces.size() && faces[newEnd].file == file) ++newEnd;
    if (batch->reads.count(file)) {
      bool same = oldEnd - oldAt == newEnd - newAt;
      for (size_t k = 0; same && k < oldEnd - oldAt; ++k) {
        const ListedFace& face = faces[newAt + k];
        same = table_.same(oldAt + k, face.name, face.index, face.names, face.traits);
      }
      // A file rewritten with the same faces keeps its revision.
      uint64_t revision = same && oldEnd > oldAt ? old[oldAt].revision : newRevision();
      changed = changed || !same;
      for (size_t k = newAt; k < newEnd; ++k) {
        const ListedFace& face = faces[k];
        table.add(face.file, face.name, face.index, revision, face.names, face.traits);
      }
    } else if (batch->dropped(file)) {
      changed = true;
    } else {
      for (size_t k = oldAt; k < oldEnd; ++k) table.copy(table_, k);
    }
    oldAt = oldEnd;
    newAt = newEnd;
  }

  // Files read that hold no face are remembered as such; files gone are not.
  for (const std::string& file : batch->drops) {
    fontless_.erase(file);
    changedDirs_.insert(parentOf(file));
  }
  for (const auto& [file, version] : batch->rejected) {
    if (!batch->reads.count(file)) fontless_[file] = version;
  }
  for (const std::string& file : batch->drops) rejectedFamilies_.erase(file);
  for (const std::string& dir : batch->droppedTrees) {
    std::string prefix = dir + "/";
    for (auto it = fontless_.lower_bound(prefix);
         it != fontless_.end() && startsWith(it->first, prefix);) {
      it = fontless_.erase(it);
    }
    for (auto it = rejectedFamilies_.lower_bound(prefix);
         it != rejectedFamilies_.end() && startsWith(it->first, prefix);) {
      it = rejectedFamilies_.erase(it);
    }
  }
  for (const auto& [path, version] : batch->reads) {
    auto [from, to] =
        std::equal_range(faces.begin(), faces.end(), std::string_view(path), ListedFaceFile());
    if (from == to) {
      fontless_[path] = version;
    } else {
      fontless_.erase(path);
    }
    if (auto families = rejectedFamilies.find(path); families != rejectedFamilies.end()) {
      rejectedFamilies_[path] = std::move(families->second);
    } else {
      rejectedFamilies_.erase(path);
    }
  }
  table_ = table.finish();
  return changed ? Update::kChanged : Update::kUnchanged;
}

bool InstalledFonts::sameFaces(const InstalledFonts& other) const {
  if (table_.size() != other.table_.size()) return false;
  for (size_t i = 0; i < table_.size(); ++i) {
    if (table_.listed()[i].file != other.table_.listed()[i].file ||
        !table_.same(i, other.table_, i)) {
      return false;
    }
  }
  return true;
}

std::vector<WatchedDirectory> InstalledFonts::watchDirectories() const {
  std::map<std::string, WatchedDirectory> dirs;
  auto watch = [&](const std::string& path) -> WatchedDirectory& {
    auto [it, added] = dirs.try_emplace(path);
    if (added) it->second.path = path;
    return it->second;
  };
  // A missing path is watched for at its nearest existing parent, by the
  // name of the first missing step below it.
  auto watchFor = [&](std::string path, bool configuration) {
    if (path.empty() || path[0] != '/') return;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    std::string missingChild;
    while (path != "/" && !isDirectory(path)) {
      missingChild = path.substr(path.find_last_of('/') + 1);
      path = parentOf(path);
    }
    if (missingChild.empty()) return;
    bool& purpose = watch(path).names[missingChild];
    purpose = purpose || configuration;
  };
  for (const auto& [dir, identity] : dirs_) watch(dir).fonts = true;
  for (const std::string& root : paths_.roots) {
    if (!dirs_.count(root)) watchFor(root, false);
  }
  for (const std::string& dir : paths_.configurationDirs) {
    if (isDirectory(dir)) {
      watch(dir).configuration = true;
    } else {
      watchFor(dir, true);
    }
  }
  for (const std::string& file : paths_.configurationFiles) {
    std::string parent = parentOf(file);
    if (isDirectory(parent)) {
      watch(parent).names[file.substr(file.find_last_of('/') + 1)] = true;
    } else {
      watchFor(parent, true);
    }
  }
  for (const std::string& include : rules_.missingIncludes()) watchFor(include, true);
  std::vector<WatchedDirectory> result;
  result.reserve(dirs.size());
  for (auto& [path, dir] : dirs) result.push_back(std::move(dir));
  return result;
}

namespace {
std::unique_ptr<InstalledFonts>& sharedSlot() {
  static auto* slot = new std::unique_ptr<InstalledFonts>();
  return *slot;
}
}  // namespace

InstalledFonts* sharedInstalledFonts() {
  if (!sharedSlot()) sharedSlot() = InstalledFonts::load(preferredLanguages(), nullptr);
  return sharedSlot().get();
}

InstalledFonts* sharedInstalledFontsIfLoaded() { return sharedSlot().get(); }

void replaceSharedInstalledFonts(std::unique_ptr<InstalledFonts> fonts) {
  sharedSlot() = std::move(fonts);
}

}  // namespace kavri
