// The start-up beacon, seen from a real HTTP backend on 127.0.0.1: what one
// instance creation sends, which backend addresses send nothing, and that a
// failing or silent backend never holds up the instance.

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>

#include "RenderFixture.h"
#include "ScriptedBackend.h"

using namespace ofxhost;

namespace {

const std::string kBody = R"({"arch":"x86_64","host":"resolve","os":"linux","plugin_version":"1.1.0"})";

// A listening socket on 127.0.0.1 that nobody serves: a beacon sent to it in
// any protocol still leaves a completed connection in its backlog.
class Tripwire {
 public:
  Tripwire() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd_, 16) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
      port_ = ntohs(addr.sin_port);
  }
  ~Tripwire() { ::close(fd_); }
  int port() const { return port_; }
  // Waits, 10 s at most, until a connection is waiting to be taken.
  bool pending() const {
    pollfd waiting{fd_, POLLIN, 0};
    return ::poll(&waiting, 1, 10000) == 1;
  }
  // Connections made so far; each is closed at once, so its sender gives up.
  int connections() {
    for (int c; (c = ::accept(fd_, nullptr, nullptr)) >= 0; ++count_) ::close(c);
    return count_;
  }

 private:
  int fd_;
  int port_ = -1;
  int count_ = 0;
};

class BeaconTest : public PluginTest {
 protected:
  // Creates an instance whose backend_url holds `url` from the start, as
  // when a project is opened; creation succeeds whatever the address.
  std::shared_ptr<EffectInstance> createWith(const std::string& url) {
    ofxhost::InstanceSettings settings;
    settings.projectWidth = settings.projectHeight = 4;
    auto fx = plugin->makeInstance(settings);
    fx->setValue("backend_url", url);
    EXPECT_EQ(fx->create(), kOfxStatOK) << url;
    instances.push_back(fx);
    return fx;
  }

  // Waits for the `expected` beacons, then sends one more to a path of its
  // own and waits for that too, so that any surplus beacon of the earlier
  // creations has had its turn; returns every request but the last one.
  std::vector<Request> settle(ScriptedBackend& backend, size_t expected) {
    const auto marker = [](const Request& r) { return r.path == "/marker/api/beacon"; };
    EXPECT_TRUE(backend.waitFor([&](const std::vector<Request>& seen) { return seen.size() >= expected; }));
    createWith(backend.url() + "/marker");
    EXPECT_TRUE(backend.waitFor([&](const std::vector<Request>& s) { return std::any_of(s.begin(), s.end(), marker); }));
    std::vector<Request> seen = backend.requests();
    seen.erase(std::remove_if(seen.begin(), seen.end(), marker), seen.end());
    return seen;
  }

  std::vector<std::shared_ptr<EffectInstance>> instances;
};

}  // namespace

// Each creation posts the fixed body once, as JSON; editing the address later sends nothing.
TEST_F(BeaconTest, TheBaseAddressIsUsedAsTypedAndEveryCreationSendsOne) {
  ScriptedBackend backend;
  createWith(backend.url() + "/");
  for (int i = 0; i < 3; ++i) createWith(backend.url());
  EXPECT_EQ(instances.back()->userEdit("backend_url", backend.url() + "/edited"), kOfxStatReplyDefault);
  const std::vector<Request> seen = settle(backend, 4);
  ASSERT_EQ(seen.size(), 4u);
  int plain = 0, doubled = 0;
  for (const Request& s : seen) {
    EXPECT_EQ(s.method, "POST");
    EXPECT_EQ(s.body, kBody);
    EXPECT_EQ(s.header("Content-Type"), "application/json");
    EXPECT_EQ(s.header("Accept"), "application/json");
    EXPECT_EQ(s.header("User-Agent"), "PrismhollowDuneVeil-OFX/1.1");
    plain += s.path == "/api/beacon";
    doubled += s.path == "//api/beacon";
  }
  EXPECT_EQ(plain, 3);
  EXPECT_EQ(doubled, 1);
}

TEST_F(BeaconTest, OnlyAnAddressStartingWithLowerCaseHttpSendsABeacon) {
  ScriptedBackend backend;
  Tripwire tripwire;
  ASSERT_GT(tripwire.port(), 0);
  const std::string hostPort = backend.url().substr(std::string("http://").size());
  const std::string ftp = "ftp://127.0.0.1:" + std::to_string(tripwire.port());
  for (const std::string& refused : {std::string(), ftp, "HTTP://" + hostPort, hostPort + "/http"}) createWith(refused);
  EXPECT_TRUE(settle(backend, 0).empty());
  EXPECT_EQ(tripwire.connections(), 0);

  // The tripwire does notice a beacon that is sent.
  createWith("http://127.0.0.1:" + std::to_string(tripwire.port()));
  waitUntil([&] { return tripwire.connections() > 0; });
  EXPECT_EQ(tripwire.connections(), 1);
}

TEST_F(BeaconTest, AFailingOrSilentBackendLeavesTheInstanceWorking) {
  for (const bool silent : {false, true}) {
    SCOPED_TRACE(silent ? "silent backend" : "backend answering 500");
    ScriptedBackend backend;
    backend.onStart(Reply{500, "{}", "application/json", silent});
    auto fx = createWith(backend.url());
    ASSERT_TRUE(backend.waitFor([](const std::vector<Request>& seen) { return !seen.empty(); }));

    auto source = solidImage({0, 0, 4, 4}, kOfxBitDepthByte, {200, 100, 50, 255});
    fx->setSource([source](OfxTime) { return source; });
    RenderResult rendered = fx->render(0);
    ASSERT_EQ(rendered.status, kOfxStatOK);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x)
        EXPECT_EQ(std::memcmp(rendered.output->pixel(x, y), source->pixel(x, y), 4), 0) << x << "," << y;
    EXPECT_EQ(fx->userEdit("text_hint", "the dancer"), kOfxStatReplyDefault);
    EXPECT_EQ(fx->stringValue("text_hint"), "the dancer");
    // Creation and the later actions all returned while the backend still
    // held the beacon unanswered.
    if (silent) {
      EXPECT_EQ(backend.answered(), 0);
    }
  }
}

TEST_F(BeaconTest, ThePluginStaysMappedAfterUnloadWhileABeaconIsInFlight) {
  Tripwire silent;
  createWith("http://127.0.0.1:" + std::to_string(silent.port()));
  ASSERT_TRUE(silent.pending());  // the beacon now waits for an answer inside the plug-in's code
  const std::string binary = plugin->bundle().binaryPath();
  instances.clear();
  host.reset();
  void* stillMapped = dlopen(binary.c_str(), RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(stillMapped, nullptr);
  if (stillMapped) dlclose(stillMapped);
  // Wakes the beacon, which returns into the plug-in and ends.
  EXPECT_EQ(silent.connections(), 1);
}

// Quitting a host while beacons are still talking TLS must not crash the
// exit: the plug-in stops its threads before the TLS library is torn down.
TEST(BeaconAtExit, AHostThatExitsWithBeaconsInFlightExitsCleanly) {
  Tripwire silent;  // accepts and never answers
  const std::string refused = "https://127.0.0.1:9";
  for (int run = 0; run < 12; ++run) {
    const std::string url = run % 2 ? refused : "https://127.0.0.1:" + std::to_string(silent.port());
    const std::string command =
        "timeout -k 5 60 " + quoted(EXIT_WITH_BEACONS_COMMAND) + " " + quoted(ORV_BUNDLE_DIR) + " " + quoted(url);
    EXPECT_EQ(std::system(command.c_str()), 0) << "run " << run << ": " << url;
  }
}
