#include "settings/vdf.h"

#include <QSet>

namespace kvr {

namespace {

// Real files nest four or five levels; anything deeper is damage or mischief.
constexpr int kMaxDepth = 32;

class VdfReader
{
public:
    explicit VdfReader(const QByteArray& text) : m_text(text) {}

    // Reads keys until the closing brace of the block (or the end at depth 0). False when the
    // text ends early or breaks the grammar.
    bool readBlock(QList<VdfNode>& out, int depth)
    {
        for (;;) {
            Token key = next();
            if (key.kind == Token::End)
                return depth == 0;
            if (key.kind == Token::Close)
                return depth > 0;
            if (key.kind != Token::String)
                return false;
            Token value = next();
            // A platform condition such as [$WIN32] may follow a key or a value; it is ignored.
            while (value.kind == Token::Condition)
                value = next();
            VdfNode node;
            node.key = QString::fromUtf8(key.text);
            if (value.kind == Token::String) {
                node.value = QString::fromUtf8(value.text);
                out.append(std::move(node));
                skipCondition();
            } else if (value.kind == Token::Open) {
                if (depth + 1 >= kMaxDepth)
                    return false;
                node.isBlock = true;
                const bool ok = readBlock(node.children, depth + 1);
                out.append(std::move(node));
                if (!ok)
                    return false;
            } else {
                return false;
            }
        }
    }

private:
    struct Token
    {
        enum Kind { End, String, Open, Close, Condition } kind;
        QByteArray text;
    };

    void skipCondition()
    {
        const qsizetype saved = m_pos;
        if (next().kind != Token::Condition)
            m_pos = saved;
    }

    void skipBlanksAndComments()
    {
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos];
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
                ++m_pos;
            } else if (c == '/' && m_pos + 1 < m_text.size() && m_text[m_pos + 1] == '/') {
                while (m_pos < m_text.size() && m_text[m_pos] != '\n')
                    ++m_pos;
            } else {
                break;
            }
        }
    }

    Token next()
    {
        skipBlanksAndComments();
        if (m_pos >= m_text.size())
            return {Token::End, {}};
        const char c = m_text[m_pos];
        if (c == '{') {
            ++m_pos;
            return {Token::Open, {}};
        }
        if (c == '}') {
            ++m_pos;
            return {Token::Close, {}};
        }
        if (c == '[') {
            const qsizetype end = m_text.indexOf(']', m_pos);
            m_pos = end < 0 ? m_text.size() : end + 1;
            return {Token::Condition, {}};
        }
        QByteArray text;
        if (c == '"') {
            ++m_pos;
            // Most strings hold no escape: taken whole, not character by character.
            const qsizetype close = m_text.indexOf('"', m_pos);
            const qsizetype end = close < 0 ? m_text.size() : close;
            if (QByteArrayView(m_text).sliced(m_pos, end - m_pos).indexOf('\\') < 0) {
                text = m_text.sliced(m_pos, end - m_pos);
                m_pos = end + 1;
                return {Token::String, text};
            }
            while (m_pos < m_text.size() && m_text[m_pos] != '"') {
                char ch = m_text[m_pos++];
                if (ch == '\\' && m_pos < m_text.size()) {
                    const char escaped = m_text[m_pos++];
                    ch = escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
                }
                text.append(ch);
            }
            ++m_pos; // the closing quote, or past the end of an unclosed string
            return {Token::String, text};
        }
        while (m_pos < m_text.size()) {
            const char ch = m_text[m_pos];
            if (ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n' || ch == '{' || ch == '}' || ch == '"')
                break;
            text.append(ch);
            ++m_pos;
        }
        return {Token::String, text};
    }

    const QByteArray& m_text;
    qsizetype m_pos = 0;
};

bool isNumber(const QString& s)
{
    if (s.isEmpty())
        return false;
    for (QChar c : s)
        if (!c.isDigit())
            return false;
    return true;
}

} // namespace

const VdfNode* VdfNode::child(QStringView name) const
{
    for (const VdfNode& c : children)
        if (c.key.compare(name, Qt::CaseInsensitive) == 0)
            return &c;
    return nullptr;
}

QString VdfNode::childValue(QStringView name) const
{
    const VdfNode* c = child(name);
    return c && !c->isBlock ? c->value : QString();
}

QList<VdfNode> parseVdf(const QByteArray& text)
{
    QList<VdfNode> nodes;
    VdfReader(text).readBlock(nodes, 0);
    return nodes;
}

QStringList steamLibraryPaths(const QByteArray& libraryFoldersVdf)
{
    QStringList paths;
    QSet<QString> seen; // a file of many thousand paths must not cost a search of the list per path
    for (const VdfNode& root : parseVdf(libraryFoldersVdf)) {
        if (root.key.compare(QLatin1String("libraryfolders"), Qt::CaseInsensitive) != 0)
            continue;
        seen.reserve(root.children.size());
        for (const VdfNode& entry : root.children) {
            if (!isNumber(entry.key))
                continue;
            const QString path = entry.isBlock ? entry.childValue(u"path") : entry.value;
            if (!path.isEmpty() && !seen.contains(path)) {
                seen.insert(path);
                paths.append(path);
            }
        }
    }
    return paths;
}

QString steamAppName(const QByteArray& appManifestAcf)
{
    for (const VdfNode& root : parseVdf(appManifestAcf))
        if (root.key.compare(QLatin1String("AppState"), Qt::CaseInsensitive) == 0)
            return root.childValue(u"name").trimmed();
    return {};
}

} // namespace kvr
