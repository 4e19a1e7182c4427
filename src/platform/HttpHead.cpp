#include "HttpHead.h"

#include <http_parser.h>

#include <algorithm>
#include <utility>

namespace qm {

namespace {

struct Reading {
    HttpHead head;
    std::string field;
    std::string value;
    bool inValue = false;
    bool complete = false;

    void closeField() {
        if (!inValue)
            return;
        std::transform(field.begin(), field.end(), field.begin(), [](unsigned char c) {
            return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c);
        });
        const auto [at, added] = head.headers.insert_or_assign(field, trimmed(value));
        if (!added) head.repeated.insert(at->first);
        field.clear();
        value.clear();
        inValue = false;
    }

    static std::string trimmed(const std::string& s) {
        auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
        size_t b = 0, e = s.size();
        while (b < e && space(s[b]))
            ++b;
        while (e > b && space(s[e - 1]))
            --e;
        return s.substr(b, e - b);
    }
};

Reading& reading(http_parser* p) { return *static_cast<Reading*>(p->data); }

}  // namespace

const std::string* HttpHead::header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? nullptr : &it->second;
}

std::optional<HttpHead> HttpHead::parse(std::string_view head) {
    // The parser needs the blank line to know the headers are over; what
    // follows it was never handed in. Lines reach it in one form, CR LF.
    std::string bytes;
    bytes.reserve(head.size() + head.size() / 16 + 4);
    for (size_t i = 0; i < head.size(); ++i) {
        if (head[i] == '\r' && (i + 1 == head.size() || head[i + 1] != '\n'))
            return std::nullopt;
        if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r'))
            bytes += '\r';
        bytes += head[i];
    }
    bytes.append("\r\n\r\n");

    http_parser_settings settings;
    http_parser_settings_init(&settings);
    settings.on_url = [](http_parser* p, const char* at, size_t n) {
        reading(p).head.target.append(at, n);
        return 0;
    };
    settings.on_header_field = [](http_parser* p, const char* at, size_t n) {
        Reading& r = reading(p);
        r.closeField();
        r.field.append(at, n);
        return 0;
    };
    settings.on_header_value = [](http_parser* p, const char* at, size_t n) {
        Reading& r = reading(p);
        r.inValue = true;
        r.value.append(at, n);
        return 0;
    };
    settings.on_headers_complete = [](http_parser* p) {
        Reading& r = reading(p);
        r.closeField();
        r.head.method = http_method_str(static_cast<http_method>(p->method));
        r.complete = true;
        // Whatever the headers announce (a body, chunks), nothing after the
        // head is read: pausing ends the run here.
        http_parser_pause(p, 1);
        return 0;
    };

    Reading r;
    http_parser parser;
    http_parser_init(&parser, HTTP_REQUEST);
    parser.data = &r;
    http_parser_execute(&parser, &settings, bytes.data(), bytes.size());
    const auto error = HTTP_PARSER_ERRNO(&parser);
    if (!r.complete || (error != HPE_OK && error != HPE_PAUSED) || r.head.target.empty())
        return std::nullopt;
    // The parser lets white space through before the colon; such a name
    // means different things to different readers, so the head is refused.
    for (const auto& [name, value] : r.head.headers)
        if (name.empty() || name.find_first_of(" \t") != std::string::npos)
            return std::nullopt;
    return std::move(r.head);
}

}  // namespace qm
