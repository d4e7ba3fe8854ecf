#pragma once

// An ini file as an object: typed reads and writes of one file through the private-profile
// functions. Reads never fail (a missing file, section or key gives the default); a write that
// cannot be done raises EIniFileException, so a setting is never lost silently.

#include "platform/toolkit/Exception.h"
#include "platform/toolkit/Object.h"

#include <string>

class EIniFileException : public Exception {
  public:
    EIniFileException(std::string message, int errnoValue)
        : Exception(std::move(message)), FErrno(errnoValue) {}
    // The errno value of the failed file operation (EINVAL for a name or value that cannot be
    // written).
    int Errno() const { return FErrno; }

  private:
    int FErrno;
};

// The longest value a read returns: values are read into a buffer of 2048 bytes with its
// terminating zero.
constexpr std::size_t MaxIniValueLength = 2047;

// Parses an integer as the ini file reads it: optional sign and decimal digits, or "0x"/"0X"
// followed by up to eight hexadecimal digits when the text is longer than two characters (taken
// as the 32-bit pattern, so 0xFFFFFFFF is -1). False for anything else, a decimal value outside
// the 32-bit range included.
bool TryParseIniInteger(const std::string& text, int& value);

class TIniFile : public TObject {
  public:
    explicit TIniFile(std::string fileName) : FFileName(std::move(fileName)) {}
    std::string ClassName() const override { return "TIniFile"; }
    const std::string& FileName() const { return FFileName; }

    std::string ReadString(const std::string& Section, const std::string& Ident,
                           const std::string& Default) const;
    void WriteString(const std::string& Section, const std::string& Ident, const std::string& Value);
    // Invalid or missing text gives Default.
    int ReadInteger(const std::string& Section, const std::string& Ident, int Default) const;
    void WriteInteger(const std::string& Section, const std::string& Ident, int Value);
    // Stored as the integers 1 and 0; any non-zero integer reads as true.
    bool ReadBool(const std::string& Section, const std::string& Ident, bool Default) const;
    void WriteBool(const std::string& Section, const std::string& Ident, bool Value);

    bool SectionExists(const std::string& Section) const;
    bool ValueExists(const std::string& Section, const std::string& Ident) const;

  private:
    std::string FFileName;
};
