// How the catalogue worker reports to the window: status text, progress,
// server combo and the flags the dialog acts on at its next paint.
#pragma once

#include "format/SoftwareRecord.h"

#include <string>
#include <vector>

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
    /// The catalogue and category list are complete: the last verified list
    /// at first, again once the fetch is over.
    virtual void CatalogueReady() = 0;
    /// After CatalogueReady: a fresh catalogue (its records without installed
    /// state, its categories and its index's EXPIRES) is to replace the one
    /// shown. A window that reads the records on other threads takes them
    /// (moves them out) and swaps them in on its own thread, returning true;
    /// false leaves the worker to write them into the state itself.
    virtual bool ReplaceCatalogue(std::vector<SoftwareRecord>& records, std::vector<std::wstring>& categories,
                                  const std::string& expires)
    {
        (void)records;
        (void)categories;
        (void)expires;
        return false;
    }
    /// The server list is filled from the fetched repository: a server may be chosen.
    virtual void ServersReady() {}
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

    /// A keys file signed by the root in use and by its successor was taken:
    /// from now on the successor (rootText, base64) is the root, kept in the
    /// settings under name. The window writes it on its own thread.
    virtual void RootReplaced(const std::string& name, const std::string& rootText)
    {
        (void)name;
        (void)rootText;
    }

    /// Entry 0 of the category list. The window hands the worker its string
    /// resource (108), so the worker needs no resources of its own.
    virtual std::wstring AllCategoriesText() const { return L"VEDI TUTTE LE CATEGORIE"; }

    /// True once the window has gone: the worker stops at its next step.
    virtual bool Cancelled() const { return false; }
};
