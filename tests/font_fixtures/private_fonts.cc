#include "font_fixtures/private_fonts.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>

namespace kavri::testing {

const char kDejaVuSans[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
const char kWenQuanYiZenHei[] = "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc";
const char kIpaGothic[] = "/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf";
const char kInterVariable[] = "/usr/share/fonts/truetype/inter-vf/Inter-roman.var.ttf";
const char kInterThin[] = "/usr/share/fonts/opentype/inter/Inter-Thin.otf";
const char kTerminusOtb[] = "/usr/share/fonts/opentype/terminus/terminus-normal.otb";
const char kTerminusPcf[] = "/usr/share/fonts/X11/misc/ter-u12n_iso-8859-1.pcf.gz";
const char kUrwType1[] = "/usr/share/fonts/type1/urw-base35/C059-BdIta.t1";
const char kUrwType1Binary[] = "/usr/share/fonts/X11/Type1/C059-BdIta.pfb";

namespace {

std::string xmlEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else {
      out += c;
    }
  }
  return out;
}

std::string baseName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

}  // namespace

PrivateFonts::PrivateFonts(const std::vector<std::string>& extraDirs) {
  const char* previous = getenv("FONTCONFIG_FILE");
  hadPrevious_ = previous != nullptr;
  if (previous) previous_ = previous;
  mkdir(fontsDir().c_str(), 0755);
  std::string conf = "<?xml version=\"1.0\"?>\n<fontconfig>\n";
  conf += "  <dir>" + xmlEscaped(fontsDir()) + "</dir>\n";
  for (const std::string& dir : extraDirs) {
    conf += "  <dir>" + xmlEscaped(dir[0] == '/' ? dir : dir_.file(dir)) + "</dir>\n";
  }
  mkdir(dir_.file("conf.d").c_str(), 0755);
  conf += "  <include ignore_missing=\"yes\">" + xmlEscaped(dir_.file("conf.d")) + "</include>\n";
  conf += "  <cachedir>" + xmlEscaped(dir_.file("cache")) + "</cachedir>\n</fontconfig>\n";
  writeFile(dir_.file("fonts.conf"), conf);
  setenv("FONTCONFIG_FILE", dir_.file("fonts.conf").c_str(), 1);
}

PrivateFonts::~PrivateFonts() {
  if (hadPrevious_) {
    setenv("FONTCONFIG_FILE", previous_.c_str(), 1);
  } else {
    unsetenv("FONTCONFIG_FILE");
  }
}

std::string PrivateFonts::add(const std::string& installedFont, const std::string& name) {
  std::string to = fontsDir() + "/" + (name.empty() ? baseName(installedFont) : name);
  return copyFile(installedFont, to) ? to : std::string();
}

bool copyFile(const std::string& from, const std::string& to) {
  std::string part = to.substr(0, to.find_last_of('/') + 1) + ".part-" + baseName(to);
  {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(part, std::ios::binary);
    if (!in || !out) return false;
    out << in.rdbuf();
    if (!out.flush()) return false;
  }
  return rename(part.c_str(), to.c_str()) == 0;
}

std::string fontFacts(const std::vector<std::string>& languages,
                      const std::vector<std::string>& files) {
  std::string langs;
  for (const std::string& lang : languages) langs += (langs.empty() ? "" : ",") + lang;
  std::vector<std::string> argv = {"/usr/bin/python3", KAVRI_FONT_FACTS, "facts",
                                   langs.empty() ? "-" : langs};
  argv.insert(argv.end(), files.begin(), files.end());
  RunResult result = run(argv);
  if (result.exitStatus != 0) fprintf(stderr, "font_facts.py: %s\n", result.err.c_str());
  return result.exitStatus == 0 ? result.out : std::string();
}

bool restyleFont(const std::string& from, const std::string& to, const std::string& family,
                 int weightClass, int widthClass) {
  std::vector<std::string> argv = {
      "/usr/bin/python3", KAVRI_FONT_FACTS, "restyle", from, to, family};
  if (weightClass > 0) {
    argv.push_back(std::to_string(weightClass));
    argv.push_back(std::to_string(widthClass));
  }
  RunResult result = run(argv);
  if (result.exitStatus != 0) fprintf(stderr, "font_facts.py: %s\n", result.err.c_str());
  return result.exitStatus == 0;
}

bool makeClassProbes(const std::string& from, const std::string& dir) {
  RunResult result = run({"/usr/bin/python3", KAVRI_FONT_FACTS, "probes", from, dir});
  if (result.exitStatus != 0) fprintf(stderr, "font_facts.py: %s\n", result.err.c_str());
  return result.exitStatus == 0;
}

bool makeCollection(const std::vector<std::string>& from, const std::string& to) {
  std::vector<std::string> argv = {"/usr/bin/python3", KAVRI_FONT_FACTS, "collect", to};
  argv.insert(argv.end(), from.begin(), from.end());
  RunResult result = run(argv);
  if (result.exitStatus != 0) fprintf(stderr, "font_facts.py: %s\n", result.err.c_str());
  return result.exitStatus == 0;
}

}  // namespace kavri::testing
