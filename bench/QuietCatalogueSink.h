// A catalogue sink for the benches: the catalogue's reports go nowhere.
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
