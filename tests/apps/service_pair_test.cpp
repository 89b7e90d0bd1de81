// The whole service on one machine, as a user runs it: korvan-server with an
// account, korvan --service in front of it, curl as the browser, and an HTTP
// origin on loopback.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/apps/service_pair_fixture.h"
#include "tests/server/origins.h"

namespace korvan {
namespace {

// An HTTP port and a SOCKS 4 port; the server may fetch from loopback.
class ServicePair : public test::ServicePairFixture {
 protected:
  void SetUp() override {
    PrepareFolders();
    if (IsSkipped() || HasFatalFailure()) return;
    StartServer({"--allow-private"});
    if (HasFatalFailure()) return;
    std::vector<test::PortEntry> ports{{Protocol::kHttp}, {Protocol::kSocks4}};
    StartClient(ports);
    http_port_ = ports[0].local_port;
    socks_port_ = ports[1].local_port;
  }
};

TEST_F(ServicePair, HttpThroughTheProxyPort) {
  for (const char* path : {"/page.html", "/blob.bin", "/chunked"}) {
    const std::string direct = Curl(origin_.url(path));
    ASSERT_NE(direct, "<curl failed>");
    EXPECT_EQ(Curl(Proxy() + " " + origin_.url(path)), direct) << path;
  }
  EXPECT_EQ(Curl(Proxy() + " --data-binary 'a=1&b=%25' " + origin_.url("/echo")), "a=1&b=%25");
  EXPECT_NE(Curl(Proxy() + " -I " + origin_.url("/page.html")).find("200"), std::string::npos);
  // Two requests on one kept connection.
  const std::string both = Curl(Proxy() + " " + origin_.url("/page.html") + " " + origin_.url("/page.html"));
  EXPECT_EQ(both, Curl(origin_.url("/page.html")) + Curl(origin_.url("/page.html")));
}

TEST_F(ServicePair, ConnectTunnelAndSocks) {
  const std::string direct = Curl(origin_.url("/blob.bin"));
  EXPECT_EQ(Curl("-p " + Proxy() + " " + origin_.url("/blob.bin")), direct);
  const std::string socks = "127.0.0.1:" + std::to_string(socks_port_);
  EXPECT_EQ(Curl("--socks4 " + socks + " " + origin_.url("/blob.bin")), direct);
  EXPECT_EQ(Curl("--socks4a " + socks + " http://localhost:" + std::to_string(origin_.port()) + "/page.html"),
            Curl(origin_.url("/page.html")));
}

TEST_F(ServicePair, GeneratedPagesForLoginCreditAndUnreachableTargets) {
  const std::string unreachable = Curl(Proxy() + " -i http://127.0.0.1:" +
                                       std::to_string(server::test::ClosedPort()) + "/");
  EXPECT_TRUE(unreachable.starts_with("HTTP/1.1 504 OK")) << unreachable;

  Account("set", "--password wrong");
  const std::string login = Curl(Proxy() + " -i " + origin_.url("/page.html"));
  EXPECT_TRUE(login.starts_with("HTTP/1.1 404 OK")) << login;

  Account("set", "--password demo --credit 0");
  const std::string credit = Curl(Proxy() + " -i " + origin_.url("/page.html"));
  EXPECT_TRUE(credit.starts_with("HTTP/1.1 404 OK")) << credit;
  EXPECT_NE(credit.find("100000001"), std::string::npos) << "the page names the demo account";
}

}  // namespace
}  // namespace korvan
