// server.dat's text decoded from the encoding it was saved in, the maker's
// key and offline root read from it, and whether that key may be trusted.
#include "format/ServerFile.h"

#include "store/KeyValueStore.h"
#include "store/Text.h"

#include <cstring>

const wchar_t* const kServerFileName = L"server.dat";

std::string ServerFileText(const std::string& bytes)
{
    std::string text = bytes;
    const auto starts = [&bytes](const char* mark) { return bytes.compare(0, strlen(mark), mark) == 0; };
    const bool littleEndian = starts("\xFF\xFE") || (bytes.size() >= 2 && bytes[0] != 0 && bytes[1] == 0);
    const bool bigEndian = starts("\xFE\xFF") || (bytes.size() >= 2 && bytes[0] == 0 && bytes[1] != 0);
    if (littleEndian || bigEndian) {
        std::wstring wide;
        for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
            const unsigned char low = static_cast<unsigned char>(bytes[i + (bigEndian ? 1 : 0)]);
            const unsigned char high = static_cast<unsigned char>(bytes[i + (bigEndian ? 0 : 1)]);
            wide += static_cast<wchar_t>(low | (high << 8));
        }
        if (!wide.empty() && wide[0] == 0xFEFF)
            wide.erase(0, 1);
        text = Utf8FromWide(wide);
    } else if (starts("\xEF\xBB\xBF")) {
        text.erase(0, 3);
    }
    // A CR alone ends a line too.
    std::string lines;
    lines.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        lines += text[i];
        if (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))
            lines += '\n';
    }
    return lines;
}

void ReadMakerKey(const std::string& serverFileText, bool& required, PublicKey& key, std::string* keyTextOut,
                  MakerTrust* trust)
{
    const auto trim = [](std::string text) {
        const char* blanks = " \t\r\n\v\f";
        text.erase(0, text.find_first_not_of(blanks) == std::string::npos ? text.size()
                                                                          : text.find_first_not_of(blanks));
        text.erase(text.find_last_not_of(blanks) + 1);
        return text;
    };
    required = false;
    key = PublicKey();
    bool inSignature = false;
    std::string keyText, rootText;
    int keyLines = 0, rootLines = 0;
    size_t start = 0;
    while (start < serverFileText.size()) {
        size_t end = serverFileText.find('\n', start);
        if (end == std::string::npos)
            end = serverFileText.size();
        std::string line = trim(serverFileText.substr(start, end - start));
        start = end + 1;
        if (line.empty())
            continue;
        const bool opens = line.front() == '[';
        const size_t close = line.find(']');
        const size_t equals = line.find('=');
        if (opens || (close != std::string::npos && equals == std::string::npos)) {
            // A header, or what a hand edit left of one.
            std::string name = trim(line.substr(opens ? 1 : 0, close == std::string::npos ? std::string::npos
                                                                                           : close - (opens ? 1 : 0)));
            inSignature = UpperAscii(name) == "SIGNATURE";
            required = required || inSignature;
            continue;
        }
        const std::string name = UpperAscii(trim(line.substr(0, equals)));
        if (name != "KEY" && name != "ROOT")
            continue;
        // A KEY or ROOT line anywhere asks for signatures; only the signature
        // section's may be the key.
        required = true;
        ++(name == "KEY" ? keyLines : rootLines);
        if (inSignature)
            (name == "KEY" ? keyText : rootText) = equals == std::string::npos ? std::string() : trim(line.substr(equals + 1));
    }
    // Two lines of one kind leave the choice to whoever added the second:
    // neither is trusted.
    std::string problem;
    if (keyLines > 1 || rootLines > 1) {
        problem = std::string("server.dat contiene ") + (keyLines > 1 ? "due righe KEY=" : "due righe ROOT=") +
                  ": nessuna chiave \xC3\xA8 considerata valida";
        keyText.clear();
        rootText.clear();
    }
    if (required && !keyText.empty())
        ParsePublicKey(keyText, key);
    if (keyTextOut)
        *keyTextOut = keyText;
    if (trust) {
        *trust = MakerTrust();
        trust->problem = problem;
        trust->rootText = rootText;
        if (!rootText.empty())
            ParsePublicKey(rootText, trust->root);
        trust->rootNamed = rootLines > 0;
        trust->keyLines = keyLines;
        trust->rootLines = rootLines;
    }
}

bool UsableMakerKey(bool signaturesRequired, const PublicKey& key, const MakerTrust& trust)
{
    return signaturesRequired && trust.problem.empty() && (!key.Empty() || !trust.root.Empty());
}
