#include "connection/transport/ephemeral_http_transport.hpp"

#include "connection/sign_in/form_encoding.hpp"
#include "connection/transport/connection_error.hpp"
#include "connection/transport/http_result.hpp"
#include "connection/transport/http_transport.hpp"
#include "platform/net/ephemeral_session.hpp"
#include "platform/net/network_error.hpp"
#include "platform/net/request.hpp"
#include "platform/foundation/testing/temporary_directory.hpp"
#include "platform/net/testing/test_certificate_authority.hpp"
#include "platform/net/testing/test_tls_server.hpp"
#include "platform/runtime/testing/run_until.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/url/parse.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvanta {
namespace {

namespace asio = boost::asio;
namespace support = platform::net::testing;
using namespace std::chrono_literals;
using platform::bytesOf;
using platform::net::NetworkError;
using Connection = support::TestTLSServer::Connection;

constexpr std::size_t mebibyte = 1'048'576;

std::string framed(int status, const std::string& reason, const std::vector<std::string>& lines,
                   const std::string& body) {
  std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
  for (const auto& line : lines) text += line + "\r\n";
  return text + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

asio::awaitable<void> answer(Connection& connection, std::string response) {
  const bool shookHands = co_await connection.handshake();
  if (!shookHands) co_return;
  const auto request = co_await connection.readRequest();
  if (!request) co_return;
  const bool written = co_await connection.write(response);
  if (written) co_await connection.closeTLS();
}

support::TestTLSServer::Script answering(std::string response) {
  return [response](Connection& connection) { return answer(connection, response); };
}

// What a caller of the transport gets back.
struct Outcome {
  std::optional<HTTPResult> result;
  std::optional<ConnectionError> connectionError;
  std::optional<NetworkError> networkError;
};

class EphemeralHTTPTransportTest : public ::testing::Test {
protected:
  EphemeralHTTPTransportTest() : authorityFile_(directory_.write("authority.pem", authority_.certificatePEM())) {}

  support::CertifiedKey localhostIdentity() const { return authority_.issue({{"localhost"}, {}}); }

  std::shared_ptr<HTTPTransport> transport() const {
    // Limits that a busy machine cannot reach; no test here waits for one.
    auto configuration = platform::net::SessionConfiguration::ephemeral(30s);
    configuration.extraCertificateAuthorities = authorityFile_;
    return std::make_shared<EphemeralHTTPTransport>(configuration);
  }

  static platform::net::Request get(const std::string& url) {
    platform::net::Request request;
    request.url = boost::urls::url(boost::urls::parse_uri(url).value());
    return request;
  }

  static std::string at(const support::TestTLSServer& server, const std::string& path = "/") {
    return "https://localhost:" + std::to_string(server.port()) + path;
  }

  Outcome perform(const std::shared_ptr<HTTPTransport>& through, platform::net::Request request) {
    Outcome outcome;
    try {
      outcome.result = platform::runtime::testing::runToCompletion(io_, through->send(std::move(request)));
    } catch (const ConnectionError& error) {
      outcome.connectionError = error;
    } catch (const NetworkError& error) {
      outcome.networkError = error;
    }
    return outcome;
  }

  Outcome perform(platform::net::Request request) { return perform(transport(), std::move(request)); }

  asio::io_context io_;
  support::TestCertificateAuthority authority_;
  platform::foundation::testing::TemporaryDirectory directory_;
  std::filesystem::path authorityFile_;
};

TEST_F(EphemeralHTTPTransportTest, SendsTheRequestAsGivenAndReturnsStatusAndBody) {
  support::TestTLSServer server(localhostIdentity(), answering(framed(200, "OK", {"Set-Cookie: id=1"}, "hello")));
  auto request = get(at(server, "/token"));
  request.method = "POST";
  request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}, {"Accept", "application/json"}};
  request.body = bytesOf("a=b");

  const auto outcome = perform(request);

