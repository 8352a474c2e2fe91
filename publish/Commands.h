// The maker's commands of morvindex-publish (init, add, launcher, check,
// sign, refresh, keygen and keys), over a site folder that a web server
// publishes at the index's BASE, and where they report.
#pragma once

#include <string>
#include <vector>

/// Where a command reports: lines for the maker, errors apart.
class Reporter {
public:
    virtual ~Reporter() = default;
    virtual void Line(const std::string& utf8) = 0;
    virtual void Error(const std::string& utf8) = 0;
};

/// Exit codes of the commands.
enum PublishExit { kPublishDone = 0, kPublishFailed = 1, kPublishUsage = 2 };

/// Runs the command named by arguments[0] with the rest; returns its exit code.
int RunPublish(const std::vector<std::wstring>& arguments, Reporter& reporter);
