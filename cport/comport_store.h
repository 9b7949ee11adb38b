// SPDX-License-Identifier: MIT
// Stores for the settings of a TComPort: an INI file and a registry-style key.
//
// TCustomComPort::StoreToIniFile / LoadFromIniFile and StoreToRegistry /
// LoadFromRegistry take an already opened store and neither open nor close
// it. Value names are those listed with the operations ("Port", "BaudRate",
// "FlowControl.XonChar", ...).
#pragma once

#include "cport/comport.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace cport {

// ---------------------------------------------------------------------------
// INI file

// The INI file cannot be read or written, or a name or value cannot be put
// into its line-oriented form (a line break in it, "]" in a section name, "="
// in an entry name).
class EIniFileException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An INI file held in memory: "[Section]" headers and "Entry=Value" lines.
// Construction reads the file if it exists (a missing file is an empty one);
// writes change the memory copy and UpdateFile() saves it. Sections and
// entries other than those written, and comments, survive a save. Section and
// entry names compare without regard to ASCII case. Values are kept as text;
// blanks around a value are not part of it.
class TComIniFile {
public:
    explicit TComIniFile(std::string FileName);
    ~TComIniFile();
    TComIniFile(const TComIniFile&) = delete;
    TComIniFile& operator=(const TComIniFile&) = delete;

    const std::string& FileName() const { return FileName_; }

    void WriteString(const std::string& Section, const std::string& Ident, const std::string& Value);
    void WriteInteger(const std::string& Section, const std::string& Ident, int32_t Value);  // decimal
    // The entry's text, or Default when the entry is missing.
    std::string ReadString(const std::string& Section, const std::string& Ident, const std::string& Default) const;
    // The entry read as an integer ("$1F", "0x1F" and a sign allowed), or
    // Default when it is missing, empty or not a valid 32-bit integer.
    int32_t ReadInteger(const std::string& Section, const std::string& Ident, int32_t Default) const;
    bool ValueExists(const std::string& Section, const std::string& Ident) const;
    bool SectionExists(const std::string& Section) const;
    void EraseSection(const std::string& Section);

    // The whole file as text, and replacing it from text (as if read from disk).
    std::string Text() const;
    void SetText(std::string_view Text);

    // Writes the file (through a temporary file renamed over it, so a failed
    // save leaves the previous file intact).
    void UpdateFile();

private:
    struct TImpl;
    std::string FileName_;
    std::unique_ptr<TImpl> Impl_;
};

// ---------------------------------------------------------------------------
// Registry key

// The three failures of a registry key, with the value name in the message.
class ERegistryException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Kind of a stored value. rdUnknown: a value of some other kind (for example
// binary data in a key file), which neither read accepts.
enum class TRegDataType : uint8_t { rdUnknown, rdString, rdInteger };

// An open registry key: named values that are texts or 32-bit integers.
//   WriteString / WriteInteger create or replace a value; a failure raises
//     "Failed to set data for '<name>'".
//   ReadString of a missing value gives empty text; ReadInteger of a missing
//     value raises "Failed to get data for '<name>'"; reading a value of the
//     other kind raises "Invalid data type for '<name>'".
//   ValueExists tells whether a value of any kind has the name.
class TComRegistryKey {
public:
    virtual ~TComRegistryKey() = default;
    virtual void WriteString(const std::string& Name, const std::string& Value) = 0;
    virtual void WriteInteger(const std::string& Name, int32_t Value) = 0;
    virtual std::string ReadString(const std::string& Name) = 0;
    virtual int32_t ReadInteger(const std::string& Name) = 0;
    virtual bool ValueExists(const std::string& Name) const = 0;
};

// A key held in memory. Value names compare without regard to ASCII case,
// and values keep the order in which they were first written. Text values
// cannot hold line breaks or NUL characters (their registry form ends at a
// NUL; their file form is one line), so writing one fails.
class TMemoryRegistryKey : public TComRegistryKey {
public:
    void WriteString(const std::string& Name, const std::string& Value) override;
    void WriteInteger(const std::string& Name, int32_t Value) override;
    std::string ReadString(const std::string& Name) override;
    int32_t ReadInteger(const std::string& Name) override;

    bool ValueExists(const std::string& Name) const override;
    TRegDataType GetDataType(const std::string& Name) const;  // rdUnknown when missing too
    bool DeleteValue(const std::string& Name);
    std::vector<std::string> ValueNames() const;  // in order of first write

    // A key opened without the right to set values: every write fails.
    void SetReadOnly(bool Value) { ReadOnly_ = Value; }
    bool ReadOnly() const { return ReadOnly_; }

    // The key in registry export form, and replacing the values from that form
    // (see TFileRegistryKey). Import never fails: lines it cannot read are
    // skipped, values of forms it does not know become rdUnknown.
    std::string ExportText() const;
    void ImportText(std::string_view Text);

protected:
    struct TValue {
        std::string Name;
        TRegDataType Kind = TRegDataType::rdUnknown;
        std::string Text;
        int32_t Integer = 0;
    };
    // Stores Value (replacing one of the same name); overridden to persist.
    virtual void PutValue(TValue Value);
    const TValue* Find(const std::string& Name) const;
    std::vector<TValue> Values_;

private:
    bool ReadOnly_ = false;
};

// A key kept in a text file, one value per line, in the classic registry
// export form:
//
//     REGEDIT4
//
//     "Port"="/dev/ttyUSB0"
//     "Buffer.InputSize"=dword:00000400
//
// Texts are quoted with \" and \\ escaped; integers are "dword:" and eight
// hexadecimal digits of the 32-bit value. Blank lines, ";" comments, the
// header line and "[key]" lines are ignored when reading. Construction reads
// the file if it exists; every write saves the whole file at once (through a
// temporary file renamed over it), and a write that cannot be saved fails
// with "Failed to set data for '<name>'" and leaves the key as it was.
class TFileRegistryKey : public TMemoryRegistryKey {
public:
    explicit TFileRegistryKey(std::string FileName);
    const std::string& FileName() const { return FileName_; }

protected:
    void PutValue(TValue Value) override;

private:
    std::string FileName_;
};

}  // namespace cport
