#include "platform/HttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string_view>
#include <system_error>

namespace tov {

namespace {

// Header bytes of one answer beyond which it is abandoned: real servers send a
// few kilobytes, and curl keeps every header line it is given.
constexpr size_t kMaxHeaderBytes = 1024 * 1024;

using Clock = std::chrono::steady_clock;

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool IsSchemeChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
         c == '.';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view Trim(std::string_view v) {
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r' || v.back() == '\n')) {
    v.remove_suffix(1);
  }
  return v;
}

bool StartsWithText(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

void CheckHeaderValue(const std::string& value) {
  if (value.find_first_of("\r\n") != std::string::npos) {
    throw EIdException("Request header holds a line break");
  }
}

// Blanks are common in links written by hand; curl refuses them where a
// browser sends %20.
std::string EscapeSpaces(const std::string& url) {
  if (url.find(' ') == std::string::npos) return url;
  std::string out;
  for (char c : url) {
    if (c == ' ') {
      out += "%20";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

bool IsRefusedScheme(const std::string& url) {
  size_t colon = url.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  if (!((url[0] >= 'a' && url[0] <= 'z') || (url[0] >= 'A' && url[0] <= 'Z'))) return false;
  for (size_t i = 0; i < colon; ++i) {
    if (!IsSchemeChar(url[i])) return false;
  }
  std::string_view scheme(url.data(), colon);
  if (SameText(scheme, "http") || SameText(scheme, "https")) return false;
  // "host:8080/path" is a host and a port, not a scheme.
  size_t i = colon + 1;
  while (i < url.size() && IsDigit(url[i])) ++i;
  if (i > colon + 1 && (i == url.size() || url[i] == '/' || url[i] == '?' || url[i] == '#')) return false;
  return true;
}

// The state of one Get, reached from curl's callbacks.
struct TIdHTTP::Transfer {
  enum class Stop { None, ReadTimeout, PageDeadline, BodyBound, HeaderBound, CallbackFailed };

  TIdHTTP* client = nullptr;
  std::string body;
  size_t header_bytes = 0;
  bool connected = false;
  Clock::time_point connected_at;
  Clock::time_point last_activity = Clock::now();
  Stop stop = Stop::None;
  std::exception_ptr failure;
  char error[CURL_ERROR_SIZE] = {};

  struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
  };
  std::unique_ptr<curl_slist, SlistDeleter> headers;

  void AddHeader(const std::string& line) {
    curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
    if (grown == nullptr) throw EOutOfMemory("Out of memory");
    (void)headers.release();
    headers.reset(grown);
  }

  void Touch() { last_activity = Clock::now(); }

  static int OnPrereq(void* p, char* primary_ip, char*, int, int) {
    auto* t = static_cast<Transfer*>(p);
    t->connected = true;
    t->Touch();
    t->connected_at = t->last_activity;
    t->client->peer_ip_ = primary_ip != nullptr ? primary_ip : "";
    if (!t->client->OnConnected) return CURL_PREREQFUNC_OK;
    try {
      t->client->OnConnected(*t->client);
      return CURL_PREREQFUNC_OK;
    } catch (...) {
      t->failure = std::current_exception();
      t->stop = Stop::CallbackFailed;
      return CURL_PREREQFUNC_ABORT;
    }
  }

  static size_t OnHeader(char* data, size_t size, size_t n, void* p) {
    auto* t = static_cast<Transfer*>(p);
    size_t bytes = size * n;
    t->Touch();
    t->header_bytes += bytes;
    if (t->header_bytes > kMaxHeaderBytes) {
      t->stop = Stop::HeaderBound;
      return 0;
    }
    try {
      std::string_view line(data, bytes);
      if (StartsWithText(line, "HTTP/")) {
        // A new answer begins (after an interim 1xx, the final one).
        t->client->response_text_ = std::string(Trim(line));
        t->client->location_.clear();
      } else if (StartsWithText(line, "Location:")) {
        t->client->location_ = std::string(Trim(line.substr(9)));
      }
    } catch (...) {
      t->failure = std::current_exception();
      t->stop = Stop::CallbackFailed;
      return 0;
    }
    return bytes;
  }

  static size_t OnBody(char* data, size_t size, size_t n, void* p) {
    auto* t = static_cast<Transfer*>(p);
    size_t bytes = size * n;
    t->Touch();
    size_t room = t->client->MaxBodyBytes - std::min(t->client->MaxBodyBytes, t->body.size());
    try {
      t->body.append(data, std::min(bytes, room));
    } catch (...) {
      t->failure = std::current_exception();
      t->stop = Stop::CallbackFailed;
      return 0;
    }
    if (bytes > room) {
      t->stop = Stop::BodyBound;
      return 0;
    }
    return bytes;
  }

  static int OnProgress(void* p, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* t = static_cast<Transfer*>(p);
    if (!t->connected) return 0;
    const Clock::time_point now = Clock::now();
    int limit = t->client->ReadTimeout;
    if (limit > 0 && now - t->last_activity > std::chrono::milliseconds(limit)) {
      t->stop = Stop::ReadTimeout;
      return 1;
    }
    // Safeguard: page deadline. An answer that trickles in never falls silent; the deadline ends it all the same.
    int deadline = t->client->PageDeadline;
    if (deadline > 0 && now - t->connected_at > std::chrono::milliseconds(deadline)) {
      t->stop = Stop::PageDeadline;
      return 1;
    }
    return 0;
  }
};

void TIdHTTP::CurlDeleter::operator()(void* handle) const { curl_easy_cleanup(static_cast<CURL*>(handle)); }

TIdHTTP::TIdHTTP() {
  InitCurlOnce();
  curl_.reset(curl_easy_init());
  if (!curl_) throw EIdException("Cannot start the HTTP library");
  CURL* c = curl_.get();
  // Fixed for the life of the handle: no signals (threads), only http and
  // https, never a redirect followed, no proxy from the environment, at most
  // one idle connection kept, bodies handed over as the server sent them.
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_DEFAULT_PROTOCOL, "http");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_MAXCONNECTS, 1L);
  curl_easy_setopt(c, CURLOPT_HTTP_CONTENT_DECODING, 0L);
  curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_PREREQFUNCTION, &Transfer::OnPrereq);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &Transfer::OnProgress);
}

