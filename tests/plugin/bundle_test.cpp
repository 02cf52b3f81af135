// Loading plug-in binaries: load errors, the real bundle, its binary's exports, and `prismhollow describe`.

#include "Bundle.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <tuple>

#include "Host.h"
#include "Plugin.h"
#include "PluginFixture.h"
#include "TestSupport.h"
#include "ofxImageEffect.h"

namespace fs = std::filesystem;

namespace {

const std::string kBundleDir = ORV_BUNDLE_DIR;
const std::string kFixtures = ORV_FIXTURE_DIR;
const std::string kArch = "Contents/Linux-x86-64";
const std::string kBundleName = "PrismhollowDuneVeil.ofx.bundle";
const std::string kLabel = "Prismhollow Dune Veil";
const std::string kIdentifier = "com.prismhollow.duneveil.ofx";

std::string normal(const fs::path& path) { return fs::absolute(path).lexically_normal().string(); }
const std::string kBinary = normal(kBundleDir + "/" + kArch + "/PrismhollowDuneVeil.ofx");

// A copy of the real bundle in `folder` under `root`: its binary.
fs::path copyOfBundle(const fs::path& root, const std::string& folder) {
  fs::create_directories(root / folder);
  fs::copy(kBundleDir, root / folder / kBundleName, fs::copy_options::recursive);
  return root / folder / kBundleName / kArch / "PrismhollowDuneVeil.ofx";
}

TEST(BundleLoad, UnusablePathsAreRefusedWithClearMessagesAndTheHostCarriesOn) {
  TempDir tmp;
  const fs::path& t = tmp.path;
  for (const std::string& file : {"PrismhollowDuneVeil/" + kArch + "/PrismhollowDuneVeil.ofx",
                                  "Other.ofx.bundle/" + kArch + "/Another.ofx", std::string("x.ofx"),
                                  "Text.ofx.bundle/" + kArch + "/Text.ofx", std::string("notes.txt")}) {
    fs::create_directories((t / file).parent_path());
    std::ofstream(t / file) << "plain text, not an ELF shared library\n";
  }
  fs::create_directories(t / "Bare.ofx.bundle");
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {(t / "Nowhere.ofx.bundle").string(), {"no such file or folder"}},
      {(t / "PrismhollowDuneVeil").string(), {"not a plug-in bundle", "NAME.ofx.bundle"}},
      {(t / "Other.ofx.bundle").string(), {kArch + "/Other.ofx"}},
      {(t / "Bare.ofx.bundle").string(), {kArch + "/Bare.ofx"}},
      {(t / "x.ofx").string(), {"cannot load"}},
      {(t / "Text.ofx.bundle").string(), {"cannot load", normal(t / "Text.ofx.bundle" / kArch / "Text.ofx")}},
      {(t / "notes.txt").string(), {"not a plug-in binary"}},
      {normal(kFixtures + "/no_entry_points.ofx"), {"not an OpenFX plug-in", "OfxGetNumberOfPlugins"}},
      {normal(kFixtures + "/wrong_api.ofx"), {"\"SomethingElse\"", kOfxImageEffectPluginApi}},
      {normal(kFixtures + "/wrong_version.ofx"), {"version 2 is not supported"}},
  };
  ofxhost::Host host;
  for (const auto& [path, parts] : cases) {
    const std::string failure = loadFailure(host, path);
    EXPECT_TRUE(contains(failure, path)) << failure;
    for (const std::string& part : parts) EXPECT_TRUE(contains(failure, part)) << failure;
  }
  EXPECT_NO_THROW(host.loadPlugin(kBundleDir));
}

