// The catalogue tests' fixture: a loopback server serving the catalogue
// files, a launcher state in a data folder of its own, and a sink that
// records what the catalogue worker reports.
#pragma once

#include "catalogue/Catalogue.h"
#include "catalogue/CatalogueFiles.h"
#include "store/Text.h"
#include "tests/LoopbackServer.h"
#include "tests/TestSigning.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

// Records everything the worker reports, and applies thumbnails as the window would.
class RecordingSink : public CatalogueSink {
public:
    explicit RecordingSink(LauncherState& state) : m_state(state) {}
    void SetStatusText(const std::string& text) override { statusTexts.push_back(text); }
    void SetProgressRange(int low, int high) override { range = {low, high}; }
    void SetProgressPos(int position) override { positions.push_back(position); }
    void ResetServers() override
    {
        servers.clear();
        selected = -1;
        ++resets;
    }
    void AddServer(const std::wstring& name) override { servers.push_back(name); }
    void SelectServer(int index) override { selected = index; }
    void SetInstalledCount(int count) override { installedCount = count; }
    void RequestRefill() override { ++refills; }
    void CatalogueReady() override { ready = true; }
    void SerialAccepted(const std::string& name, long long serial, const std::string& sha256) override
    {
        SerialRecord record;
        record.serial = serial;
        record.sha256 = sha256;
        accepted[name] = record;
        if (name.compare(0, 6, "INDEX_") == 0)
            acceptedSerial = serial;
    }
    void RootReplaced(const std::string& name, const std::string& rootText) override { roots[name] = rootText; }
    /// Keeps the accepted records (and a replaced root) in the settings, as the window does.
    void KeepAccepted()
    {
        for (const auto& record : accepted)
            RaiseSerial(m_state.m_settings, record.first, record.second);
        for (const auto& root : roots)
            m_state.m_settings.SetValue(root.first, root.second);
    }
    std::map<std::string, std::string> roots;
    void ThumbnailDownloaded(const std::string& address, const std::string& file) override
    {
        EXPECT_TRUE(ready) << "thumbnails come after the catalogue is ready";
        ApplyThumbnail(m_state.m_catalogue, address, file);
        thumbnails.emplace_back(address, file);
    }

    std::vector<std::string> statusTexts;
    std::pair<int, int> range{-1, -1};
    std::vector<int> positions;
    std::vector<std::wstring> servers;
    int selected = -1;
    int resets = 0;
    int installedCount = -1;
    int refills = 0;
    bool ready = false;
    long long acceptedSerial = -1;
    std::map<std::string, SerialRecord> accepted;
    std::vector<std::pair<std::string, std::string>> thumbnails;

private:
    LauncherState& m_state;
};

class CatalogueTest : public ::testing::Test {
protected:
    CatalogueTest() : sink(state)
    {
        state.m_dataFolder = dir.Narrow();
        state.m_dataFolderW = dir.Path();
        server = std::make_unique<LoopbackServer>(
            [this](const HttpRequest& request) { return StaticFiles(files)(request); });
    }
    /// Serves these files from now on, at the default index and repository paths.
    void Serve(const std::map<std::string, std::string>& served)
    {
        files = served;
        state.m_indexUrl = server->Url("/sw_index.dat");
        state.m_repositoryUrl = server->Url("/sw_repo.dat");
    }
    void ServeNothing()
    {
        state.m_indexUrl = refusing.Url("/sw_index.dat");
        state.m_repositoryUrl = refusing.Url("/sw_repo.dat");
    }
    std::string Fetch(const std::string& name = "sw_index") { return FetchCatalogueFile(name, state, sink); }
    /// Asks for the maker's signatures from now on.
    void RequireMakerKey()
    {
        state.m_signaturesRequired = true;
        ASSERT_TRUE(ParsePublicKey(kMakerKey.spkiBase64, state.m_makerKey));
    }
    /// The files with a signature beside each, made with key.
    static std::map<std::string, std::string> Signed(std::map<std::string, std::string> served,
                                                     const TestKey& key = kMakerKey)
    {
        std::map<std::string, std::string> withSignatures = served;
        for (const auto& file : served)
            withSignatures[file.first + ".sig"] = SignWith(key, file.second);
        return withSignatures;
    }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const SoftwareRecord& record : state.m_catalogue)
            names.push_back(record.name);
        return names;
    }

    TempDir dir;
    LauncherState state;
    RecordingSink sink;
    std::map<std::string, std::string> files;
    std::unique_ptr<LoopbackServer> server;
    RefusingPort refusing;
};

} // namespace testing_support
