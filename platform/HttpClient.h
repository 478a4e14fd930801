// A blocking HTTP/1.1 client over libcurl for the download threads and the
// monitor's account requests: GET only, redirects reported and never followed,
// http and https only, response bodies read up to a bound, and each kind of
// failure raised as an exception class of its own.
//
// One TIdHTTP owns one curl handle and reuses it (with its kept-alive
// connection) for every request; an object is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "platform/SysUtils.h"

namespace tov {

// Base of every failure the client raises. The five classes the download
// thread tells apart each descend from it directly, never from one another.
TOV_DECLARE_EXCEPTION(EIdException, Exception);
// Name resolution failed, or the network refused the socket operation.
TOV_DECLARE_EXCEPTION(EIdSocketError, EIdException);
// The server's host refused the connection.
TOV_DECLARE_EXCEPTION(EIdConnectException, EIdException);
// The server closed (or reset) the connection before the answer was whole.
TOV_DECLARE_EXCEPTION(EIdConnClosedGracefully, EIdException);
// Nothing arrived for ReadTimeout milliseconds, or the answer was not whole
// within PageDeadline.
TOV_DECLARE_EXCEPTION(EIdReadTimeout, EIdException);

// The server answered with a final status other than 2xx (redirects included).
class EIdHTTPProtocolException : public EIdException {
 public:
  EIdHTTPProtocolException(int code, std::string status_line)
      : EIdException(std::move(status_line)), code_(code) {}
  int ErrorCode() const { return code_; }
  const char* ClassName() const override { return "EIdHTTPProtocolException"; }

 private:
  int code_;
};

// Failures outside the five above; a caller that tells only those apart sees
// them as "some other class", under a name that says what happened.
// The URL names a scheme other than http or https; nothing was contacted.
TOV_DECLARE_EXCEPTION(EIdUnknownProtocol, EIdException);
// The URL cannot be parsed; nothing was contacted.
TOV_DECLARE_EXCEPTION(EIdMalformedURL, EIdException);
// The connection (name lookup, TCP and TLS) did not stand within ConnectTimeout.
TOV_DECLARE_EXCEPTION(EIdConnectTimeout, EIdException);
// The TLS handshake or the server's certificate failed.
TOV_DECLARE_EXCEPTION(EIdTLSError, EIdException);
// The answer is not HTTP, or its header is beyond reason.
TOV_DECLARE_EXCEPTION(EIdHTTPBadReply, EIdException);

enum TIdHTTPProtocolVersion { pv1_0, pv1_1 };

// Request headers. A GET carries no body: ContentLength and the content range
// exist for callers that clear them, and no Content-Length or Content-Range
// header is ever sent. An empty text sends no header of that name.
struct TIdHTTPRequest {
  std::string Accept;
  std::string AcceptLanguage;
  std::string UserAgent;
  int64_t ContentLength = -1;
  int64_t ContentRangeStart = 0;
  int64_t ContentRangeEnd = 0;
};

struct TIdHTTPResponse {
  std::string ContentType;  // the Content-Type header as sent; empty when none
};

class TIdHTTP {
 public:
  // The largest body kept: a little above the largest page the crawler keeps
  // (5242880 bytes), so a caller can tell an over-long page from a full one.
  static constexpr size_t kDefaultMaxBodyBytes = 5242880 + 64 * 1024;

  // Called once the connection for a request stands (a new one or a kept-alive
  // one), before the request is sent; PeerIP() then holds the server's address.
  using TConnectedEvent = std::function<void(TIdHTTP& sender)>;
  // Called for a 3xx answer with a Location header: dest is that header as the
  // server wrote it, redirectCount 1, method "GET". Whatever the handler does,
  // nothing is followed: the GET then raises EIdHTTPProtocolException.
  using TRedirectEvent =
      std::function<void(TIdHTTP& sender, std::string& dest, int& redirectCount, bool& handled, std::string& method)>;

  TIdHTTP();
  ~TIdHTTP();
  TIdHTTP(const TIdHTTP&) = delete;
  TIdHTTP& operator=(const TIdHTTP&) = delete;

  // Settings, read at each Get. Time-outs in milliseconds; 0 or less waits
  // without limit. ReadTimeout bounds a wait for the next bytes, not the whole
  // transfer, so a slow but steady answer is never cut.
  TIdHTTPProtocolVersion ProtocolVersion = pv1_1;
  TIdHTTPRequest Request;
  int ReadTimeout = 0;
  int ConnectTimeout = 0;
  // Bounds the whole answer, header and body, from the moment the connection
  // for the request stands; a server that sends a byte now and then is cut
  // there with EIdReadTimeout, as a silent one is.
  int PageDeadline = 0;
  // When set, cookies the server sets are kept in memory for this object's
  // later requests; otherwise none are stored or sent.
  bool AllowCookies = false;
  // Bytes of body kept; a longer answer is cut there and counts as whole.
  size_t MaxBodyBytes = kDefaultMaxBodyBytes;
  TConnectedEvent OnConnected;
  TRedirectEvent OnRedirect;

  // Fetches url and returns the body as received (never decompressed) when the
  // final status is 2xx; otherwise raises as described above. http and https
  // only; a URL without a scheme is http. Blanks in url are sent as %20.
  std::string Get(const std::string& url);

  // The last answer's status code, -1 when no answer arrived.
  int ResponseCode() const { return response_code_; }
  // The last answer's status line ("HTTP/1.1 404 Not Found"); empty when no
  // answer arrived.
  const std::string& ResponseText() const { return response_text_; }
  const TIdHTTPResponse& Response() const { return response_; }
  // The address of the server of the last connection that stood.
  const std::string& PeerIP() const { return peer_ip_; }

 private:
  struct Transfer;
  friend struct Transfer;

  void Configure(const std::string& url, Transfer& t);
  [[noreturn]] void RaiseForStatus();

  struct CurlDeleter {
    void operator()(void* handle) const;
  };
  std::unique_ptr<void, CurlDeleter> curl_;

  int response_code_ = -1;
  std::string response_text_;
  std::string location_;
  TIdHTTPResponse response_;
  std::string peer_ip_;
  bool cookies_used_ = false;
};

// Whether url names a scheme and that scheme is neither http nor https
// (compared without regard to case). A URL without a scheme ("host/path",
// "host:8080/path") is not refused: it is fetched as http.
bool IsRefusedScheme(const std::string& url);

}  // namespace tov
