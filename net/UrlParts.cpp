// SplitUrl: an address's scheme (http when none), host, port (the scheme's
// own when none), path and query.
#include "net/UrlParts.h"

#include <boost/algorithm/string/case_conv.hpp>

#include <cctype>

UrlParts SplitUrl(const std::string& url)
{
    UrlParts parts;
    std::string rest;
    size_t separator = url.find("://");
    if (separator == std::string::npos) {
        parts.scheme = "http";
        rest = url;
    } else {
        parts.scheme = boost::algorithm::to_lower_copy(url.substr(0, separator));
        rest = url.substr(separator + 3);
    }

    size_t slash = rest.find('/');
    if (slash == std::string::npos) {
        parts.host = rest;
        parts.path = "/";
    } else {
        parts.host = boost::algorithm::to_lower_copy(rest.substr(0, slash));
        size_t question = rest.find('?', slash);
        if (question == std::string::npos) {
            parts.path = rest.substr(slash);
        } else {
            parts.path = rest.substr(slash, question - slash);
            parts.query = rest.substr(question + 1);
        }
    }

    parts.port = parts.Secure() ? 443 : 80;
    size_t colon = parts.host.find(':');
    if (colon != std::string::npos) {
        int port = 0;
        for (size_t i = colon + 1; i < parts.host.size() && isdigit(static_cast<unsigned char>(parts.host[i])); ++i)
            port = port * 10 + (parts.host[i] - '0');
        parts.port = port;
        parts.host.resize(colon);
    }
    return parts;
}
