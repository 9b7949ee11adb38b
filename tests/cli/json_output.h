// SPDX-License-Identifier: MIT
#pragma once

// The one JSON object of a varnolink --json run, parsed back and checked.

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include "tests/cli/child_process.h"
#include "tests/cli/json_schema_check.h"

namespace cli_test {

inline const TJsonSchema& Schema()
{
    static const TJsonSchema Loaded = [] {
        QFile File(VARNOLINK_JSON_SCHEMA);
        EXPECT_TRUE(File.open(QIODevice::ReadOnly));
        return TJsonSchema(QJsonDocument::fromJson(File.readAll()).object());
    }();
    return Loaded;
}

// The one object of a --json run, which fits the schema, says ok exactly
// when the exit code is 0 and gives the exit code the process ended with.
inline QJsonObject Json(const TFinished& Run)
{
    QJsonParseError Error{};
    const QJsonDocument Document = QJsonDocument::fromJson(QByteArray::fromStdString(Run.Out), &Error);
    EXPECT_EQ(Error.error, QJsonParseError::NoError) << Run.Out;
    EXPECT_EQ(Schema().Violations(Document.object()).join("\n").toStdString(), "") << Run.Out;
    EXPECT_EQ(Document["exit_code"].toInt(-1), Run.ExitCode) << Run.Out;
    EXPECT_EQ(Document["ok"].toBool(), Run.ExitCode == 0) << Run.Out;
    return Document.object();
}

}  // namespace cli_test
