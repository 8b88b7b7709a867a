#include "extract/zip_names.h"

#include <dirent.h>
#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

namespace kvr::unzip32 {

namespace {

// The C.UTF-8 character tables, for folding letters beyond ASCII. Freed when the library is
// unloaded, since the program loads it afresh for every package.
class Utf8Locale
{
public:
    Utf8Locale() : m_locale(::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr))) {}
    ~Utf8Locale()
    {
        if (m_locale)
            ::freelocale(m_locale);
    }
    Utf8Locale(const Utf8Locale&) = delete;
    Utf8Locale& operator=(const Utf8Locale&) = delete;

    char32_t toLower(char32_t c) const
    {
        if (c < 0x80)
            return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
        return m_locale ? static_cast<char32_t>(::towlower_l(static_cast<wint_t>(c), m_locale)) : c;
    }

private:
    locale_t m_locale;
};

const Utf8Locale& utf8Locale()
{
    static const Utf8Locale locale;
    return locale;
}

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

// Decodes the whole of `text` as UTF-8; nothing when any sequence is malformed.
std::optional<std::vector<char32_t>> decodeUtf8(std::string_view text)
{
    std::vector<char32_t> out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        int extra;
        char32_t c;
        if (lead < 0x80) {
            extra = 0;
            c = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            c = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            c = lead & 0x07;
        } else {
            return std::nullopt;
        }
        if (i + extra >= text.size())
            return std::nullopt;
        for (int k = 1; k <= extra; ++k) {
            const auto byte = static_cast<unsigned char>(text[i + k]);
            if ((byte & 0xC0) != 0x80)
                return std::nullopt;
            c = (c << 6) | (byte & 0x3F);
        }
        static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (c < kSmallest[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return std::nullopt;
        out.push_back(c);
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

std::string toPosixPath(std::string_view path)
{
    std::string out(path);
    std::replace(out.begin(), out.end(), '\\', '/');
    return out;
}

std::string bareName(std::string_view storedName)
{
    const size_t cut = storedName.find_last_of("/\\");
    std::string_view bare = cut == std::string_view::npos ? storedName : storedName.substr(cut + 1);
    if (bare == "." || bare == "..")
        return {};
    return std::string(bare);
}

std::string foldCase(std::string_view name)
{
    std::string out;
    out.reserve(name.size());
    if (const auto codePoints = decodeUtf8(name)) {
        const Utf8Locale& locale = utf8Locale();
        for (char32_t c : *codePoints)
            appendUtf8(out, locale.toLower(c));
    } else {
        for (char c : name)
            out += asciiLower(c);
    }
    return out;
}

bool wildcardMatch(std::string_view pattern, std::string_view name, bool ignoreCase)
{
    const std::string p = ignoreCase ? foldCase(pattern) : std::string(pattern);
    const std::string n = ignoreCase ? foldCase(name) : std::string(name);
    // Greedy match with one backtrack point: the last `*` seen.
    size_t pi = 0, ni = 0, starP = std::string::npos, starN = 0;
    while (ni < n.size()) {
        if (pi < p.size() && (p[pi] == '?' || p[pi] == n[ni])) {
            ++pi;
            ++ni;
        } else if (pi < p.size() && p[pi] == '*') {
            starP = pi++;
            starN = ni;
        } else if (starP != std::string::npos) {
            pi = starP + 1;
            ni = ++starN;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == '*')
        ++pi;
    return pi == p.size();
}

std::string findIgnoringCase(const std::string& folder, std::string_view name)
{
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir)
        return {};
    const std::string key = foldCase(name);
    std::string best;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view candidate = entry->d_name;
        if (candidate == "." || candidate == "..")
            continue;
        if ((best.empty() || candidate < best) && foldCase(candidate) == key)
            best = candidate;
    }
    ::closedir(dir);
    return best;
}

} // namespace kvr::unzip32
