// Loading plug-in binaries: what the host says when a path is not a usable
// plug-in, how the real bundle loads, what its binary exports, and the
// `prismhollow describe` command.

#include "Bundle.h"

#include <elf.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Host.h"
#include "HostError.h"
#include "Plugin.h"
#include "ofxImageEffect.h"

namespace fs = std::filesystem;

namespace {

const std::string kBundleDir = ORV_BUNDLE_DIR;
const std::string kBinaryName = "PrismhollowDuneVeil.ofx";
const std::string kBundleName = "PrismhollowDuneVeil.ofx.bundle";
const std::string kArch = "Contents/Linux-x86-64";
const std::string kFixtures = ORV_FIXTURE_DIR;

std::string normal(const std::string& path) { return fs::absolute(path).lexically_normal().string(); }

const std::string kBinary = normal(kBundleDir + "/" + kArch + "/" + kBinaryName);

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A fresh folder under the system's temporary folder, removed with all it
// holds when the test is over.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "prismhollow-bundle-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = buffer.data();
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const fs::path& path() const { return path_; }
  // Creates the folder (and its parents) under the temporary folder.
  fs::path folder(const std::string& relative) const {
    fs::path p = path_ / relative;
    fs::create_directories(p);
    return p;
  }
  fs::path file(const std::string& relative, const std::string& text) const {
    fs::path p = path_ / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
    return p;
  }
  // A copy of the real bundle at relative (a NAME.ofx.bundle path).
  fs::path copyOfBundle(const std::string& relative) const {
    fs::path p = path_ / relative;
    fs::create_directories(p.parent_path());
    fs::copy(kBundleDir, p, fs::copy_options::recursive);
    return p;
  }

 private:
  fs::path path_;
};

// The message of the HostError that loading path throws; empty (and a
// failure) when it loads.
std::string loadError(const std::string& path) {
  try {
    ofxhost::Host host;
    host.loadPlugin(path);
  } catch (const ofxhost::HostError& e) {
    return e.what();
  }
  ADD_FAILURE() << "loading " << path << " did not fail";
  return "";
}

// ------------------------------------------------------------ load errors

TEST(BundleLoadErrors, MissingPathNamesThePath) {
  TempDir tmp;
  std::string missing = (tmp.path() / "Nowhere.ofx.bundle").string();
  std::string why = loadError(missing);
  EXPECT_TRUE(contains(why, missing)) << why;
  EXPECT_TRUE(contains(why, "no such file or folder")) << why;
}

TEST(BundleLoadErrors, FolderWithoutTheBundleSuffixIsRefused) {
  TempDir tmp;
  fs::path plain = tmp.folder("PrismhollowDuneVeil");
  tmp.file("PrismhollowDuneVeil/" + kArch + "/PrismhollowDuneVeil.ofx", "not used");
  std::string why = loadError(plain.string());
  EXPECT_TRUE(contains(why, plain.string())) << why;
  EXPECT_TRUE(contains(why, "not a plug-in bundle")) << why;
  EXPECT_TRUE(contains(why, "NAME.ofx.bundle")) << why;
}

TEST(BundleLoadErrors, BundleWithoutItsBinaryNamesTheMissingFile) {
  TempDir tmp;
  // The architecture folder exists, but holds a binary of another name.
  fs::path bundle = tmp.folder("Empty.ofx.bundle");
  tmp.file("Empty.ofx.bundle/" + kArch + "/Other.ofx", "not used");
  std::string why = loadError(bundle.string());
  EXPECT_TRUE(contains(why, bundle.string())) << why;
  EXPECT_TRUE(contains(why, kArch + "/Empty.ofx")) << why;

  // No Contents folder at all.
  fs::path bare = tmp.folder("Bare.ofx.bundle");
  why = loadError(bare.string());
  EXPECT_TRUE(contains(why, bare.string())) << why;
  EXPECT_TRUE(contains(why, kArch + "/Bare.ofx")) << why;
}

TEST(BundleLoadErrors, FileThatIsNotASharedLibraryCannotBeLoaded) {
  TempDir tmp;
  fs::path text = tmp.file("x.ofx", "this is plain text, not an ELF shared library\n");
  std::string why = loadError(text.string());
  EXPECT_TRUE(contains(why, "cannot load")) << why;
  EXPECT_TRUE(contains(why, normal(text.string()))) << why;

  // The same inside a well-formed bundle folder.
  fs::path bundle = tmp.folder("Text.ofx.bundle");
  tmp.file("Text.ofx.bundle/" + kArch + "/Text.ofx", "plain text\n");
  why = loadError(bundle.string());
  EXPECT_TRUE(contains(why, "cannot load")) << why;
  EXPECT_TRUE(contains(why, normal((bundle / kArch / "Text.ofx").string()))) << why;
}

