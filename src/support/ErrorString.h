// The last message of a link, PLC or device block: a short UTF-16 text behind
// a lock of its own, set literally, from a format, or from the string table.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "platform/sync.h"
#include "platform/types.h"

class CResLang;

class CErrorString {
public:
    // Units of the text, terminator included: at most 255 characters.
    static constexpr int kCapacity = 256;

    CErrorString();
    virtual ~CErrorString();
    CErrorString(const CErrorString&) = delete;
    CErrorString& operator=(const CErrorString&) = delete;

    // True when the stored text changed; a change of letter case alone is no
    // change. Null or empty text empties it.
    bool SetText(const WChar* text);
    // printf-style (%s UTF-16, %S 8-bit). A format with no conversion but
    // "%%" pairs is stored unchanged.
    bool SetTextFormat(const WChar* format, ...);
    bool SetTextFormatV(const WChar* format, va_list args);
    // Message id of the string table, in the language lang selected. An id
    // that no module holds (or no lang) gives an empty text.
    bool SetTextFromId(const CResLang* lang, uint32_t id, ...);
    bool SetTextFromIdV(const CResLang* lang, uint32_t id, va_list args);

    // Copies the text into out (cap units, terminator included); returns the
    // units copied.
    int GetText(WChar* out, int cap) const;

private:
    // Stores text unless it equals the stored one regardless of case.
    // Called with the lock held.
    bool StoreLocked(const WChar* text);

    mutable plat::CriticalSection lock_;
    WChar text_[kCapacity];
};
