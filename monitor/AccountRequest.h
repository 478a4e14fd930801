// Requests to the account server: creating an account and joining a team,
// each one HTTP GET of AccountServerURL with a query. The reply is only logged;
// what counts is whether the request went through.
#pragma once

#include <string>
#include <string_view>

namespace tov {

// A value as it goes into a query: the bytes of the letters, digits and
// "-._~" as they are, every other byte (Windows-1252) as %XX. So "&", "=",
// "#" and "+" in a value reach the server as typed and never start another
// pair or end the query.
std::string EncodeQueryValue(std::string_view value);

// "query=adduser&username=<user>&email=<email>&password=<password>"
std::string AddUserQuery(std::string_view user, std::string_view email, std::string_view password);
// "query=addtogroup&groupname=<team>&username=<user>"
std::string AddToGroupQuery(std::string_view team, std::string_view user);

// AccountServerURL + "?" + query, with every byte that may not stand in a URL
// (blanks, controls, bytes above 127, and " < > \ ^ ` { | }) as %XX; a "%"
// stays, so an encoded query passes unchanged.
std::string AccountRequestUrl(std::string_view query);

// The URL as the error log shows it: the value of each "password" pair of its
// query (up to the next "&" or "#") as "***", everything else as it was.
std::string AccountUrlForLog(std::string_view url);

// The user agent and Accept header the requests carry, and their connect and
// read time-outs.
constexpr const char* kAccountUserAgent = "tovrane-createuser";
constexpr const char* kAccountAccept = "text/html, */*";
constexpr int kAccountTimeoutMs = 120000;

// Sends the GET (blocking the caller up to the time-outs) and appends two
// lines to the error log: the URL as sent (its password hidden, see
// AccountUrlForLog), then the reply body. True when the
// server answered with a 2xx status; otherwise false, after a message box
// that ends in the status line of the server's answer (nothing when none
// came).
bool SendAccountRequest(const std::string& query);

}  // namespace tov
