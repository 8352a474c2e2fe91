// Makes the launcher the handler of its URL protocol (<program name>:...) and
// of documents with its own extension (.<program name>).
#pragma once

#include "framework/WinApp.h"

#include <windows.h>

#include <string>

/// Registers the URL protocol of this program under HKEY_CURRENT_USER, once:
/// an existing registration is never touched.
void RegisterUrlProtocol();

/// The same for an explicit name and executable path below classesKey of
/// HKEY_CURRENT_USER (normally "SOFTWARE\Classes").
void RegisterUrlProtocolFor(const std::wstring& name, const std::wstring& exePath,
                            const std::wstring& classesKey = L"SOFTWARE\\Classes");

/// Stores text as the default value (REG_SZ) of root\keyPath, creating the key.
/// Fails with ERROR_INVALID_PARAMETER (0x80070057) on a missing key path or text.
bool WriteRegistryDefault(const wchar_t* keyPath, const wchar_t* text, HKEY root);

class CGCFileTypeAccess;

/// Fills a file-type registration as start-up does: extension = program name,
/// open command "\"<path>\" \"%1\"", document class "morvindex.Document",
/// icon "\"<path>\",0".
void FillProgramFileType(CGCFileTypeAccess& access, const std::wstring& programName, const std::wstring& exePath);

/// The registration of one file type: its extension, commands, document class and icon.
class CGCFileTypeAccess : public CObject {
public:
    const char* GetRuntimeClassName() const override { return "CGCFileTypeAccess"; }

    virtual void ClearAllData();
    /// Runs the four registration operations in order; always true.
    virtual bool RegisterAll();
    /// ".<extension>" -> document class, plus its open command.
    virtual bool RegSetExtension();
    /// The document class key with its description, icon and open command.
    virtual bool RegSetDocumentType();
    virtual bool RegSetCLSID() { return true; }
    virtual bool RegSetShellInfo() { return true; }

    void SetExtension(const std::wstring& text) { m_extension = text; }
    void SetShellOpenCommand(const std::wstring& text) { m_shellOpenCommand = text; }
    void SetDocumentShellOpenCommand(const std::wstring& text) { m_documentShellOpenCommand = text; }
    void SetDocumentClassName(const std::wstring& text) { m_documentClassName = text; }
    void SetDocumentDescription(const std::wstring& text) { m_documentDescription = text; }
    void SetDocumentDefaultIcon(const std::wstring& text) { m_documentDefaultIcon = text; }

    /// Where the keys go; the classes root unless a test points it elsewhere.
    HKEY m_root = HKEY_CLASSES_ROOT;
    /// Prefix put in front of every key path (empty for the classes root).
    std::wstring m_keyPrefix;

private:
    std::wstring Key(const std::wstring& path) const { return m_keyPrefix + path; }

    std::wstring m_extension;
    std::wstring m_contentType;
    std::wstring m_shellOpenCommand;
    std::wstring m_shellNewCommand;
    std::wstring m_shellNewFileName;
    std::wstring m_documentClassName;
    std::wstring m_documentDescription;
    std::wstring m_documentCLSID;
    std::wstring m_documentShellOpenCommand2;
    std::wstring m_documentDefaultIcon;
    std::wstring m_documentShellOpenCommand;
};
