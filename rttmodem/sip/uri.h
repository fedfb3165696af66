// SPDX-License-Identifier: Apache-2.0
#pragma once
// The SIP addresses we call: sip:[user@]host[:port][;transport=udp|tcp], nothing more. A dial
// string goes into the request line and the To header as it is, so anything that could change
// their meaning (spaces, angle brackets, other parameters, headers after '?') is refused before
// a request is made, with the reason.
#include <string>
#include <string_view>

namespace rttmodem::sip {

bool checkDialUri(std::string_view uri, std::string* why);

// The host of a sip: URI (brackets taken off an IPv6 address); empty when there is none.
std::string hostOf(std::string_view uri);
// Its port: the one it names, or 5060.
int portOf(std::string_view uri);

}  // namespace rttmodem::sip
