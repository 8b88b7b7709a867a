#include "settings/lutris.h"

#include <QRegularExpression>

#include <yaml.h>

#include <memory>

namespace kvr {

namespace {

QString scalar(yaml_node_t* node)
{
    if (!node || node->type != YAML_SCALAR_NODE)
        return {};
    return QString::fromUtf8(reinterpret_cast<const char*>(node->data.scalar.value),
                             static_cast<qsizetype>(node->data.scalar.length));
}

// The value of a key of a mapping node, or nullptr.
yaml_node_t* mappingValue(yaml_document_t& doc, yaml_node_t* mapping, QStringView key)
{
    if (!mapping || mapping->type != YAML_MAPPING_NODE)
        return nullptr;
    for (yaml_node_pair_t* pair = mapping->data.mapping.pairs.start; pair < mapping->data.mapping.pairs.top; ++pair) {
        if (scalar(yaml_document_get_node(&doc, pair->key)) == key)
            return yaml_document_get_node(&doc, pair->value);
    }
    return nullptr;
}

} // namespace

QString lutrisGamePrefix(const QByteArray& yaml)
{
    yaml_parser_t parser;
    if (!yaml_parser_initialize(&parser))
        return {};
    std::unique_ptr<yaml_parser_t, void (*)(yaml_parser_t*)> parserGuard(&parser, yaml_parser_delete);
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(yaml.constData()),
                                 static_cast<size_t>(yaml.size()));
    yaml_document_t doc;
    if (!yaml_parser_load(&parser, &doc))
        return {};
    std::unique_ptr<yaml_document_t, void (*)(yaml_document_t*)> docGuard(&doc, yaml_document_delete);
    yaml_node_t* game = mappingValue(doc, yaml_document_get_root_node(&doc), u"game");
    return scalar(mappingValue(doc, game, u"prefix")).trimmed();
}

QString lutrisGameName(const QString& fileName)
{
    static const QRegularExpression suffix(QStringLiteral("(-\\d+)?\\.ya?ml$"));
    QString name = fileName;
    name.remove(suffix);
    return name;
}

} // namespace kvr
