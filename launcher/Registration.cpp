// The protocol and file-type keys written in the user's registry.
#include "launcher/Registration.h"

#include "environment/ProgramIdentity.h"

namespace {

// Query, set, create subkey, enumerate, notify and read control.
constexpr REGSAM kProtocolKeyAccess = 0x2001F;

void SetStringValue(HKEY key, const wchar_t* name, const std::wstring& text)
{
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void SetKeyDefault(const std::wstring& path, const std::wstring& text)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        kProtocolKeyAccess, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    SetStringValue(key, nullptr, text);
    RegCloseKey(key);
}

} // namespace

void RegisterUrlProtocol() { RegisterUrlProtocolFor(GetProgramName(), GetFullProgramPath()); }

void RegisterUrlProtocolFor(const std::wstring& name, const std::wstring& exePath,
                            const std::wstring& classesKey)
{
    std::wstring path = classesKey + L"\\" + name;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, (path + L"\\shell\\open\\command").c_str(), 0, KEY_QUERY_VALUE, &key) ==
        ERROR_SUCCESS) {
        // An existing registration stays, even when it names another copy of
        // the program; one cut short before its command is written again.
        RegCloseKey(key);
        return;
    }
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        kProtocolKeyAccess, nullptr, &key, nullptr) == ERROR_SUCCESS) {
        SetStringValue(key, nullptr, L"URL:" + name + L" Protocol");
        SetStringValue(key, L"URL Protocol", L"");
        RegCloseKey(key);
    }
    SetKeyDefault(path + L"\\DefaultIcon", exePath);
    // Quoted, so that a program folder with spaces still hands the request
    // over whole (earlier registrations may lack the quotes: see the parser).
    SetKeyDefault(path + L"\\shell\\open\\command", L"\"" + exePath + L"\" \"%1\"");
}

bool WriteRegistryDefault(const wchar_t* keyPath, const wchar_t* text, HKEY root)
{
    if (!keyPath || !*keyPath || !text) {
        SetLastError(static_cast<DWORD>(0x80070057));
        return false;
    }
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(root, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                              &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        return false;
    }
    DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
    rc = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        return false;
    }
    return true;
}

void FillProgramFileType(CGCFileTypeAccess& access, const std::wstring& programName, const std::wstring& exePath)
{
    std::wstring openCommand = L"\"" + exePath + L"\" \"%1\"";
    access.SetExtension(programName);
    access.SetShellOpenCommand(openCommand);
    access.SetDocumentShellOpenCommand(openCommand);
    access.SetDocumentClassName(L"morvindex.Document");
    access.SetDocumentDefaultIcon(L"\"" + exePath + L"\",0");
}

void CGCFileTypeAccess::ClearAllData()
{
    for (std::wstring* field :
         {&m_extension, &m_contentType, &m_shellOpenCommand, &m_shellNewCommand, &m_shellNewFileName,
          &m_documentClassName, &m_documentDescription, &m_documentCLSID, &m_documentShellOpenCommand2,
          &m_documentDefaultIcon, &m_documentShellOpenCommand})
        field->clear();
}

bool CGCFileTypeAccess::RegisterAll()
{
    RegSetExtension();
    RegSetDocumentType();
    RegSetCLSID();
    RegSetShellInfo();
    return true;
}

bool CGCFileTypeAccess::RegSetExtension()
{
    if (m_extension.empty())
        return true;
    std::wstring key = Key(L"." + m_extension);
    WriteRegistryDefault(key.c_str(), m_documentClassName.c_str(), m_root);
    if (!m_shellOpenCommand.empty())
        WriteRegistryDefault((key + L"\\shell\\open\\command").c_str(), m_shellOpenCommand.c_str(), m_root);
    return true;
}

bool CGCFileTypeAccess::RegSetDocumentType()
{
    if (m_documentClassName.empty())
        return true;
    std::wstring key = Key(m_documentClassName);
    WriteRegistryDefault(key.c_str(), m_documentDescription.c_str(), m_root);
    if (!m_documentDefaultIcon.empty())
        WriteRegistryDefault((key + L"\\DefaultIcon").c_str(), m_documentDefaultIcon.c_str(), m_root);
    if (!m_shellOpenCommand.empty())
        WriteRegistryDefault((key + L"\\shell\\open\\command").c_str(), m_shellOpenCommand.c_str(), m_root);
    return true;
}