TIdHTTP::~TIdHTTP() = default;

void TIdHTTP::Configure(const std::string& url, Transfer& t) {
  CheckHeaderValue(Request.Accept);
  CheckHeaderValue(Request.AcceptLanguage);
  CheckHeaderValue(Request.UserAgent);
  CURL* c = curl_.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_HTTP_VERSION,
                   ProtocolVersion == pv1_0 ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(ConnectTimeout > 0 ? ConnectTimeout : 0));
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, t.error);
  curl_easy_setopt(c, CURLOPT_PREREQDATA, &t);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t);

  // "Accept:" with no value keeps curl from sending its own.
  t.AddHeader("Accept:" + (Request.Accept.empty() ? std::string() : " " + Request.Accept));
  if (!Request.AcceptLanguage.empty()) t.AddHeader("Accept-Language: " + Request.AcceptLanguage);
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, t.headers.get());
  curl_easy_setopt(c, CURLOPT_USERAGENT, Request.UserAgent.empty() ? nullptr : Request.UserAgent.c_str());

  if (AllowCookies) {
    curl_easy_setopt(c, CURLOPT_COOKIEFILE, "");  // the in-memory cookie store
    cookies_used_ = true;
  } else if (cookies_used_) {
    curl_easy_setopt(c, CURLOPT_COOKIELIST, "ALL");  // forget what was stored
  }
}

namespace {

[[noreturn]] void RaiseCurlError(CURLcode rc, bool connected, long os_errno, const char* detail) {
  std::string text = detail[0] != '\0' ? detail : curl_easy_strerror(rc);
  switch (rc) {
    case CURLE_UNSUPPORTED_PROTOCOL:
      // Before a connection: a scheme curl will not fetch. After one: an
      // answer in no HTTP version curl accepts (HTTP/0.9).
      if (connected) throw EIdHTTPBadReply(text);
      throw EIdUnknownProtocol(text);
    case CURLE_URL_MALFORMAT:
      throw EIdMalformedURL(text);
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_SEND_ERROR:
      throw EIdSocketError(text);
    case CURLE_COULDNT_CONNECT:
      if (os_errno == ECONNREFUSED) throw EIdConnectException("Connection refused.");
      // The cause first: callers keep only the start of the message.
      if (os_errno != 0) text = std::error_code(static_cast<int>(os_errno), std::generic_category()).message() + ": " + text;
      throw EIdSocketError(text);
    case CURLE_OPERATION_TIMEDOUT:
      throw EIdConnectTimeout("Connect timed out.");
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
      throw EIdConnClosedGracefully("Connection Closed Gracefully.");
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_BAD_CONTENT_ENCODING:
      throw EIdHTTPBadReply(text);
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
      throw EIdTLSError(text);
    default:
      throw EIdException(text);
  }
}

}  // namespace

void TIdHTTP::RaiseForStatus() {
  if (response_code_ >= 300 && response_code_ < 400 && !location_.empty() && OnRedirect) {
    std::string dest = location_;
    int count = 1;
    bool handled = false;
    std::string method = "GET";
    OnRedirect(*this, dest, count, handled, method);
  }
  throw EIdHTTPProtocolException(response_code_, response_text_);
}

std::string TIdHTTP::Get(const std::string& url) {
  response_code_ = -1;
  response_text_.clear();
  location_.clear();
  response_.ContentType.clear();
  if (IsRefusedScheme(url)) {
    throw EIdUnknownProtocol("Protocol not supported: " + url.substr(0, url.find(':')));
  }

  Transfer t;
  t.client = this;
  // The handle must not point into this frame once it is gone.
  struct Unhook {
    CURL* c;
    ~Unhook() {
      curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
      curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
    }
  } unhook{curl_.get()};
  Configure(EscapeSpaces(url), t);
  CURLcode rc = curl_easy_perform(curl_.get());

  if (t.failure) std::rethrow_exception(t.failure);
  if (!response_text_.empty()) {
    long code = 0;
    curl_easy_getinfo(curl_.get(), CURLINFO_RESPONSE_CODE, &code);
    response_code_ = code > 0 ? static_cast<int>(code) : -1;
    char* type = nullptr;
    curl_easy_getinfo(curl_.get(), CURLINFO_CONTENT_TYPE, &type);
    if (type != nullptr) response_.ContentType = type;
  }

  bool cut_at_bound = rc == CURLE_WRITE_ERROR && t.stop == Transfer::Stop::BodyBound;
  if (rc != CURLE_OK && !cut_at_bound) {
    if (t.stop == Transfer::Stop::ReadTimeout) throw EIdReadTimeout("Read timed out.");
    if (t.stop == Transfer::Stop::PageDeadline) {
      throw EIdReadTimeout("Read timed out: the answer took longer than " + std::to_string(PageDeadline) + " ms.");
    }
    if (t.stop == Transfer::Stop::HeaderBound) throw EIdHTTPBadReply("Response header too long");
    long os_errno = 0;
    curl_easy_getinfo(curl_.get(), CURLINFO_OS_ERRNO, &os_errno);
    RaiseCurlError(rc, t.connected, os_errno, t.error);
  }
  if (response_code_ < 200 || response_code_ > 299) RaiseForStatus();
  return std::move(t.body);
}

}  // namespace tov
