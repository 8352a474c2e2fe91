// A catalogue sink whose reports go nowhere, for tests and benches that run
// the catalogue worker without a window.
#pragma once

#include "catalogue/CatalogueSink.h"

#include <string>

/// Takes every report of the catalogue and shows none.
class QuietCatalogueSink : public CatalogueSink {
public:
    void SetStatusText(const std::string&) override {}
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int) override {}
    void ResetServers() override {}
    void AddServer(const std::wstring&) override {}
    void SelectServer(int) override {}
    void SetInstalledCount(int) override {}
    void RequestRefill() override {}
    void CatalogueReady() override {}
    void ThumbnailDownloaded(const std::string&, const std::string&) override {}
};
