// Sections of KEY=VALUE text entries: the form of every data file of the
// launcher (server.dat, the catalogue files, the invocation and launch files)
// and of the settings kept in the registry.
#pragma once

#include "store/DataFileScanner.h"

#include <windows.h>

#include <map>
#include <memory_resource>
#include <string>

/// One named section: an ordered map from upper-cased key to value, plus the
/// cursor left by the last successful Find.
///
/// The map's nodes come from the section's own arena, which starts inside the
/// section object: a data file's section of a dozen entries costs one heap
/// block (its node in the store) instead of one per entry, which made up much
/// of the parse of a large index under Wine's heap. Keys and values stay
/// std::string, so callers read entries as from any map.
class KeyValueSection {
public:
    using Entries = std::pmr::map<std::string, std::string>;

    explicit KeyValueSection(std::string name = std::string())
        : m_name(std::move(name)), m_arena(m_inline, sizeof m_inline), m_entries(&m_arena)
    {
    }
    // A copy has its own entries in its own arena, so it starts without a found
    // entry. Moving is copying: the nodes live in the source's arena.
    KeyValueSection(const KeyValueSection& other)
        : m_name(other.m_name), m_arena(m_inline, sizeof m_inline), m_entries(other.m_entries, &m_arena)
    {
    }
    KeyValueSection& operator=(const KeyValueSection& other);

    const std::string& Name() const { return m_name; }
    const Entries& Items() const { return m_entries; }
    Entries& Items() { return m_entries; }

    /// True when the key (any case) exists; the cursor then designates its entry.
    bool Find(const std::string& key);
    /// Value of the entry found by the last successful Find ("" before any).
    const std::string& CurrentValue() const
    {
        static const std::string none;
        return m_current ? *m_current : none;
    }

    bool operator==(const KeyValueSection& other) const
    {
        return m_name == other.m_name && m_entries == other.m_entries;
    }

private:
    // Room for the nodes of a typical index section; a larger one goes on in
    // blocks taken from the heap, each larger than the last.
    static constexpr size_t kInlineNodes = 12;
    static constexpr size_t kNodeBytes = 4 * sizeof(void*) + 2 * sizeof(std::string);

    std::string m_name;
    // Aligned for a node; not max_align_t, whose alignment this toolchain
    // gives differently depending on which headers came first.
    alignas(std::string) unsigned char m_inline[kInlineNodes * kNodeBytes];
    // Declared before the map, so the map's nodes go back before the arena does.
    std::pmr::monotonic_buffer_resource m_arena;
    Entries m_entries;
    const std::string* m_current = nullptr;
};

/// Ordered map from upper-cased section name to section.
class KeyValueStore {
public:
    using Sections = std::map<std::string, KeyValueSection>;

    static const char* const kGlobal; // "GLOBAL"

    /// Stores or replaces a value; section and key are upper-cased, the value is kept as given.
    std::string& SetValue(const std::string& key, const std::string& value,
                          const std::string& section = kGlobal);
    bool HasKey(const std::string& section, const std::string& key) const;
    std::string GetValue(const std::string& section, const std::string& key,
                         const std::string& defaultValue = std::string()) const;
    /// The existing section of that name (any case), or null; never creates one.
    KeyValueSection* FindSection(const std::string& section);
    const KeyValueSection* FindSection(const std::string& section) const;
    /// The section named exactly so (already upper-cased), created empty when missing.
    KeyValueSection& SectionFor(const std::string& upperName);

    const Sections& AllSections() const { return m_sections; }
    /// Walking with Find (which moves each section's cursor) needs the sections themselves.
    Sections& AllSections() { return m_sections; }
    bool Empty() const { return m_sections.empty(); }
    void Clear() { m_sections.clear(); }

    /// Reads a data file, merging it into the store. maxLines -1 reads every line.
    bool LoadFile(const std::string& path, int maxLines = -1);
    bool LoadFile(const std::wstring& path, int maxLines = -1);
    /// Reads a data file's bytes already in memory, with the same rules.
    bool LoadText(const std::string& content, int maxLines = -1);
    /// Writes the whole store as a data file: the global section first, without header.
    bool SaveFile(const std::string& path);
    bool SaveFile(const std::wstring& path);
    /// The data file's text (adds an empty global section when there is none).
    std::string ToText();

    /// Reads root\k1\k2[\k3]: its string values into the global section, each
    /// direct subkey's values into a section of that name. Always true.
    bool LoadRegistry(HKEY root, const std::string& k1, const std::string& k2,
                      const std::string& k3);
    /// Writes the store below HKEY_CURRENT_USER\k1\k2\k3; never deletes anything.
    bool SaveRegistry(const std::string& k1, const std::string& k2, const std::string& k3);

    bool operator==(const KeyValueStore& other) const { return m_sections == other.m_sections; }
    bool operator!=(const KeyValueStore& other) const { return !(*this == other); }


private:
    Sections m_sections;
};

/// ASCII letters a-z to A-Z; no other byte changes.
std::string UpperAscii(std::string text);
