// The head of one HTTP/1.x request (the bytes before its blank line), read
// by http-parser so that what the control port admits is what any HTTP
// peer would read from the same bytes.
//
// parse() runs the parser on the head alone and stops at the end of the
// headers: a body, a second request or an upgrade after it are never the
// head's business. Lines end with CR LF or with a bare LF (which HTTP lets a
// recipient take as a line end); a CR anywhere but before an LF is
// malformed, since readers disagree on whether it ends a line. A head the
// parser rejects (a method alone, an unknown method, a header line without
// a name or without ":") is malformed too and gives nothing. Header names
// come lower-cased, values with the white space around them removed; when a
// name repeats, the later line wins and the name is listed in `repeated`.
//
// Pure; any thread.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace qm {

struct HttpHead {
    std::string method;  // as sent: "GET", "OPTIONS", ...
    std::string target;  // the request target, not decoded: "/profile?name=Near%20field"
    std::map<std::string, std::string> headers;
    std::set<std::string> repeated;  // names given on more than one line

    // The value of a header (name in lower case), or nothing.
    const std::string* header(const std::string& name) const;

    static std::optional<HttpHead> parse(std::string_view head);
};

}  // namespace qm