TEST(BundleLoad, TheRealBundleLoadsByFolderOrBinaryAbsoluteOrRelative) {
  const std::string relative = "./" + fs::relative(kBundleDir).string();  // relative, and not normal
  ASSERT_FALSE(fs::path(relative).is_absolute());
  for (const std::string& path : {kBundleDir, kBundleDir + "/", relative, kBinary}) {
    SCOPED_TRACE(path);
    auto bundle = ofxhost::Bundle::open(path);
    EXPECT_EQ(bundle->binaryPath(), kBinary);
    EXPECT_EQ(bundle->bundlePath(), normal(kBundleDir));
    EXPECT_EQ(bundle->pluginCount(), 1);
    ofxhost::Host host;
    ofxhost::Plugin& plugin = host.loadPlugin(path);
    EXPECT_EQ(plugin.identifier(), kIdentifier);
    const ofxhost::PropertySet& d = plugin.descriptor().properties();
    EXPECT_EQ(d.getString(kOfxPropLabel), kLabel);
    EXPECT_EQ(normal(d.getString(kOfxPluginPropFilePath)), normal(kBundleDir));
  }
  EXPECT_THROW(ofxhost::Bundle::open(kBundleDir)->plugin(1), ofxhost::HostError);
}

// ------------------------------------------------ running tools

// Each line of the output as often as it occurs.
int count(const Outcome& r, const std::string& line) {
  const Texts lines = r.lines();
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

Outcome prismhollow(const std::vector<std::string>& args, const std::string& environment = "") {
  std::string command = quoted(PRISMHOLLOW_COMMAND);
  for (const auto& a : args) command += " " + quoted(a);
  return run(command, environment);
}

// ------------------------------------------------ the binary's dynamic symbols and section

TEST(BundleSymbols, BinaryExportsExactlyTheEntryPointsAndNoSearchPathIntoTheBuildTree) {
  Outcome symbols = run("nm -D --defined-only " + quoted(kBinary));
  ASSERT_EQ(symbols.exitCode, 0) << symbols.output;
  std::set<std::string> exported;
  std::stringstream in(symbols.output);
  for (std::string address, type, name; in >> address >> type >> name;) exported.insert(name);
  EXPECT_EQ(exported, (std::set<std::string>{"OfxGetNumberOfPlugins", "OfxGetPlugin"}));

  // The OpenGL calls it makes: each one needs an entry in the overlay tests' recorder.
  Outcome imports = run("nm -D --undefined-only " + quoted(kBinary));
  std::set<std::string> gl;
  std::stringstream importsIn(imports.output);
  for (std::string type, name; importsIn >> type >> name;)
    if (name.rfind("gl", 0) == 0) gl.insert(name);
  EXPECT_EQ(gl, (std::set<std::string>{"glBegin", "glBlendFunc", "glColor4f", "glEnable", "glEnd", "glLineWidth",
                                       "glPopAttrib", "glPushAttrib", "glVertex2d"}));

  Outcome headers = run("objdump -p " + quoted(kBinary));
  ASSERT_EQ(headers.exitCode, 0) << headers.output;
  EXPECT_EQ(count(headers, "  NEEDED               libc.so.6"), 1) << "the dynamic section was read";
  for (const std::string& line : headers.lines()) {
    std::stringstream words(line);
    std::string tag, folders;
    if (!(words >> tag >> folders) || (tag != "RPATH" && tag != "RUNPATH")) continue;
    std::stringstream parts(folders);
    for (std::string folder; std::getline(parts, folder, ':');)
      EXPECT_FALSE(contains(normal(folder), normal(ORV_BUILD_DIR))) << line;
  }
}

// ------------------------------------------------- prismhollow describe

std::string binaryLine(const fs::path& binary) { return "  binary        " + binary.string(); }

TEST(BundleCommand, DescribeListsTheRealBundleByFolderOrBinary) {
  Outcome r = prismhollow({"describe", kBundleDir});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output, prismhollow({"describe", kBinary}).output);
  const Texts lines = r.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], kLabel);
  EXPECT_EQ(count(r, binaryLine(kBinary)), 1) << r.output;
  auto clips = std::find(lines.begin(), lines.end(), "  clips (" kOfxImageEffectContextFilter ")");
  ASSERT_GE(lines.end() - clips, 3) << r.output;
  EXPECT_EQ(clips[1].rfind("    Source ", 0), 0u) << clips[1];
  EXPECT_EQ(clips[2].rfind("    Output ", 0), 0u) << clips[2];
  std::vector<std::string> params;
  auto it = std::find(lines.begin(), lines.end(), "  parameters");
  for (it = it == lines.end() ? it : it + 1; it != lines.end() && it->rfind("    ", 0) == 0; ++it)
    params.push_back(it->substr(4, it->find(' ', 4) - 4));
  EXPECT_EQ(params,
            (std::vector<std::string>{"backend_url", "output_mode", "draw_mask", "select_tool", "brush_size",
                                      "text_hint", "quality", "edge_softness", "pull_alpha", "clear_mask",
                                      "reset_matte", "status", "bbox_json", "brush_json", "session_id", "clip_start"}));
}

