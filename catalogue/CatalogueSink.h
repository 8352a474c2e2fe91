// How the catalogue worker reports to the window: status text, progress,
// server combo and the flags the dialog acts on at its next paint.
#pragma once

#include <string>

class CatalogueSink {
public:
    virtual ~CatalogueSink() = default;

    /// Status line text (UTF-8).
    virtual void SetStatusText(const std::string& text) = 0;
    virtual void SetProgressRange(int low, int high) = 0;
    virtual void SetProgressPos(int position) = 0;

    virtual void ResetServers() = 0;
    virtual void AddServer(const std::wstring& name) = 0;
    virtual void SelectServer(int index) = 0;

    /// Number of catalogue records installed for this user.
    virtual void SetInstalledCount(int count) = 0;
    /// The catalogue changed size: the list must be filled again.
    virtual void RequestRefill() = 0;
    /// The catalogue and category list are complete; nothing but thumbnails follows.
    virtual void CatalogueReady() = 0;
    /// A thumbnail address was downloaded to file. The worker never writes
    /// the records after CatalogueReady: the window applies this on its thread.
    virtual void ThumbnailDownloaded(const std::string& address, const std::string& file) = 0;

    /// A catalogue file in use carries SERIAL serial with these bytes
    /// (sha256), checked against the maker's key: the window raises the
    /// settings' record name to it on its own thread, where the settings
    /// store is written.
    virtual void SerialAccepted(const std::string& name, long long serial, const std::string& sha256)
    {
        (void)name;
        (void)serial;
        (void)sha256;
    }

    /// Entry 0 of the category list. The window hands the worker its string
    /// resource (108), so the worker needs no resources of its own.
    virtual std::wstring AllCategoriesText() const { return L"VEDI TUTTE LE CATEGORIE"; }

    /// True once the window has gone: the worker stops at its next step.
    virtual bool Cancelled() const { return false; }
};
