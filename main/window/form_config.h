// SPDX-License-Identifier: MIT
// Between the window's fields and the configuration value.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

#include "main/protocol/module_config.h"

class QLineEdit;

namespace varnolink {

class TMainForm;

// A byte field's text to its byte. Characters outside Latin-1 turn into
// "?", which counts as 0 like every other non-hexadecimal character.
uint8_t FieldByte(const QLineEdit* Field);
// A byte as a field shows it: two upper-case hexadecimal digits.
QString ByteText(uint8_t Value);

// The configuration as the window shows it, for SAVE CONFIG's check and the
// configuration files of the menu bar.

// The fields SAVE CONFIG would have to invent a value for (blank, or a port
// row still marked "?"), named as the window labels them.
QStringList FieldsWithoutValue(const TMainForm& Form);

// The fields that show a value, and what they show.
TPartialModuleConfig ShownFields(const TMainForm& Form);
// What the window shows, or nothing when a field holds no value.
std::optional<TModuleConfig> ShownConfig(const TMainForm& Form);

// Puts the values into the fields as if the operator typed them: the byte
// fields' change handlers set the bits, SAVE CONFIG then writes them.
// Fields without a value in Config keep what they show.
void TypeConfig(TMainForm& Form, const TPartialModuleConfig& Config);

}  // namespace varnolink
