#include "monitor/AccountRequest.h"

#include <algorithm>

#include "common/ErrorLog.h"
#include "common/SharedGlobals.h"
#include "platform/HttpClient.h"
#include "platform/MessageBox.h"

namespace tov {

namespace {

constexpr const char* kNoConnectionText =
    "Sorry, cant`t connect to the Tovrane server. Please check that you are connectet to the internet. "
    "Error returnd: ";

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

// Everything RFC 3986 allows in a URL, "%" included.
bool MayStandInUrl(unsigned char c) {
  if (IsUnreserved(c)) return true;
  for (char allowed : std::string_view(":/?#[]@!$&'()*+,;=%")) {
    if (c == static_cast<unsigned char>(allowed)) return true;
  }
  return false;
}

template <typename Keep>
std::string PercentEncode(std::string_view text, Keep keep) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (keep(c)) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

}  // namespace

// Safeguard: query values encoded. A name with "&", "=", "#" or "+" arrives as typed.
std::string EncodeQueryValue(std::string_view value) { return PercentEncode(value, IsUnreserved); }

std::string AddUserQuery(std::string_view user, std::string_view email, std::string_view password) {
  return "query=adduser&username=" + EncodeQueryValue(user) + "&email=" + EncodeQueryValue(email) +
         "&password=" + EncodeQueryValue(password);
}

std::string AddToGroupQuery(std::string_view team, std::string_view user) {
  return "query=addtogroup&groupname=" + EncodeQueryValue(team) + "&username=" + EncodeQueryValue(user);
}

std::string AccountRequestUrl(std::string_view query) {
  return PercentEncode(std::string(AccountServerURL) + "?" + std::string(query), MayStandInUrl);
}

std::string AccountUrlForLog(std::string_view url) {
  const size_t query = url.find('?');
  if (query == std::string_view::npos) return std::string(url);
  const size_t end = std::min(url.find('#', query), url.size());
  std::string out(url.substr(0, query + 1));
  size_t at = query + 1;
  while (at <= end) {
    const size_t next = std::min(url.find('&', at), end);
    const std::string_view pair = url.substr(at, next - at);
    if (pair.starts_with("password=")) {
      out += "password=***";
    } else {
      out += pair;
    }
    if (next < end) out += '&';
    at = next + 1;
  }
  out += url.substr(end);
  return out;
}

bool SendAccountRequest(const std::string& query) {
  TIdHTTP http;
  http.ProtocolVersion = pv1_1;
  http.Request.Accept = kAccountAccept;
  http.Request.ContentLength = 0;
  http.Request.ContentRangeStart = 0;
  http.Request.ContentRangeEnd = 0;
  http.Request.UserAgent = kAccountUserAgent;
  http.ReadTimeout = kAccountTimeoutMs;
  http.ConnectTimeout = kAccountTimeoutMs;
  try {
    const std::string url = AccountRequestUrl(query);
    const std::string reply = http.Get(url);
    // Safeguard: password not logged. The account's password never reaches the error log, which
    // the programs append to in clear.
    WriteErrorLog(AccountUrlForLog(url));
    WriteErrorLog(reply);
    return true;
  } catch (...) {
    // The exception's own text is not shown, only the server's answer.
    ShowMessageBox({kNoConnectionText + http.ResponseText(), "", TMsgDlgType::mtCustom, mbOK});
    return false;
  }
}

}  // namespace tov
