// An index file read straight into what its records need: the file's bytes
// held once, each section's values of the record's keys viewing them, and
// the sections ordered and merged as the store would hold them.
#pragma once

#include "format/CatalogueFormat.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/// An index file's sections as a store would hold them: one per upper-case
/// name in ascending order, a repeated section merged into the earlier one
/// (a later value of a key wins), a section only where it holds an entry;
/// and [PATHS] BASE and EXPIRES. An index over kMaxIndexSections reads as
/// an empty one.
class IndexSections {
public:
    IndexSections() = default;
    // The views point into the object's own texts.
    IndexSections(const IndexSections&) = delete;
    IndexSections& operator=(const IndexSections&) = delete;

    /// Reads the index file at path; false when it cannot be read.
    bool Read(const std::wstring& path);
    /// Reads an index file's bytes.
    void ReadText(std::string bytes);

    /// The number of sections; the views below last until the next read.
    size_t Count() const { return m_order.size(); }
    /// The upper-case name of the i-th section.
    std::string_view Name(size_t i) const;
    /// The values of the record's keys in the i-th section.
    const RecordValues& Values(size_t i) const { return m_pieces[m_order[i]].values; }
    std::string_view Base() const { return m_base; }
    std::string_view Expires() const { return m_expires; }
    /// False when the index holds more sections than an index may; it then reads as empty.
    bool WithinLimit() const { return m_withinLimit; }

private:
    // A section as the lines below one header give it, in the file's order.
    struct Piece {
        uint32_t nameAt;
        uint32_t nameSize;
        RecordValues values;
    };
    std::string_view NameOf(const Piece& piece) const
    {
        return std::string_view(m_names.data() + piece.nameAt, piece.nameSize);
    }

    std::string m_bytes;
    std::string m_names; // the upper-case names, one after another
    std::vector<Piece> m_pieces;
    std::vector<uint32_t> m_order; // the first piece of each section, by name
    std::string_view m_base;
    std::string_view m_expires;
    bool m_withinLimit = true;
};