TEST(BundleCommand, FailuresAndBadUsageExitWithOneOrTwo) {
  TempDir tmp;
  const std::string missing = (tmp.path / "Gone.ofx.bundle").string();
  copyOfBundle(tmp.path, "@hidden");
  const std::string hiddenOnly = "OFX_PLUGIN_PATH=" + quoted(tmp.path.string());
  const std::vector<std::tuple<std::string, std::vector<std::string>, int, std::vector<std::string>>> cases = {
      {"", {"describe", missing}, 1, {missing}},
      {"", {"describe", kFixtures + "/wrong_version.ofx"}, 1, {"version 2 is not supported"}},
      {hiddenOnly, {"describe"}, 1, {"no plug-in bundles found"}},
      {"", {"explode"}, 2, {"explode", "usage:"}},
      {"", {}, 2, {"usage:"}},
      {"", {"describe", kBundleDir, kBinary}, 2, {"usage:"}},
  };
  for (const auto& [environment, args, exitCode, parts] : cases) {
    SCOPED_TRACE(environment + " prismhollow " + (args.empty() ? "" : args.back()));
    if (!environment.empty() && fs::exists("/usr/OFX/Plugins")) continue;  // it may hold bundles
    Outcome r = prismhollow(args, environment);
    EXPECT_EQ(r.exitCode, exitCode) << r.output;
    for (const std::string& part : parts) EXPECT_TRUE(contains(r.output, part)) << r.output;
    EXPECT_FALSE(contains(r.output, kLabel)) << r.output;
  }
}

// Without an argument: every folder of OFX_PLUGIN_PATH in order, searched deep, "@" folders skipped, each real
// folder once however links loop back.
TEST(BundleCommand, DescribeWithoutArgumentSearchesThePluginPath) {
  TempDir tmp;
  const fs::path first = copyOfBundle(tmp.path, "first"), deep = copyOfBundle(tmp.path, "first/nested/deeper"),
                 second = copyOfBundle(tmp.path, "second");
  copyOfBundle(tmp.path, "first/@skipped");
  fs::create_directory_symlink(".", tmp.path / "first" / "again");
  fs::create_directory_symlink("..", tmp.path / "first" / "nested" / "back");
  Outcome r = prismhollow(
      {"describe"}, "OFX_PLUGIN_PATH=" + quoted((tmp.path / "second").string() + ":" + (tmp.path / "first").string()));
  for (const fs::path& binary : {first, deep, second}) EXPECT_EQ(count(r, binaryLine(binary)), 1) << r.output;
  EXPECT_LT(r.output.find(binaryLine(second)), r.output.find(binaryLine(first)));
  EXPECT_FALSE(contains(r.output, "@skipped")) << r.output;
  if (!fs::exists("/usr/OFX/Plugins")) {
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(count(r, kLabel), 3) << r.output;
  }
}

// A host whose plug-in path holds the build folder finds the effect there once.
TEST(BundleCommand, TheBuildFolderHoldsOneBundleOfTheEffect) {
  Outcome r = prismhollow({"describe"}, "OFX_PLUGIN_PATH=" + quoted(ORV_BUILD_DIR));
  int inBuild = 0;
  for (const std::string& line : r.lines()) inBuild += line.rfind(binaryLine(normal(ORV_BUILD_DIR)), 0) == 0;
  EXPECT_EQ(inBuild, 1) << r.output;
}

}  // namespace