TEST(BundleLoadErrors, FileWithoutTheOfxSuffixIsRefused) {
  TempDir tmp;
  fs::path notes = tmp.file("notes.txt", "hello\n");
  std::string why = loadError(notes.string());
  EXPECT_TRUE(contains(why, notes.string())) << why;
  EXPECT_TRUE(contains(why, "not a plug-in binary")) << why;
}

TEST(BundleLoadErrors, LibraryWithoutEntryPointsIsNotAPlugin) {
  std::string path = normal(kFixtures + "/no_entry_points.ofx");
  std::string why = loadError(path);
  EXPECT_TRUE(contains(why, path)) << why;
  EXPECT_TRUE(contains(why, "not an OpenFX plug-in")) << why;
  EXPECT_TRUE(contains(why, "OfxGetNumberOfPlugins")) << why;
}

TEST(BundleLoadErrors, PluginOfAnotherApiIsRefused) {
  std::string path = normal(kFixtures + "/wrong_api.ofx");
  std::string why = loadError(path);
  EXPECT_TRUE(contains(why, path)) << why;
  EXPECT_TRUE(contains(why, "\"SomethingElse\"")) << why;
  EXPECT_TRUE(contains(why, kOfxImageEffectPluginApi)) << why;
}

TEST(BundleLoadErrors, PluginOfAnotherApiVersionIsRefused) {
  std::string path = normal(kFixtures + "/wrong_version.ofx");
  std::string why = loadError(path);
  EXPECT_TRUE(contains(why, path)) << why;
  EXPECT_TRUE(contains(why, "version 2 is not supported")) << why;
}

TEST(BundleLoadErrors, FailedLoadLeavesTheHostUsable) {
  ofxhost::Host host;
  EXPECT_THROW(host.loadPlugin(kFixtures + "/wrong_api.ofx"), ofxhost::HostError);
  EXPECT_THROW(host.loadPlugin(kFixtures + "/no_entry_points.ofx"), ofxhost::HostError);
  ofxhost::Plugin& plugin = host.loadPlugin(kBundleDir);
  EXPECT_EQ(plugin.identifier(), "com.prismhollow.duneveil.ofx");
}

// ------------------------------------------------------------ real bundle

TEST(BundleLoad, RealBundleByItsFolder) {
  auto bundle = ofxhost::Bundle::open(kBundleDir);
  EXPECT_EQ(bundle->binaryPath(), kBinary);
  EXPECT_EQ(normal(bundle->bundlePath()), normal(kBundleDir));
  ASSERT_EQ(bundle->pluginCount(), 1);
  OfxPlugin* record = bundle->plugin(0);
  ASSERT_NE(record, nullptr);
  EXPECT_STREQ(record->pluginApi, kOfxImageEffectPluginApi);
  EXPECT_EQ(record->apiVersion, 1);
  EXPECT_STREQ(record->pluginIdentifier, "com.prismhollow.duneveil.ofx");
  EXPECT_NE(record->mainEntry, nullptr);
  EXPECT_NE(record->setHost, nullptr);
  try {
    bundle->plugin(1);
    ADD_FAILURE() << "plug-in number 1 of a one-plug-in binary was handed out";
  } catch (const ofxhost::HostError& e) {
    EXPECT_TRUE(contains(e.what(), "no number 1")) << e.what();
  }
}

TEST(BundleLoad, RealBundleByItsBinaryFindsTheSameBundle) {
  auto byFile = ofxhost::Bundle::open(kBinary);
  EXPECT_EQ(byFile->binaryPath(), kBinary);
  EXPECT_EQ(normal(byFile->bundlePath()), normal(kBundleDir));
  EXPECT_EQ(byFile->pluginCount(), 1);
}

TEST(BundleLoad, FolderWithTrailingSlashAndRelativePathsLoad) {
  EXPECT_EQ(ofxhost::Bundle::open(kBundleDir + "/")->binaryPath(), kBinary);
  std::string relative = fs::relative(kBundleDir).string();
  ASSERT_FALSE(fs::path(relative).is_absolute());
  auto bundle = ofxhost::Bundle::open(relative);
  EXPECT_EQ(bundle->binaryPath(), kBinary);
  EXPECT_TRUE(fs::path(bundle->bundlePath()).is_absolute()) << bundle->bundlePath();
}

