#include "Bundle.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>

#include "HostError.h"

namespace fs = std::filesystem;

namespace ofxhost {

namespace {

constexpr const char* kBundleSuffix = ".ofx.bundle";
constexpr const char* kArchFolder = "Contents/Linux-x86-64";

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Folders are visited once each, by their real path, so that links that
// loop back cannot make the search endless.
void searchFolder(const fs::path& folder, std::vector<std::string>& found, std::set<fs::path>& visited) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return;
  fs::path real = fs::canonical(folder, ec);
  if (ec || !visited.insert(real).second) return;
  std::vector<fs::path> entries;
  for (const auto& entry : fs::directory_iterator(folder, ec)) entries.push_back(entry.path());
  std::sort(entries.begin(), entries.end());
  for (const auto& path : entries) {
    std::string name = path.filename().string();
    if (name.empty() || name[0] == '@' || !fs::is_directory(path, ec)) continue;
    if (endsWith(name, kBundleSuffix))
      found.push_back(path.string());
    else
      searchFolder(path, found, visited);
  }
}

}  // namespace

std::string binaryInBundle(const std::string& path) {
  std::error_code ec;
  fs::path p(path);
  if (!fs::exists(p, ec)) throw HostError("no such file or folder: " + path);
  if (fs::is_directory(p, ec)) {
    std::string folder = fs::path(p).lexically_normal().filename().string();
    if (folder.empty()) folder = p.lexically_normal().parent_path().filename().string();
    if (!endsWith(folder, kBundleSuffix)) throw HostError(path + " is not a plug-in bundle (a NAME.ofx.bundle folder)");
    std::string name = folder.substr(0, folder.size() - std::string(".bundle").size());
    fs::path binary = p / kArchFolder / name;
    if (!fs::is_regular_file(binary, ec))
      throw HostError("bundle " + path + " has no " + std::string(kArchFolder) + "/" + name);
    return binary.string();
  }
  if (!endsWith(p.filename().string(), ".ofx")) throw HostError(path + " is not a plug-in binary (a .ofx file)");
  return p.string();
}

std::shared_ptr<Bundle> Bundle::open(const std::string& path) {
  std::shared_ptr<Bundle> bundle(new Bundle());
  bundle->binaryPath_ = fs::absolute(binaryInBundle(path)).lexically_normal().string();
  fs::path binary(bundle->binaryPath_);
  fs::path arch = binary.parent_path();
  bool inBundle =
      arch.filename() == "Linux-x86-64" && endsWith(arch.parent_path().parent_path().string(), kBundleSuffix);
  bundle->bundlePath_ = inBundle ? arch.parent_path().parent_path().string() : binary.parent_path().string();

  dlerror();
  bundle->library_ = dlopen(bundle->binaryPath_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!bundle->library_) {
    const char* why = dlerror();
    throw HostError("cannot load " + bundle->binaryPath_ + ": " + (why ? why : "unknown error"));
  }
  auto count = reinterpret_cast<int (*)()>(dlsym(bundle->library_, "OfxGetNumberOfPlugins"));
  bundle->getPlugin_ = reinterpret_cast<OfxPlugin* (*)(int)>(dlsym(bundle->library_, "OfxGetPlugin"));
  if (!count || !bundle->getPlugin_)
    throw HostError(bundle->binaryPath_ + " is not an OpenFX plug-in: it does not export " +
                    (!count ? "OfxGetNumberOfPlugins" : "OfxGetPlugin"));
  bundle->count_ = count();
  if (bundle->count_ < 1) throw HostError(bundle->binaryPath_ + " holds no plug-ins");
  return bundle;
}

Bundle::~Bundle() {
  if (library_) dlclose(library_);
}

OfxPlugin* Bundle::plugin(int index) const {
  if (index < 0 || index >= count_) {
    std::ostringstream why;
    why << binaryPath_ << " holds " << count_ << " plug-in(s); there is no number " << index;
    throw HostError(why.str());
  }
  return getPlugin_(index);
}

std::vector<std::string> findBundles() {
  std::vector<std::string> found;
  std::set<fs::path> visited;
  if (const char* path = std::getenv("OFX_PLUGIN_PATH")) {
    std::stringstream folders(path);
    std::string folder;
    while (std::getline(folders, folder, ':'))
      if (!folder.empty()) searchFolder(folder, found, visited);
  }
  searchFolder("/usr/OFX/Plugins", found, visited);
  return found;
}

}  // namespace ofxhost
