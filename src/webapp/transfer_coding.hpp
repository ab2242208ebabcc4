// How a request's body is framed, judged from its Transfer-Encoding fields before any of the body
// is read. The layer reads only bodies that are chunked exactly once or have a Content-Length;
// anything else could be framed differently by another reader of the same bytes (a proxy, a
// second request smuggled into the first), so it is refused and its connection closed.
#pragma once

#include <string_view>
#include <vector>

namespace reelcut::http {

enum class BodyFraming {
    as_announced,    // no Transfer-Encoding: Content-Length (or no body) decides
    chunked,         // exactly one coding, "chunked" (any case, optional whitespace around it)
    not_implemented, // a coding other than chunked is named (answered 501)
    malformed,       // chunked twice, an empty list, or alongside Content-Length (answered 400)
};

// `values` are the values of every Transfer-Encoding field, in order; `has_length` whether a
// Content-Length field was given; `http10` whether the request is HTTP/1.0, which has no
// transfer codings at all.
BodyFraming judge_transfer_encoding(const std::vector<std::string_view>& values, bool has_length,
                                    bool http10);

} // namespace reelcut::http