TEST(BundleLoad, HostDescribesThePluginLoadedEitherWay) {
  for (const std::string& path : {kBundleDir, kBinary}) {
    SCOPED_TRACE(path);
    ofxhost::Host host;
    ofxhost::Plugin& plugin = host.loadPlugin(path);
    EXPECT_EQ(plugin.identifier(), "com.prismhollow.duneveil.ofx");
    EXPECT_EQ(plugin.loadStatus(), kOfxStatOK);
    const ofxhost::PropertySet& d = plugin.descriptor().properties();
    EXPECT_EQ(d.getString(kOfxPropLabel), "Prismhollow Dune Veil");
    EXPECT_EQ(normal(d.getString(kOfxPluginPropFilePath)), normal(kBundleDir));
  }
}

// ------------------------------------------------ the binary's symbol table

struct DynamicInfo {
  bool hasDynsym = false;
  bool hasDynamic = false;
  std::set<std::string> exported;  // defined GLOBAL or WEAK dynamic symbols
  std::vector<std::string> needed;
  std::vector<std::string> searchPaths;  // DT_RPATH and DT_RUNPATH values
};

// Reads the dynamic symbol table and dynamic section of a 64-bit
// little-endian ELF file, checking every offset against the file's size.
DynamicInfo readDynamicInfo(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto need = [&](std::uint64_t offset, std::uint64_t size, const char* what) {
    if (offset > bytes.size() || size > bytes.size() - offset)
      throw std::runtime_error(std::string(what) + " lies outside " + path);
  };
  need(0, sizeof(Elf64_Ehdr), "the ELF header");
  Elf64_Ehdr header;
  std::memcpy(&header, bytes.data(), sizeof header);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) throw std::runtime_error(path + " is not an ELF file");
  if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB)
    throw std::runtime_error(path + " is not a 64-bit little-endian ELF file");
  if (header.e_shentsize != sizeof(Elf64_Shdr)) throw std::runtime_error(path + ": unexpected section header size");
  need(header.e_shoff, std::uint64_t{header.e_shnum} * sizeof(Elf64_Shdr), "the section headers");
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  std::memcpy(sections.data(), bytes.data() + header.e_shoff, sections.size() * sizeof(Elf64_Shdr));

  auto stringAt = [&](const Elf64_Shdr& table, std::uint64_t offset) {
    need(table.sh_offset, table.sh_size, "a string table");
    if (offset >= table.sh_size) throw std::runtime_error(path + ": string offset outside its table");
    const char* start = bytes.data() + table.sh_offset + offset;
    return std::string(start, strnlen(start, table.sh_size - offset));
  };
  auto linked = [&](const Elf64_Shdr& section) -> const Elf64_Shdr& {
    if (section.sh_link >= sections.size()) throw std::runtime_error(path + ": bad section link");
    return sections[section.sh_link];
  };

  DynamicInfo info;
  for (const Elf64_Shdr& section : sections) {
    if (section.sh_type == SHT_DYNSYM) {
      info.hasDynsym = true;
      need(section.sh_offset, section.sh_size, "the dynamic symbol table");
      const Elf64_Shdr& names = linked(section);
      for (std::uint64_t at = 0; at + sizeof(Elf64_Sym) <= section.sh_size; at += sizeof(Elf64_Sym)) {
        Elf64_Sym symbol;
        std::memcpy(&symbol, bytes.data() + section.sh_offset + at, sizeof symbol);
        int bind = ELF64_ST_BIND(symbol.st_info);
        if (symbol.st_shndx == SHN_UNDEF || (bind != STB_GLOBAL && bind != STB_WEAK)) continue;
        info.exported.insert(stringAt(names, symbol.st_name));
      }
    } else if (section.sh_type == SHT_DYNAMIC) {
      info.hasDynamic = true;
      need(section.sh_offset, section.sh_size, "the dynamic section");
      const Elf64_Shdr& names = linked(section);
      for (std::uint64_t at = 0; at + sizeof(Elf64_Dyn) <= section.sh_size; at += sizeof(Elf64_Dyn)) {
        Elf64_Dyn entry;
        std::memcpy(&entry, bytes.data() + section.sh_offset + at, sizeof entry);
        if (entry.d_tag == DT_NULL) break;
        if (entry.d_tag == DT_NEEDED) info.needed.push_back(stringAt(names, entry.d_un.d_val));
        if (entry.d_tag == DT_RPATH || entry.d_tag == DT_RUNPATH)
          info.searchPaths.push_back(stringAt(names, entry.d_un.d_val));
      }
    }
  }
  return info;
}

