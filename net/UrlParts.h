// Splitting a URL into what a WinINet request needs.
#pragma once

#include <string>

struct UrlParts {
    std::string scheme; // lower case; "http" when the URL has none
    std::string host;   // lower case when a path follows it
    std::string path;   // "/" when the URL has none
    std::string query;  // text after the first "?" of the path, without it
    int port = 80;

    /// Path plus "?" and the query when the query is not empty.
    std::string ObjectName() const { return query.empty() ? path : path + "?" + query; }
    bool Secure() const { return scheme == "https"; }
};

/// Splits url. Without "://" the scheme is http; the port is the number after
/// the host's first ":" (0 when none follows it), else 443 for https and 80
/// for everything else.
UrlParts SplitUrl(const std::string& url);
