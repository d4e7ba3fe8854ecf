#include "platform/profile/IniFiles.h"

#include "platform/profile/PrivateProfile.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

bool TryParseIniInteger(const std::string& text, int& value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (text.size() > 10) return false;
        uint32_t v = 0;
        for (std::size_t i = 2; i < text.size(); ++i) {
            char c = text[i];
            unsigned d;
            if (c >= '0' && c <= '9')
                d = static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                d = static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                d = static_cast<unsigned>(c - 'A' + 10);
            else
                return false;
            v = (v << 4) | d;
        }
        value = static_cast<int32_t>(v);
        return true;
    }
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    if (i == text.size()) return false;
    int64_t v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (text[i] - '0');
        if (v > int64_t(INT32_MAX) + 1) return false;
    }
    if (negative) v = -v;
    if (v > INT32_MAX || v < INT32_MIN) return false;
    value = static_cast<int>(v);
    return true;
}

std::string TIniFile::ReadString(const std::string& Section, const std::string& Ident,
                                 const std::string& Default) const {
    std::string v = GetPrivateProfileString(Section, Ident, Default, FFileName);
    if (v.size() > MaxIniValueLength) v.resize(MaxIniValueLength);
    return v;
}

void TIniFile::WriteString(const std::string& Section, const std::string& Ident, const std::string& Value) {
    if (!WritePrivateProfileString(Section, Ident, Value, FFileName)) {
        int err = errno;
        throw EIniFileException("Unable to write to " + FFileName + ": " + std::strerror(err), err);
    }
}

int TIniFile::ReadInteger(const std::string& Section, const std::string& Ident, int Default) const {
    int v;
    return TryParseIniInteger(ReadString(Section, Ident, ""), v) ? v : Default;
}

void TIniFile::WriteInteger(const std::string& Section, const std::string& Ident, int Value) {
    WriteString(Section, Ident, std::to_string(Value));
}

bool TIniFile::ReadBool(const std::string& Section, const std::string& Ident, bool Default) const {
    return ReadInteger(Section, Ident, Default ? 1 : 0) != 0;
}

void TIniFile::WriteBool(const std::string& Section, const std::string& Ident, bool Value) {
    WriteString(Section, Ident, Value ? "1" : "0");
}

bool TIniFile::SectionExists(const std::string& Section) const {
    return PrivateProfileSectionExists(Section, FFileName);
}

bool TIniFile::ValueExists(const std::string& Section, const std::string& Ident) const {
    return PrivateProfileKeyExists(Section, Ident, FFileName);
}