TEST(BundleSymbols, BinaryExportsExactlyTheTwoEntryPoints) {
  DynamicInfo info = readDynamicInfo(kBinary);
  ASSERT_TRUE(info.hasDynsym);
  EXPECT_EQ(info.exported, (std::set<std::string>{"OfxGetNumberOfPlugins", "OfxGetPlugin"}));
}

TEST(BundleSymbols, ReaderSeesWhatAnotherLibraryExports) {
  // The same reader on a library that exports something else entirely.
  DynamicInfo info = readDynamicInfo(kFixtures + "/no_entry_points.ofx");
  ASSERT_TRUE(info.hasDynsym);
  EXPECT_EQ(info.exported.count("prismhollowFixtureAnswer"), 1u);
  EXPECT_EQ(info.exported.count("OfxGetPlugin"), 0u);
}

TEST(BundleSymbols, BinaryCarriesNoSearchPathIntoTheBuildTree) {
  DynamicInfo info = readDynamicInfo(kBinary);
  ASSERT_TRUE(info.hasDynamic);
  // The dynamic section was read: the C library is among the needed ones.
  EXPECT_NE(std::find(info.needed.begin(), info.needed.end(), "libc.so.6"), info.needed.end());
  const std::string buildDir = normal(ORV_BUILD_DIR);
  for (const std::string& entry : info.searchPaths) {
    std::stringstream parts(entry);
    std::string folder;
    while (std::getline(parts, folder, ':'))
      EXPECT_FALSE(contains(normal(folder), buildDir)) << "search path " << entry << " names the build tree";
  }
}

// ------------------------------------------------- prismhollow describe

