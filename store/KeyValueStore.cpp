// Reading and writing data files: the scanner's entries taken into the
// store, the text form written back, and the registry form of the settings.
#include "store/KeyValueStore.h"

#include "store/AtomicFile.h"
#include "store/Text.h"

#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

const char* const KeyValueStore::kGlobal = kGlobalSection;

namespace {

bool IsGlobalName(const std::string& name) { return UpperAscii(name) == KeyValueStore::kGlobal; }

void AppendEntries(std::string& out, const KeyValueSection& section)
{
    for (const auto& entry : section.Items())
        out += entry.first + "=" + entry.second + "\r\n";
}

class RegKey {
public:
    RegKey() = default;
    ~RegKey() { Close(); }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    bool Open(HKEY parent, const std::string& name, REGSAM access)
    {
        Close();
        return RegOpenKeyExW(parent, WideFromUtf8(name).c_str(), 0, access, &m_key) == ERROR_SUCCESS;
    }
    bool Create(HKEY parent, const std::string& name, REGSAM access)
    {
        Close();
        return RegCreateKeyExW(parent, WideFromUtf8(name).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                               access, nullptr, &m_key, nullptr) == ERROR_SUCCESS;
    }
    void Close()
    {
        if (m_key)
            RegCloseKey(m_key);
        m_key = nullptr;
    }
    HKEY Get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

// Name -> data of one key: its subkeys (empty data) and its string values.
// A subkey and a value of the same name: the subkey wins.
std::map<std::string, std::string> ReadKeyPairs(HKEY key)
{
    std::map<std::string, std::string> pairs;
    std::vector<wchar_t> name(16384);
    std::vector<BYTE> data(16384);
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataLength = static_cast<DWORD>(data.size());
        DWORD type = 0;
        LONG rc = RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &dataLength);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS || type != REG_SZ)
            continue;
        std::wstring value(reinterpret_cast<const wchar_t*>(data.data()), dataLength / sizeof(wchar_t));
        while (!value.empty() && value.back() == L'\0')
            value.pop_back();
        pairs[Utf8FromWide(std::wstring(name.data(), nameLength))] = Utf8FromWide(value);
    }
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = 256;
        LONG rc = RegEnumKeyExW(key, i, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
            continue;
        pairs[Utf8FromWide(std::wstring(name.data(), nameLength))] = std::string();
    }
    return pairs;
}

bool WriteValues(HKEY key, const KeyValueSection& section)
{
    bool ok = true;
    for (const auto& entry : section.Items()) {
        std::wstring value = WideFromUtf8(entry.second);
        DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
        if (RegSetValueExW(key, WideFromUtf8(entry.first).c_str(), 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(value.c_str()), bytes) != ERROR_SUCCESS)
            ok = false;
    }
    return ok;
}

} // namespace

