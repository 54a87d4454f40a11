// Reader of [section] / key=value settings text (Nimbro.ini, DebugSetting.ini,
// the driver configuration file). Read-only; one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/types.h"

class CIniFile {
public:
    // Files of this size or more are refused.
    static constexpr uint32_t kMaxFileSize = 0xFFFFFF;
    // Longest section name kept as the cached section (bytes, NUL not counted).
    static constexpr uint32_t kMaxSectionName = 259;

    CIniFile();
    ~CIniFile();
    CIniFile(const CIniFile&) = delete;
    CIniFile& operator=(const CIniFile&) = delete;

    // Loads the whole file; a missing file is created empty. True when the text
    // is usable (also when the file could not be opened at all: empty text).
    // A leading UTF-8 byte-order mark is not part of the text.
    bool OpenFile(const WChar* path);
    void CloseFile();

    // Bytes copied to out (NUL not counted). Missing key: the default, or 0
    // with out untouched when def is null. outSize counts the NUL.
    uint32_t GetString(const char* section, const char* key, const char* def, char* out,
                       uint32_t outSize);
    // Decimal as atol, or hexadecimal when the value starts with "0x"/"0X".
    int32_t GetInt(const char* section, const char* key, int32_t def);
    // UTF-16 units written to out, NUL included; below 2 means missing, empty
    // or refused. The value is taken in the ANSI code page (UTF-8 after a
    // byte-order mark) and refused whole, never cut, when it does not fit
    // outLen units; so is a default that does not fit.
    int GetWString(const char* section, const char* key, const WChar* def, WChar* out, int outLen);

    bool IsLoaded() const { return loaded_; }
    bool IsOpen() const { return open_; }
    const WChar* Path() const { return path_; }
    const char* Text() const { return text_; }
    size_t TextLength() const { return length_; }

    // Body of a section as byte offsets into Text(); false when not found.
    bool FindSection(const char* section, size_t* bodyBegin, size_t* bodyEnd);

private:
    struct Header {
        size_t bracket; // offset of its '['
        size_t name;    // offset of its name
        size_t nameLen;
        size_t body;    // start of the line after it
        size_t bodyEnd; // the next header's '[', or the end of the text
        bool first;     // the first header of its name: the only one found
    };

    void BuildIndex();
    // Index of the first header of that name, or -1.
    int64_t LookupHeader(const char* name, size_t len) const;
    bool FindValue(const char* section, const char* key, size_t* valueBegin, size_t* valueEnd);
    size_t SkipLineEnd(size_t pos) const;
    WChar path_[plat::kMaxPath];
    char* text_;
    size_t length_;
    size_t capacity_;
    bool loaded_;
    bool open_;
    char cachedName_[kMaxSectionName + 1];
    size_t cachedBegin_;
    size_t cachedEnd_;
    // Headers in file order and an open-addressing table of the first header
    // of each name, built once per loaded text.
    std::vector<Header> headers_;
    std::vector<uint32_t> slots_;
    bool indexed_;
    // Header of the last section found: loaders mostly ask for the next one.
    int64_t lastHeader_;
    // The file began with a UTF-8 byte-order mark.
    bool utf8_;
};

// Decimal text read with the rules of atol, saturated to 32 bits.
int32_t IniParseDecimal(const char* text);
// Up to 8 hexadecimal digits at text, as the same 32 bits.
int32_t IniParseHex8(const char* text);