  ASSERT_TRUE(outcome.result);
  EXPECT_EQ(*outcome.result, (HTTPResult{200, bytesOf("hello")}));
  ASSERT_EQ(server.requests().size(), 1u);
  const auto received = server.requests().front();
  EXPECT_EQ(received.method, "POST");
  EXPECT_EQ(received.target, "/token");
  EXPECT_EQ(received.body, "a=b");
  EXPECT_EQ(platform::net::headerValue(received.headers, "Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(platform::net::headerValue(received.headers, "Accept"), "application/json");
}

TEST_F(EphemeralHTTPTransportTest, AnyStatusIsAResultNeverAnError) {
  struct Case {
    int status;
    std::string reason;
    std::vector<std::string> lines;
    std::string body;
  };
  const std::vector<Case> cases = {
      // The redirect is the answer: its location is never requested.
      {302, "Found", {"Location: https://localhost:1/elsewhere"}, "moved"},
      {401, "Unauthorized", {"WWW-Authenticate: Bearer"}, R"({"error":"invalid_token"})"},
      {500, "Internal Server Error", {}, "oops"},
      {204, "No Content", {}, ""},
      {200, "OK", {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    support::TestTLSServer server(localhostIdentity(), answering(framed(c.status, c.reason, c.lines, c.body)));
    const auto outcome = perform(get(at(server)));
    ASSERT_TRUE(outcome.result);
    EXPECT_EQ(outcome.result->status, c.status);
    EXPECT_EQ(outcome.result->body, bytesOf(c.body));
    EXPECT_TRUE(server.waitUntilIdle(10s));
    EXPECT_EQ(server.connectionsAccepted(), 1);
  }
}

TEST_F(EphemeralHTTPTransportTest, ABodyOfOneMebibyteIsWholeAndOneByteMoreIsTooLarge) {
  {
    support::TestTLSServer server(localhostIdentity(),
                                  answering(framed(200, "OK", {}, std::string(mebibyte, 'x'))));
    const auto outcome = perform(get(at(server)));
    ASSERT_TRUE(outcome.result);
    EXPECT_EQ(outcome.result->body.size(), mebibyte);
  }
  {
    support::TestTLSServer server(localhostIdentity(),
                                  answering(framed(200, "OK", {}, std::string(mebibyte + 1, 'x'))));
    const auto outcome = perform(get(at(server)));
    ASSERT_TRUE(outcome.connectionError) << "not refused as too large";
    EXPECT_EQ(*outcome.connectionError, ConnectionError::responseTooLarge);
  }
}

TEST_F(EphemeralHTTPTransportTest, NetworkFailuresPassThroughUnchanged) {
  {
    support::TestTLSServer server(support::TestCertificateAuthority::selfSigned({{"localhost"}, {}}),
                                  answering(framed(200, "OK", {}, "")));
    const auto outcome = perform(get(at(server)));
    ASSERT_TRUE(outcome.networkError);
    EXPECT_EQ(*outcome.networkError, NetworkError(NetworkError::Code::serverCertificateUntrusted));
  }
  {
    const auto outcome = perform(get("http://localhost:1/"));
    ASSERT_TRUE(outcome.networkError);
    EXPECT_EQ(*outcome.networkError, NetworkError(NetworkError::Code::unsupportedURL));
  }
}

TEST_F(EphemeralHTTPTransportTest, TheTimeOutBoundsTheExchangeAndEachWait) {
  struct Case {
    std::chrono::seconds timeout;
    std::chrono::seconds idle;
  };
  for (const auto& c : {Case{45s, 30s}, Case{75s, 30s}, Case{10s, 10s}}) {
    const EphemeralHTTPTransport made(c.timeout);
    EXPECT_EQ(made.session().configuration().resourceTimeout, c.timeout);
    EXPECT_EQ(made.session().configuration().idleTimeout, c.idle);
    EXPECT_EQ(made.session().configuration().bodyLimit, mebibyte);
  }
  EXPECT_EQ(EphemeralHTTPTransport().session().configuration().resourceTimeout, 45s);
}

TEST(FormEncoding, EncodesTheFieldsSortedWithSpaceAsPercentTwenty) {
  EXPECT_EQ(FormEncoding::encode({{"grant_type", "refresh_token"}, {"client_id", "a b"}}),
            bytesOf("client_id=a%20b&grant_type=refresh_token"));
  EXPECT_EQ(FormEncoding::encode({}), bytesOf(""));
  EXPECT_EQ(FormEncoding::encode({{"k&=+/ ~-._", "\u00E9"}}), bytesOf("k%26%3D%2B%2F%20~-._=%C3%A9"));
}

}  // namespace
}  // namespace corvanta
