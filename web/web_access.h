#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vxr {

// Who may use the web server, and the checks of a request's Host and Origin.

// Reads the token from path: the file must be a regular file of this user that nobody else may
// read or write (mode 0600 or 0400), and hold one non-empty line of printable characters.
// False with a one-line reason (never the token's text).
bool ReadTokenFile(const std::string& path, std::string* token, std::string* error);

// Compares a token given by a client with the configured one in time that depends on the
// lengths only, not on where they differ.
bool SameToken(std::string_view given, std::string_view expected);

// Whether a Host header names this deck in a way no other site's page can: an IP address
// literal, "localhost", or one of the names configured for it (its port ignored). A name an
// attacker's DNS may point at this deck (DNS rebinding) is none of these.
bool HostAllowed(std::string_view host, const std::vector<std::string>& names);

// Whether a request that changes something comes from this deck's own page: its Origin, when
// given, is http://HOST with the request's own Host; without one, a browser's Sec-Fetch-Site
// must not say the request crossed sites (tools such as curl send neither).
bool SameOrigin(std::string_view origin, std::string_view sec_fetch_site, std::string_view host);

// The value of a cookie in a Cookie header; empty when it is not there.
std::string CookieValue(std::string_view header, std::string_view name);

}  // namespace vxr