struct CommandResult {
  int exitCode = -1;
  std::string output;  // stdout and stderr together
};

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs prismhollow with the arguments, killed if it is still running after
// a minute. environment is prefixed to the command (NAME=value ...).
CommandResult runPrismhollow(const std::vector<std::string>& args, const std::string& environment = "") {
  std::string command = environment + " timeout -k 5 60 " + shellQuoted(PRISMHOLLOW_COMMAND);
  for (const auto& a : args) command += " " + shellQuoted(a);
  command += " 2>&1";
  CommandResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("popen failed for " + command);
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  int status = pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  EXPECT_NE(result.exitCode, 124) << "prismhollow " << (args.empty() ? "" : args[0]) << " timed out";
  return result;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

// The first word of each line after the line "  parameters".
std::vector<std::string> parameterNames(const std::vector<std::string>& listing) {
  std::vector<std::string> names;
  auto it = std::find(listing.begin(), listing.end(), "  parameters");
  if (it == listing.end()) return names;
  for (++it; it != listing.end() && it->rfind("    ", 0) == 0; ++it) {
    std::stringstream words(*it);
    std::string name;
    words >> name;
    names.push_back(name);
  }
  return names;
}

int countLines(const std::vector<std::string>& listing, const std::string& wanted) {
  return static_cast<int>(std::count(listing.begin(), listing.end(), wanted));
}

const std::vector<std::string> kParameterNames = {"backend_url", "output_mode", "draw_mask",   "select_tool",
                                                  "brush_size",  "text_hint",   "quality",     "edge_softness",
                                                  "pull_alpha",  "clear_mask",  "reset_matte", "status",
                                                  "bbox_json",   "brush_json",  "session_id",  "clip_start"};

TEST(BundleCommand, DescribeListsTheRealBundle) {
  CommandResult r = runPrismhollow({"describe", kBundleDir});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  std::vector<std::string> listing = lines(r.output);
  ASSERT_FALSE(listing.empty());
  EXPECT_EQ(listing[0], "Prismhollow Dune Veil");
  EXPECT_EQ(countLines(listing, "  binary        " + kBinary), 1) << r.output;

  auto clips = std::find(listing.begin(), listing.end(), "  clips (" kOfxImageEffectContextFilter ")");
  ASSERT_NE(clips, listing.end()) << r.output;
  ASSERT_GE(listing.end() - clips, 3);
  EXPECT_EQ(clips[1].rfind("    Source ", 0), 0u) << clips[1];
  EXPECT_EQ(clips[2].rfind("    Output ", 0), 0u) << clips[2];

  EXPECT_EQ(parameterNames(listing), kParameterNames) << r.output;
}

TEST(BundleCommand, DescribeByTheBinaryPathListsTheSame) {
  CommandResult byFolder = runPrismhollow({"describe", kBundleDir});
  CommandResult byFile = runPrismhollow({"describe", kBinary});
  ASSERT_EQ(byFile.exitCode, 0) << byFile.output;
  EXPECT_EQ(byFile.output, byFolder.output);
}

TEST(BundleCommand, DescribeOfAMissingPathFailsNamingIt) {
  TempDir tmp;
  std::string missing = (tmp.path() / "Gone.ofx.bundle").string();
  CommandResult r = runPrismhollow({"describe", missing});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_TRUE(contains(r.output, missing)) << r.output;
  EXPECT_FALSE(contains(r.output, "Prismhollow Dune Veil")) << r.output;
}

TEST(BundleCommand, DescribeOfAFixtureReportsWhyItFailed) {
  CommandResult r = runPrismhollow({"describe", kFixtures + "/wrong_version.ofx"});
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_TRUE(contains(r.output, "version 2 is not supported")) << r.output;
}

TEST(BundleCommand, UnknownSubcommandAndBadUsageExitWithTwo) {
  CommandResult unknown = runPrismhollow({"explode"});
  EXPECT_EQ(unknown.exitCode, 2) << unknown.output;
  EXPECT_TRUE(contains(unknown.output, "explode")) << unknown.output;
  EXPECT_TRUE(contains(unknown.output, "usage:")) << unknown.output;

  EXPECT_EQ(runPrismhollow({}).exitCode, 2);
  EXPECT_EQ(runPrismhollow({"describe", kBundleDir, kBinary}).exitCode, 2);
}

TEST(BundleCommand, DescribeWithoutArgumentSearchesThePluginPath) {
  TempDir tmp;
  fs::path plugins = tmp.folder("plugins");
  tmp.copyOfBundle("plugins/" + kBundleName);
  tmp.copyOfBundle("plugins/nested/deeper/" + kBundleName);
  tmp.copyOfBundle("plugins/@skipped/" + kBundleName);
  auto binaryLine = [&](const std::string& relative) {
    return "  binary        " + (plugins / relative / kArch / kBinaryName).string();
  };

  CommandResult r = runPrismhollow({"describe"}, "OFX_PLUGIN_PATH=" + shellQuoted(plugins.string()));
  std::vector<std::string> listing = lines(r.output);
  EXPECT_EQ(countLines(listing, binaryLine(kBundleName)), 1) << r.output;
  EXPECT_EQ(countLines(listing, binaryLine("nested/deeper/" + kBundleName)), 1) << r.output;
  EXPECT_EQ(countLines(listing, binaryLine("@skipped/" + kBundleName)), 0) << r.output;
  EXPECT_FALSE(contains(r.output, "@skipped")) << r.output;
  // Anything installed in the system folder may add to these, never take away.
  EXPECT_GE(countLines(listing, "Prismhollow Dune Veil"), 2) << r.output;
  if (!fs::exists("/usr/OFX/Plugins")) {
    EXPECT_EQ(r.exitCode, 0) << r.output;
  }
}

TEST(BundleCommand, DescribeWithoutArgumentSearchesEveryFolderInOrder) {
  TempDir tmp;
  fs::path first = tmp.folder("first");
  fs::path second = tmp.folder("second");
  tmp.copyOfBundle("first/" + kBundleName);
  tmp.copyOfBundle("second/" + kBundleName);
  std::string firstLine = "  binary        " + (first / kBundleName / kArch / kBinaryName).string();
  std::string secondLine = "  binary        " + (second / kBundleName / kArch / kBinaryName).string();

  CommandResult r =
      runPrismhollow({"describe"}, "OFX_PLUGIN_PATH=" + shellQuoted(second.string() + ":" + first.string()));
  std::vector<std::string> listing = lines(r.output);
  auto a = std::find(listing.begin(), listing.end(), secondLine);
  auto b = std::find(listing.begin(), listing.end(), firstLine);
  ASSERT_NE(a, listing.end()) << r.output;
  ASSERT_NE(b, listing.end()) << r.output;
  EXPECT_LT(a, b) << "the folders of OFX_PLUGIN_PATH are searched in their order";
}

TEST(BundleCommand, DescribeWithoutArgumentAndNothingToFindFails) {
  if (fs::exists("/usr/OFX/Plugins")) GTEST_SKIP() << "/usr/OFX/Plugins exists on this machine";
  TempDir tmp;
  tmp.copyOfBundle("@hidden/" + kBundleName);
  CommandResult r = runPrismhollow({"describe"}, "OFX_PLUGIN_PATH=" + shellQuoted(tmp.path().string()));
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_TRUE(contains(r.output, "no plug-in bundles found")) << r.output;
}

}  // namespace
