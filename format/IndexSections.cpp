// An index file's entries taken into fixed slots per section, then the
// sections ordered by name and merged.
#include "format/IndexSections.h"

#include "store/AtomicFile.h"
#include "store/DataFileScanner.h"

#include <algorithm>

namespace {

// Byte order, as std::string compares, written out: the C runtime's memcmp
// under Wine costs a call for the few bytes of a name.
int CompareBytes(std::string_view a, std::string_view b)
{
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i)
        if (a[i] != b[i])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]) ? -1 : 1;
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool SameBytes(std::string_view a, std::string_view b) { return a.size() == b.size() && CompareBytes(a, b) == 0; }

} // namespace

bool IndexSections::Read(const std::wstring& path)
{
    // What a failed read got before it failed is read, as the store would.
    std::string bytes;
    const bool read = ReadFileBytes(path, bytes);
    ReadText(std::move(bytes));
    return read;
}

std::string_view IndexSections::Name(size_t i) const { return NameOf(m_pieces[m_order[i]]); }

void IndexSections::ReadText(std::string bytes)
{
    m_bytes = std::move(bytes);
    m_names.clear();
    m_pieces.clear();
    m_order.clear();
    m_base = m_expires = std::string_view();
    m_withinLimit = true;
    // Room for sections of a few lines each at once: memory reserved and
    // never touched costs nothing, where growing would copy every piece.
    m_pieces.reserve(m_bytes.size() / 128 + 1);

    const DataFileEntry entry = [this](std::string_view section, std::string_view key, std::string_view value) {
        if (m_pieces.empty() || !SameBytes(NameOf(m_pieces.back()), section)) {
            m_pieces.push_back({static_cast<uint32_t>(m_names.size()), static_cast<uint32_t>(section.size()), {}});
            m_names.append(section);
        }
        const RecordKey slot = RecordKeyNamed(key);
        if (slot != RecordKey::None)
            m_pieces.back().values[slot] = RecordValue(value);
        if (SameBytes(section, "PATHS")) {
            if (SameBytes(key, "BASE"))
                m_base = value;
            else if (SameBytes(key, "EXPIRES"))
                m_expires = value;
        }
    };
    ScanDataText(m_bytes, -1, entry);

    // Ordered by name, and by place in the file where names are equal, so
    // that the pieces of one section merge with the later value winning.
    // A name's first bytes as one number decide most comparisons; a name
    // holds no NUL, so the zeros that pad a short one order it first, as
    // std::string does.
    struct Sorted {
        uint64_t prefix;
        uint32_t piece;
    };
    std::vector<Sorted> sorted(m_pieces.size());
    for (uint32_t i = 0; i < sorted.size(); ++i) {
        const std::string_view name = NameOf(m_pieces[i]);
        uint64_t prefix = 0;
        for (size_t at = 0; at < sizeof prefix; ++at)
            prefix = prefix << 8 | (at < name.size() ? static_cast<unsigned char>(name[at]) : 0u);
        sorted[i] = {prefix, i};
    }
    auto before = [this](const Sorted& a, const Sorted& b) {
        if (a.prefix != b.prefix)
            return a.prefix < b.prefix;
        const int compared = CompareBytes(NameOf(m_pieces[a.piece]), NameOf(m_pieces[b.piece]));
        return compared < 0 || (compared == 0 && a.piece < b.piece);
    };
    if (!std::is_sorted(sorted.begin(), sorted.end(), before))
        std::sort(sorted.begin(), sorted.end(), before);
    std::vector<uint32_t> order(sorted.size());
    for (size_t i = 0; i < sorted.size(); ++i)
        order[i] = sorted[i].piece;

    // Each section's first piece takes the later ones in; the order keeps
    // the first pieces only.
    size_t kept = 0;
    bool global = false;
    for (uint32_t at : order) {
        const Piece& piece = m_pieces[at];
        if (kept == 0 || !SameBytes(NameOf(m_pieces[order[kept - 1]]), NameOf(piece))) {
            order[kept++] = at;
            global = global || SameBytes(NameOf(piece), kGlobalSection);
            continue;
        }
        RecordValues& merged = m_pieces[order[kept - 1]].values;
        for (size_t slot = 0; slot < kRecordKeyCount; ++slot)
            if (piece.values.slots[slot].Present())
                merged.slots[slot] = piece.values.slots[slot];
    }
    order.resize(kept);
    m_order = std::move(order);
    if (!IndexSectionsWithinLimit(m_order.size(), global)) {
        m_withinLimit = false;
        m_order.clear();
        m_base = m_expires = std::string_view();
    }
}
