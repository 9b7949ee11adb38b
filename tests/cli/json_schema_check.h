// SPDX-License-Identifier: MIT
#pragma once

// The part of JSON Schema that varnolink.schema.json uses, checked with Qt
// Core's JSON: type (one or a list), enum, pattern (strings only),
// properties, required, additionalProperties: false, items, and $ref to
// "#/$defs/NAME". Anything else in a schema is a fault of the schema.

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>
#include <QStringList>

namespace cli_test {

class TJsonSchema {
public:
    explicit TJsonSchema(QJsonObject Root) : Root_(std::move(Root)) {}

    // Every way Value breaks the schema, as "where: what"; empty when it fits.
    QStringList Violations(const QJsonValue& Value) const
    {
        QStringList Found;
        Check(Root_, Value, "$", Found);
        return Found;
    }

private:
    static bool HasType(const QJsonValue& Value, const QString& Type)
    {
        if (Type == "integer")
            return Value.isDouble() && Value.toDouble() == static_cast<double>(Value.toInteger());
        return (Type == "string" && Value.isString()) || (Type == "boolean" && Value.isBool()) ||
               (Type == "null" && Value.isNull()) || (Type == "object" && Value.isObject()) ||
               (Type == "array" && Value.isArray()) || (Type == "number" && Value.isDouble());
    }

    void Check(QJsonObject Schema, const QJsonValue& Value, const QString& Where, QStringList& Found) const
    {
        static const QStringList Known{"$schema", "$id",  "title",   "description", "$defs",    "$ref",
                                       "type",    "enum", "pattern", "properties",  "required", "additionalProperties",
                                       "items"};
        for (const QString& Keyword : Schema.keys())
            if (!Known.contains(Keyword))
                Found << Where + ": the schema uses " + Keyword + ", which this check does not know";
        if (Schema.contains("$ref")) {
            const QString Ref = Schema["$ref"].toString();
            Schema = Root_["$defs"].toObject()[Ref.section('/', -1)].toObject();
            if (!Ref.startsWith("#/$defs/") || Schema.isEmpty()) {
                Found << Where + ": unknown $ref " + Ref;
                return;
            }
            Check(Schema, Value, Where, Found);
            return;
        }
        if (Schema.contains("type")) {
            const QJsonValue Type = Schema["type"];
            const QJsonArray Types = Type.isArray() ? Type.toArray() : QJsonArray{Type};
            if (std::none_of(Types.begin(), Types.end(),
                             [&](const QJsonValue& T) { return HasType(Value, T.toString()); }))
                Found << Where + ": not of type " + QJsonValue(Types).toVariant().toStringList().join('|');
        }
        if (Schema.contains("enum") && !Schema["enum"].toArray().contains(Value))
            Found << Where + ": not one of the allowed values";
        if (Schema.contains("pattern") && Value.isString() &&
            !QRegularExpression(Schema["pattern"].toString()).match(Value.toString()).hasMatch())
            Found << Where + ": \"" + Value.toString() + "\" does not match " + Schema["pattern"].toString();
        if (Value.isObject()) {
            const QJsonObject Object = Value.toObject();
            const QJsonObject Properties = Schema["properties"].toObject();
            for (const QJsonValue& Name : Schema["required"].toArray())
                if (!Object.contains(Name.toString()))
                    Found << Where + ": lacks " + Name.toString();
            for (auto It = Object.begin(); It != Object.end(); ++It) {
                if (Properties.contains(It.key()))
                    Check(Properties[It.key()].toObject(), It.value(), Where + "." + It.key(), Found);
                else if (Schema["additionalProperties"] == QJsonValue(false))
                    Found << Where + ": unexpected member " + It.key();
            }
        }
        if (Value.isArray() && Schema.contains("items")) {
            const QJsonArray Items = Value.toArray();
            for (qsizetype Index = 0; Index < Items.size(); ++Index)
                Check(Schema["items"].toObject(), Items[Index], Where + "[" + QString::number(Index) + "]", Found);
        }
    }

    QJsonObject Root_;
};

}  // namespace cli_test
