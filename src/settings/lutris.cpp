#include "settings/lutris.h"

#include <QRegularExpression>

#include <yaml.h>

#include <memory>
#include <vector>

namespace kvr {

namespace {

// A game file nests three or four levels and holds a few dozen values. Deeper nesting or many
// more values is damage or mischief, and brackets nested thousands deep cost the YAML reader
// seconds: the reading stops there and names no prefix.
constexpr int kMaxYamlDepth = 16;
constexpr int kMaxYamlEvents = 100000;

// Flow brackets nested deeper than the limit, counted before the YAML reader sees the text: its
// cost grows with the square of that depth. Brackets inside quotes and comments count too, which
// only ever refuses a file that could not be a game file anyway.
bool bracketsTooDeep(const QByteArray& yaml)
{
    int depth = 0;
    for (const char c : yaml) {
        if (c == '[' || c == '{') {
            if (++depth > kMaxYamlDepth)
                return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

QString scalarText(const yaml_event_t& event)
{
    return QString::fromUtf8(reinterpret_cast<const char*>(event.data.scalar.value),
                             static_cast<qsizetype>(event.data.scalar.length));
}

// One open mapping or sequence while the events are walked.
struct Level
{
    bool mapping;
    bool atKey;  // a mapping's next node is a key
    QString key; // the key of the value being read
};

} // namespace

QString lutrisGamePrefix(const QByteArray& yaml)
{
    if (bracketsTooDeep(yaml))
        return {};
    yaml_parser_t parser;
    if (!yaml_parser_initialize(&parser))
        return {};
    std::unique_ptr<yaml_parser_t, void (*)(yaml_parser_t*)> parserGuard(&parser, yaml_parser_delete);
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(yaml.constData()),
                                 static_cast<size_t>(yaml.size()));
    // The events of the first document are walked once, keeping only the path of keys to the
    // node at hand: the root mapping's "game" mapping holds the "prefix" scalar.
    std::vector<Level> levels;
    QString prefix;
    bool found = false;
    for (int count = 0; count < kMaxYamlEvents; ++count) {
        yaml_event_t event;
        if (!yaml_parser_parse(&parser, &event))
            return {};
        std::unique_ptr<yaml_event_t, void (*)(yaml_event_t*)> eventGuard(&event, yaml_event_delete);
        const yaml_event_type_t type = event.type;
        if (type == YAML_DOCUMENT_END_EVENT || type == YAML_STREAM_END_EVENT)
            return found ? prefix.trimmed() : QString();
        const bool opens = type == YAML_MAPPING_START_EVENT || type == YAML_SEQUENCE_START_EVENT;
        const bool closes = type == YAML_MAPPING_END_EVENT || type == YAML_SEQUENCE_END_EVENT;
        const bool node = opens || type == YAML_SCALAR_EVENT || type == YAML_ALIAS_EVENT;
        if (closes) {
            levels.pop_back();
        } else if (node && !levels.empty() && levels.back().mapping && levels.back().atKey) {
            // A key: only a scalar key is one we look for.
            levels.back().key = type == YAML_SCALAR_EVENT ? scalarText(event) : QString();
            levels.back().atKey = false;
            if (opens)
                levels.push_back({type == YAML_MAPPING_START_EVENT, true, {}});
            continue;
        } else if (node) {
            const bool inGame =
                levels.size() == 2 && levels[0].mapping && levels[0].key == QLatin1String("game") && levels[1].mapping;
            if (inGame && !found && type == YAML_SCALAR_EVENT && levels[1].key == QLatin1String("prefix")) {
                prefix = scalarText(event);
                found = true;
            }
            if (!levels.empty() && levels.back().mapping)
                levels.back().atKey = true;
            if (opens) {
                if (static_cast<int>(levels.size()) >= kMaxYamlDepth)
                    return {};
                levels.push_back({type == YAML_MAPPING_START_EVENT, true, {}});
            }
        }
    }
    return {};
}

QString lutrisGameName(const QString& fileName)
{
    static const QRegularExpression suffix(QStringLiteral("(-\\d+)?\\.ya?ml$"));
    QString name = fileName;
    name.remove(suffix);
    return name;
}

} // namespace kvr