std::string UpperAscii(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

KeyValueSection& KeyValueSection::operator=(const KeyValueSection& other)
{
    if (this == &other)
        return *this;
    m_name = other.m_name;
    // The arena never reuses what a node gave back: empty it before the copy,
    // so repeated assignments do not make it grow.
    m_current = nullptr;
    m_entries.clear();
    m_arena.release();
    m_entries.insert(other.m_entries.begin(), other.m_entries.end());
    return *this;
}

bool KeyValueSection::Find(const std::string& key)
{
    auto it = m_entries.find(UpperAscii(key));
    if (it == m_entries.end())
        return false;
    m_current = &it->second;
    return true;
}

std::string& KeyValueStore::SetValue(const std::string& key, const std::string& value,
                                     const std::string& section)
{
    std::string& slot = SectionFor(UpperAscii(section)).Items()[UpperAscii(key)];
    slot = value;
    return slot;
}

bool KeyValueStore::HasKey(const std::string& section, const std::string& key) const
{
    const KeyValueSection* found = FindSection(section);
    return found && found->Items().count(UpperAscii(key)) != 0;
}

std::string KeyValueStore::GetValue(const std::string& section, const std::string& key,
                                    const std::string& defaultValue) const
{
    const KeyValueSection* found = FindSection(section);
    if (!found)
        return defaultValue;
    auto it = found->Items().find(UpperAscii(key));
    return it == found->Items().end() ? defaultValue : it->second;
}

KeyValueSection* KeyValueStore::FindSection(const std::string& section)
{
    auto it = m_sections.find(UpperAscii(section));
    return it == m_sections.end() ? nullptr : &it->second;
}

const KeyValueSection* KeyValueStore::FindSection(const std::string& section) const
{
    auto it = m_sections.find(UpperAscii(section));
    return it == m_sections.end() ? nullptr : &it->second;
}

KeyValueSection& KeyValueStore::SectionFor(const std::string& upperName)
{
    auto it = m_sections.lower_bound(upperName);
    if (it == m_sections.end() || it->first != upperName)
        // Built in its place: a section is not moved once its arena holds nodes.
        it = m_sections.emplace_hint(it, std::piecewise_construct, std::forward_as_tuple(upperName),
                                     std::forward_as_tuple(upperName));
    return it->second;
}

namespace {

// Takes a data file's entries into a store: a section exists once it holds
// an entry, so a header alone adds nothing.
class StoreEntries {
public:
    explicit StoreEntries(KeyValueStore& store) : m_store(store) {}

    void operator()(std::string_view section, std::string_view key, std::string_view value)
    {
        // Looked up again only where the section changes, not at every entry.
        if (!m_current || m_current->Name() != section)
            m_current = &m_store.SectionFor(std::string(section));
        m_current->Items()[std::string(key)].assign(value.data(), value.size());
    }

private:
    KeyValueStore& m_store;
    KeyValueSection* m_current = nullptr;
};

} // namespace

bool KeyValueStore::LoadText(const std::string& content, int maxLines)
{
    ScanDataText(content, maxLines, StoreEntries(*this));
    return true;
}

bool KeyValueStore::LoadFile(const std::wstring& path, int maxLines)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    // Read and taken a block at a time, so a large catalogue is never held
    // whole: the block is reused, where a buffer of the file's size would be
    // fresh memory for the system to hand over page by page. An unfinished
    // line moves to the front of the block and waits for the next read.
    const DataFileEntry entries = StoreEntries(*this);
    DataFileScanner scanner(maxLines, entries);
    std::vector<char> block(64 * 1024);
    size_t kept = 0;
    bool ok = true;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, block.data() + kept, static_cast<DWORD>(block.size() - kept), &got, nullptr)) {
            ok = false; // what was read stays merged
            break;
        }
        if (got == 0) {
            if (kept > 0)
                scanner.TakeLast(block.data(), kept);
            break;
        }
        const size_t filled = kept + got;
        const size_t rest = scanner.TakeLines(block.data(), filled);
        if (rest == std::string::npos)
            break;
        kept = filled - rest;
        if (kept == block.size()) {
            // A whole block without a line end: far past the longest line, so
            // the scanner cuts it and reading ends.
            scanner.TakeLast(block.data(), kept);
            break;
        }
        memmove(block.data(), block.data() + rest, kept);
    }
    CloseHandle(file);
    return ok;
}

bool KeyValueStore::LoadFile(const std::string& path, int maxLines)
{
    return LoadFile(WideFromUtf8(path), maxLines);
}

std::string KeyValueStore::ToText()
{
    std::string out;
    AppendEntries(out, SectionFor(kGlobal));
    bool first = true;
    for (const auto& section : m_sections) {
        bool wasFirst = first;
        first = false;
        if (IsGlobalName(section.first))
            continue;
        if (!wasFirst)
            out += "\r\n";
        out += "[" + section.first + "]\r\n";
        AppendEntries(out, section.second);
    }
    return out;
}

bool KeyValueStore::SaveFile(const std::wstring& path)
{
    // Readers in other processes never see a half-written file.
    return ReplaceFileContent(path, ToText());
}

bool KeyValueStore::SaveFile(const std::string& path) { return SaveFile(WideFromUtf8(path)); }

bool KeyValueStore::LoadRegistry(HKEY root, const std::string& k1, const std::string& k2,
                                 const std::string& k3)
{
    RegKey first, second, third;
    if (!first.Open(root, k1, KEY_READ) || !second.Open(first.Get(), k2, KEY_READ))
        return true;
    HKEY key = second.Get();
    if (!k3.empty()) {
        if (!third.Open(second.Get(), k3, KEY_READ))
            return true;
        key = third.Get();
    }
    for (const auto& pair : ReadKeyPairs(key)) {
        if (!pair.second.empty()) {
            SetValue(pair.first, pair.second, kGlobal);
            continue;
        }
        RegKey sub;
        if (!sub.Open(key, pair.first, KEY_READ))
            continue;
        for (const auto& inner : ReadKeyPairs(sub.Get()))
            if (!inner.second.empty())
                SetValue(inner.first, inner.second, pair.first);
    }
    return true;
}

bool KeyValueStore::SaveRegistry(const std::string& k1, const std::string& k2, const std::string& k3)
{
    RegKey first, second, third;
    if (!first.Create(HKEY_CURRENT_USER, k1, KEY_WRITE) || !second.Create(first.Get(), k2, KEY_WRITE) ||
        !third.Create(second.Get(), k3, KEY_WRITE))
        return false;
    bool ok = true;
    if (const KeyValueSection* global = FindSection(kGlobal))
        ok = WriteValues(third.Get(), *global) && ok;
    for (const auto& section : m_sections) {
        if (section.first == kGlobal)
            continue;
        RegKey sub;
        if (!sub.Create(third.Get(), section.first, KEY_WRITE)) {
            ok = false;
            continue;
        }
        ok = WriteValues(sub.Get(), section.second) && ok;
    }
    return ok;
}
